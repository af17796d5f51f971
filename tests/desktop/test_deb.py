#!/usr/bin/env python3
"""The Debian package, made the way README.md says: its commands under "Building a .deb package"
are run here (the build one as written, the install one by apt-get in simulation, so the system is
left as it was). The package holds exactly the install tree, depends on Debian's Qt 6 runtime
packages and on every package that provides a library the binaries load, and its programs run from
the unpacked tree. Its copyright file is in Debian's machine-readable format and puts every file
under the GPL version 3 or later, whose text on Debian systems is the project's LICENSE; its manual
pages are the project's, compressed as Debian keeps them, and man-db reads them. Its systemd user
unit starts the packaged panel's headless monitor, stops it with SIGTERM, and passes systemd's own
check.

    test_deb.py <build dir> <source dir>"""

import configparser
import gzip
import os
import re
import shlex
import shutil
import stat
import subprocess
import sys

from debian.copyright import Copyright

from desktop import Failure, check, main, readme_commands, temp_dir
from test_install import EXPECTED

README_HEADING = "Building a .deb package"
QT_RUNTIME = ("libqt6core6", "libqt6gui6", "libqt6widgets6", "libqt6serialport6", "libqt6svg6", "libqt6charts6")
CHARTS_MODULE = "usr/lib/valtrona-panel/history-charts.so"
COPYRIGHT = "usr/share/doc/valtrona-panel/copyright"
COPYRIGHT_FORMAT = "https://www.debian.org/doc/packaging-manuals/copyright-format/1.0/"
GPL3 = "/usr/share/common-licenses/GPL-3"
USER_UNIT = "usr/lib/systemd/user/valtrona-panel-headless.service"
MAN_PAGES = {"valtrona-panel": "usr/share/man/man1/valtrona-panel.1.gz",
             "valtrona-sim": "usr/share/man/man1/valtrona-sim.1.gz"}


def run(*args, **kwargs):
    result = subprocess.run(args, capture_output=True, text=True, timeout=600, **kwargs)
    if result.returncode != 0:
        raise Failure(f"{' '.join(args)} failed:\n{result.stdout}{result.stderr}")
    return result.stdout


def depends(field):
    """Package names of a Depends field, alternatives included."""
    return {re.match(r"\s*([a-z0-9.+-]+)", alt).group(1) for item in field.split(",") for alt in item.split("|")}


def package_of(library_path):
    owner = subprocess.run(["dpkg", "-S", os.path.realpath(library_path)], capture_output=True, text=True)
    if owner.returncode != 0:
        owner = subprocess.run(["dpkg", "-S", library_path], capture_output=True, text=True)
    check(owner.returncode == 0, f"no package provides {library_path}")
    return owner.stdout.split(":")[0]


def check_mode(path, mode=0o644):
    actual = stat.S_IMODE(os.stat(path).st_mode)
    check(actual == mode, f"{path} has mode {actual:o}, {mode:o} expected")


def check_licence(root, source_dir):
    path = os.path.join(root, COPYRIGHT)
    check(os.path.isfile(path), f"the package has no {COPYRIGHT}")
    check_mode(path)
    with open(path, encoding="utf-8") as f:
        copyright = Copyright(f, strict=True)
    check(copyright.header.format == COPYRIGHT_FORMAT, f"{COPYRIGHT} is not in the format {COPYRIGHT_FORMAT}")
    check(copyright.header.upstream_name == "valtrona-panel", f"{COPYRIGHT} names {copyright.header.upstream_name}")
    # Every file of the source (a few when the source is no git checkout) is covered.
    listed = subprocess.run(["git", "ls-files"], cwd=source_dir, capture_output=True, text=True)
    tracked = listed.stdout.splitlines() if listed.returncode == 0 else []
    for name in tracked or ["ui/main.cpp", "app/command_line.cpp", "sim/main.cpp", "docs/man/valtrona-panel.1"]:
        files = copyright.find_files_paragraph(name)
        check(files and files.license.synopsis == "GPL-3+" and files.copyright,
              f"{COPYRIGHT} gives {name} no copyright and GPL-3+ licence")
    texts = [p.license.text for p in copyright.all_license_paragraphs() if p.license.synopsis == "GPL-3+"]
    check(len(texts) == 1, f"{COPYRIGHT} has {len(texts)} GPL-3+ licence paragraphs, one expected")
    grant = " ".join(texts[0].split())
    for words in ("either version 3 of the License, or (at your option) any later version", GPL3):
        check(words in grant, f"the GPL-3+ paragraph of {COPYRIGHT} does not say {words!r}")
    with open(GPL3, "rb") as debian, open(os.path.join(source_dir, "LICENSE"), "rb") as project:
        check(debian.read() == project.read(), f"LICENSE is not the text of {GPL3}")


def check_man_pages(root, source_dir):
    for name, page in MAN_PAGES.items():
        path = os.path.join(root, page)
        check(os.path.isfile(path), f"the package has no manual page {page}")
        check_mode(path)
        with open(path, "rb") as f:
            head = f.read(10)
        # gzip -n: no file name and no time stamp, so the same page always packs to the same bytes.
        check(head[:2] == b"\x1f\x8b" and not head[3] & 0x08 and head[4:8] == b"\0\0\0\0",
              f"{page} is not gzip-compressed without name and time")
        with gzip.open(path, "rb") as packed, open(os.path.join(source_dir, "docs/man", f"{name}.1"), "rb") as f:
            check(packed.read() == f.read(), f"{page} is not docs/man/{name}.1")
        whatis = run("lexgrog", path)
        check(f'"{name} - ' in whatis, f"man-db reads no NAME line from {page}: {whatis!r}")
        shown = run("man", "-l", path, env=dict(os.environ, MANPAGER="cat", MANWIDTH="80", LC_ALL="C"))
        check("OPTIONS" in shown and "--help" in shown, f"man shows {page} without its options")


