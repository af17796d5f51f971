#!/usr/bin/env python3
"""The Debian package, made the way README.md says: its commands under "Building a .deb package"
are run here (the build one as written, the install one by apt-get in simulation, so the system is
left as it was). The package holds exactly the install tree, depends on Debian's Qt 6 runtime
packages and on every package that provides a library the binaries load, and its programs run from
the unpacked tree.

    test_deb.py <build dir> <source dir>"""

import os
import re
import shutil
import subprocess
import sys

from desktop import Failure, check, main, readme_commands, temp_dir
from test_install import EXPECTED

README_HEADING = "Building a .deb package"
QT_RUNTIME = ("libqt6core6", "libqt6gui6", "libqt6widgets6", "libqt6serialport6", "libqt6svg6")


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
        for binary in ("valtrona-panel", "valtrona-sim"):
            path = os.path.join(root, "usr/bin", binary)
            resolved = {}
            for line in run("ldd", path).splitlines():
                check("not found" not in line, f"{binary}: {line.strip()}")
                lib = re.match(r"\s*(\S+) => (/\S+)", line)
                if lib:
                    resolved[lib.group(1)] = lib.group(2)
            needed = re.findall(r"\(NEEDED\)\s+Shared library: \[([^\]]+)\]", run("readelf", "-d", path))
            check(needed, f"{binary} names no libraries")
            for soname in needed:
                owner = package_of(resolved[soname])
                check(owner in wanted, f"{binary} loads {soname} of {owner}, which Depends does not name")
        run(os.path.join(root, "usr/bin/valtrona-sim"), "--help")
    finally:
        shutil.rmtree(out, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(test, *sys.argv[1:3]))
