#!/usr/bin/env python3
"""The install tree: `cmake --install` into a temporary root (DESTDIR) puts the panel, the simulator,
the menu entry, the icon in every size, the software-centre metadata, the manual pages and the
copyright file where a desktop and Debian look for them, and the metadata passes
desktop-file-validate and appstreamcli and names the project's licence.

    test_install.py <build dir> <source dir> <project version>"""

import configparser
import filecmp
import os
import re
import shutil
import struct
import subprocess
import sys
import xml.etree.ElementTree as ET
import zlib

from desktop import Failure, check, main, temp_dir

APP_ID = "org.example.valtrona_panel"
SIZES = (16, 32, 48, 64, 128, 256)
EXPECTED = {
    "usr/bin/valtrona-panel",
    "usr/bin/valtrona-sim",
    f"usr/share/applications/{APP_ID}.desktop",
    f"usr/share/metainfo/{APP_ID}.metainfo.xml",
    f"usr/share/icons/hicolor/scalable/apps/{APP_ID}.svg",
    "usr/share/man/man1/valtrona-panel.1.gz",
    "usr/share/man/man1/valtrona-sim.1.gz",
    "usr/share/doc/valtrona-panel/copyright",
    "usr/lib/systemd/user/valtrona-panel-headless.service",
    "usr/lib/valtrona-panel/history-charts.so",
} | {f"usr/share/icons/hicolor/{n}x{n}/apps/{APP_ID}.png" for n in SIZES}
PROJECT_LICENSE = "GPL-3.0-or-later"


def png_size_and_ink(path):
    """The width and height of a PNG, and the share of its pixels that are not fully transparent."""
    with open(path, "rb") as f:
        data = f.read()
    check(data[:8] == b"\x89PNG\r\n\x1a\n", f"{path} is no PNG file")
    pos, idat, header = 8, b"", None
    while pos < len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        body = data[pos + 8:pos + 8 + length]
        if kind == b"IHDR":
            header = struct.unpack(">IIBBBBB", body)
        elif kind == b"IDAT":
            idat += body
        pos += 12 + length
    width, height, depth, colour, _, _, interlace = header
    check((depth, colour, interlace) == (8, 6, 0), f"{path}: 8-bit RGBA without interlacing expected")
    raw = zlib.decompress(idat)
    stride = width * 4
    rows, previous = [], bytearray(stride)
    for y in range(height):
        kind, line = raw[y * (stride + 1)], bytearray(raw[y * (stride + 1) + 1:(y + 1) * (stride + 1)])
        for i in range(stride):
            left = line[i - 4] if i >= 4 else 0
            up, corner = previous[i], previous[i - 4] if i >= 4 else 0
            if kind == 1:
                line[i] = (line[i] + left) & 255
            elif kind == 2:
                line[i] = (line[i] + up) & 255
            elif kind == 3:
                line[i] = (line[i] + (left + up) // 2) & 255
            elif kind == 4:
                p = left + up - corner
                pa, pb, pc = abs(p - left), abs(p - up), abs(p - corner)
                line[i] = (line[i] + (left if pa <= pb and pa <= pc else up if pb <= pc else corner)) & 255
        rows.append(line)
        previous = line
    opaque = sum(1 for row in rows for i in range(3, stride, 4) if row[i] != 0)
    return width, height, opaque / (width * height)


def run(*args, **kwargs):
    result = subprocess.run(args, capture_output=True, text=True, timeout=300, **kwargs)
    if result.returncode != 0:
        raise Failure(f"{' '.join(args)} failed:\n{result.stdout}{result.stderr}")
    return result.stdout + result.stderr


def test(build_dir, source_dir, version):
    root = temp_dir("panel-install-")
    try:
        run("cmake", "--install", build_dir, "--prefix", "/usr", env=dict(os.environ, DESTDIR=root))
        installed = {os.path.relpath(os.path.join(d, f), root) for d, _, files in os.walk(root) for f in files}
        check(installed == EXPECTED, f"installed {sorted(installed ^ EXPECTED)} differ from the expected files")
        for binary in ("valtrona-panel", "valtrona-sim"):
            check(os.access(os.path.join(root, "usr/bin", binary), os.X_OK), f"{binary} is not executable")

        icons = os.path.join(root, "usr/share/icons/hicolor")
        for n in SIZES:
            w, h, ink = png_size_and_ink(os.path.join(icons, f"{n}x{n}/apps/{APP_ID}.png"))
            check((w, h) == (n, n), f"the {n}x{n} icon is {w}x{h}")
            check(ink > 0.5, f"the {n}x{n} icon is mostly empty ({ink:.0%} drawn)")
        check(filecmp.cmp(os.path.join(icons, f"scalable/apps/{APP_ID}.svg"),
                          os.path.join(source_dir, "ui/icons/mast.svg"), shallow=False),
              "the scalable icon is not the window's own icon")

        desktop_file = os.path.join(root, f"usr/share/applications/{APP_ID}.desktop")
        run("desktop-file-validate", desktop_file)
        entry = configparser.ConfigParser(interpolation=None)
        entry.optionxform = str
        entry.read(desktop_file, encoding="utf-8")
        entry = entry["Desktop Entry"]
        check(entry["Exec"].split()[0] == "valtrona-panel", "the menu entry does not start valtrona-panel")
        check(entry["Icon"] == APP_ID, "the menu entry names another icon")
        check(entry["StartupWMClass"] == "valtrona-panel", "the menu entry's window class is not the binary's")

        metainfo = os.path.join(root, f"usr/share/metainfo/{APP_ID}.metainfo.xml")
        report = run("appstreamcli", "validate", "--no-net", "--pedantic", metainfo)
        check(not re.search(r"^[EW]:", report, re.M), f"appstreamcli found problems:\n{report}")
        component = ET.parse(metainfo).getroot()
        check(component.findtext("id") == APP_ID, "the metadata's id is not the application id")
        check(component.findtext("launchable") == f"{APP_ID}.desktop", "the metadata launches another entry")
        binaries = {b.text for b in component.iter("binary")}
        check(binaries == {"valtrona-panel", "valtrona-sim"}, f"the metadata provides {binaries}")
        check(component.findtext("project_license") == PROJECT_LICENSE,
              f"the metadata's project_license is {component.findtext('project_license')!r}")
        releases = [r.get("version") for r in component.iter("release")]
        check(releases and releases[0] == version, f"the newest release is {releases[:1]}, {version} expected")
    finally:
        shutil.rmtree(root, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(test, *sys.argv[1:4]))