def check_user_unit(root):
    path = os.path.join(root, USER_UNIT)
    check(os.path.isfile(path), f"the package has no {USER_UNIT}")
    check_mode(path)
    unit = configparser.ConfigParser(interpolation=None, strict=False)
    unit.optionxform = str
    unit.read(path, encoding="utf-8")
    command = shlex.split(unit.get("Service", "ExecStart", fallback=""))
    check(command[:1] == ["valtrona-panel"] and "--headless" in command,
          f"{USER_UNIT} does not start valtrona-panel --headless: {command}")
    binary = os.path.join(root, "usr/bin", command[0])
    help_text = run(binary, "--help", env={k: v for k, v in os.environ.items() if k != "DISPLAY"})
    for word in command[1:]:
        if word.startswith("--"):
            check(word.split("=")[0] in help_text, f"{USER_UNIT} passes {word}, which --help does not name")
    check(unit.get("Service", "KillSignal", fallback="SIGTERM") in ("SIGTERM", "SIGINT"),
          f"{USER_UNIT} stops the monitor with a signal it does not end cleanly on")
    check(unit.get("Install", "WantedBy", fallback="") == "default.target",
          f"{USER_UNIT} is not wanted by the user's default.target")
    # systemd's own reading of it: every key known and every value valid. A copy names the unpacked
    # binary by its full path, as systemd would find the installed one on its search path.
    copy_dir = temp_dir("panel-unit-")
    try:
        copy = os.path.join(copy_dir, os.path.basename(USER_UNIT))
        with open(path, encoding="utf-8") as f, open(copy, "w", encoding="utf-8") as out:
            out.write(re.sub(r"^ExecStart=valtrona-panel\b", f"ExecStart={binary}", f.read(), flags=re.M))
        verify = subprocess.run(["systemd-analyze", "verify", "--man=no", copy], capture_output=True, text=True,
                                timeout=120)
        said = (verify.stdout + verify.stderr).strip()
        check(verify.returncode == 0 and not said, f"systemd-analyze verify {USER_UNIT}:\n{said}")
    finally:
        shutil.rmtree(copy_dir, ignore_errors=True)


def test(build_dir, source_dir):
    commands = readme_commands(source_dir, README_HEADING)
    check(len(commands) == 2, f"README.md's \"{README_HEADING}\" should hold a build and an install command")
    build, install = commands
    out = temp_dir("panel-deb-")
    try:
        env = dict(os.environ, BUILD_DIR=build_dir, DEB_DIR=out)
        deb = run("bash", "-c", build, cwd=source_dir, env=env).strip().splitlines()[-1]
        check(os.path.isfile(deb) and os.path.dirname(deb) == out, f"the build command made no .deb in {out}")
        name = os.path.basename(deb)
        match = re.fullmatch(r"sudo apt install \./build/packages/(\S+)", install)
        check(match, f"the install command {install!r} is not \"sudo apt install ./build/packages/<file>\"")
        check(match.group(1) == name, f"README.md installs {match.group(1)}, the build makes {name}")
        simulated = run("apt-get", "install", "--simulate", "--no-download", "-q", deb)
        check(re.search(r"^Inst valtrona-panel ", simulated, re.M), f"apt would not install it:\n{simulated}")

        fields = {f: run("dpkg-deb", "-f", deb, f).strip() for f in ("Package", "Architecture", "Depends")}
        check(fields["Package"] == "valtrona-panel", f"the package is named {fields['Package']}")
        wanted = depends(fields["Depends"])
        missing = [p for p in QT_RUNTIME if p not in wanted]
        check(not missing, f"Depends lacks {missing}: {fields['Depends']}")

        listing = run("dpkg-deb", "-c", deb)
        files = {line.split()[-1].lstrip("./") for line in listing.splitlines() if not line.startswith("d")}
        check(files == EXPECTED, f"the package's files differ from the install tree: {sorted(files ^ EXPECTED)}")

        root = os.path.join(out, "root")
        run("dpkg-deb", "-x", deb, root)
        for binary in ("usr/bin/valtrona-panel", "usr/bin/valtrona-sim", CHARTS_MODULE):
            path = os.path.join(root, binary)
            resolved = {}
            for line in run("ldd", path).splitlines():
                check("not found" not in line, f"{binary}: {line.strip()}")
                lib = re.match(r"\s*(\S+) => (/\S+)", line)
                if lib:
                    resolved[lib.group(1)] = lib.group(2)
                loader = re.match(r"\s*(/\S+) \(0x", line)  # the dynamic loader, named by its path
                if loader:
                    resolved[os.path.basename(loader.group(1))] = loader.group(1)
            needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", run("readelf", "-d", path))
            check(needed, f"{binary} names no libraries")
            for soname in needed:
                owner = package_of(resolved[soname])
                check(owner in wanted, f"{binary} loads {soname} of {owner}, which Depends does not name")
            if binary == "usr/bin/valtrona-panel":
                # The charts come in with the history window's module, not at start-up.
                check(not any(n.startswith(("libQt6Charts", "libQt6OpenGL")) for n in needed),
                      f"valtrona-panel itself needs {needed}")
        run(os.path.join(root, "usr/bin/valtrona-sim"), "--help")
        check_licence(root, source_dir)
        check_man_pages(root, source_dir)
        check_user_unit(root)
    finally:
        shutil.rmtree(out, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(test, *sys.argv[1:3]))
