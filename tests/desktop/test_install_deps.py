#!/usr/bin/env python3
"""scripts/install-deps.sh in its two parts, read through its listing mode (which installs nothing):
the install step of run.sh asks for the run part, and that part holds no package that only the test
suite, the fuzzers or the benchmarks need, yet does hold what the build found (the Qt CMake
packages, OpenGL) and the platform plugin the window is shown with. test.sh and bench.sh ask for the
test part, which holds all of the run part and the tools the tests start. Every name is a Debian
package.

    test_install_deps.py <build dir> <source dir>"""

import glob
import os
import re
import shutil
import subprocess
import sys

from desktop import Failure, check, main, temp_dir

# Packages that only the tests, fuzzers and benchmarks need (as patterns of package names).
TEST_ONLY = [r"clang(-\d+)?", r"libclang-rt(-\d+)?-dev", r"libbenchmark-dev", r"xvfb", r"xauth", r"xdotool",
             r"imagemagick.*", r"icewm.*", r"x11-utils", r"python3.*", r"prometheus-node-exporter",
             r"at-spi2-core", r"dbus", r"dbus-x11", r"desktop-file-utils", r"appstream", r"man-db",
             r"groff(-base)?", r"ccache", r"gdb", r"valgrind"]
# Programs the test suite starts, each of which must come with the test part.
TEST_TOOLS = ["Xvfb", "xvfb-run", "icewm", "xdotool", "xwininfo", "import", "dbus-run-session",
              "prometheus-node-exporter", "desktop-file-validate", "appstreamcli", "groff", "lexgrog",
              "clang++-14", "python3", "systemd-analyze"]


def install_step(source_dir, script):
    """The arguments `script` gives scripts/install-deps.sh, from its one line that runs it."""
    with open(os.path.join(source_dir, "scripts", script)) as f:
        calls = re.findall(r"^\s*bash scripts/install-deps\.sh\b(.*)$", f.read(), re.M)
    check(len(calls) == 1, f"scripts/{script} runs scripts/install-deps.sh {len(calls)} times, once expected")
    return calls[0].split()


def listing(source_dir, args, guard):
    """The packages of the install step `args`, listed with apt-get and sudo replaced by programs that
    leave a mark, so listing provably installs nothing."""
    env = dict(os.environ, PATH=guard + os.pathsep + os.environ["PATH"])
    result = subprocess.run(["bash", "scripts/install-deps.sh", "--list", *args], cwd=source_dir, env=env,
                            capture_output=True, text=True, timeout=60, stdin=subprocess.DEVNULL)
    check(result.returncode == 0, f"install-deps.sh --list {' '.join(args)}: {result.stderr}")
    check(not os.path.exists(os.path.join(guard, "called")), "listing the packages ran apt-get or sudo")
    packages = result.stdout.split()
    check(packages and len(packages) == len(set(packages)), f"a list with repeats or none: {packages}")
    return packages


def closure(packages):
    """The packages and everything they depend on, as apt sees it."""
    out = subprocess.run(["apt-cache", "depends", "--recurse", "--no-recommends", "--no-suggests",
                          "--no-conflicts", "--no-breaks", "--no-replaces", "--no-enhances", *packages],
                         capture_output=True, text=True, timeout=300).stdout
    names = set(packages)
    for line in out.splitlines():
        match = re.match(r"\s*(?:\|?(?:Pre)?Depends: )?<?([a-z0-9][a-z0-9.+:-]*)>?$", line)
        if match:
            names.add(match.group(1).split(":")[0])
    return names


def owner(path):
    result = subprocess.run(["dpkg", "-S", os.path.realpath(path)], capture_output=True, text=True)
    if result.returncode != 0:
        result = subprocess.run(["dpkg", "-S", path], capture_output=True, text=True)
    check(result.returncode == 0, f"no package provides {path}")
    return result.stdout.split(":")[0]


def test(build_dir, source_dir):
    guard = temp_dir("panel-deps-")
    try:
        for tool in ("apt-get", "sudo"):
            with open(os.path.join(guard, tool), "w") as f:
                f.write(f'#!/bin/sh\ntouch "{guard}/called"\nexit 99\n')
            os.chmod(os.path.join(guard, tool), 0o755)

        run_step = install_step(source_dir, "run.sh")
        run_part = listing(source_dir, run_step, guard)
        test_only = [p for p in run_part if any(re.fullmatch(pattern, p) for pattern in TEST_ONLY)]
        check(not test_only, f"run.sh's install step (install-deps.sh {' '.join(run_step)}) installs what only "
              f"the tests need: {test_only}")
        for script in ("test.sh", "bench.sh"):
            test_part = listing(source_dir, install_step(source_dir, script), guard)
            check(set(run_part) <= set(test_part),
                  f"{script}'s install step lacks {sorted(set(run_part) - set(test_part))} of the run part")
        check(len(test_part) > len(run_part), "the test part adds nothing to the run part")

        def known(*packages):
            return subprocess.run(["apt-cache", "show", "--no-all-versions", *packages], capture_output=True,
                                  timeout=300).returncode == 0
        if not known(*test_part):
            raise Failure(f"no such Debian packages: {[p for p in test_part if not known(p)]}")

        # What the build here was made from comes with the run part.
        run_closure = closure(run_part)
        with open(os.path.join(build_dir, "CMakeCache.txt")) as f:
            cache = f.read()
        found = [os.path.join(d, f"{name}Config.cmake")
                 for name, d in re.findall(r"^(Qt6\w*)_DIR:PATH=(/usr/\S+)$", cache, re.M)]
        # Qt's OpenGL::GL target: the GL and GLX libraries of glvnd (FindOpenGL looks up GLU as well,
        # which nothing here links).
        found += re.findall(r"^OPENGL_(?:opengl|glx)_LIBRARY:FILEPATH=(/usr/\S+)$", cache, re.M)
        found += glob.glob("/usr/lib/*/qt6/plugins/platforms/libqxcb.so")
        check(len(found) > 5, f"the build found too little to judge by: {found}")
        missing = {path: owner(path) for path in found if os.path.exists(path)}
        missing = {path: package for path, package in missing.items() if package not in run_closure}
        check(not missing, f"the run part does not bring what the build used: {missing}")

        # What the tests start comes with the test part.
        test_closure = closure(test_part)
        for tool in TEST_TOOLS:
            # The tests run under Debian's Python, whichever python3 comes first on the PATH.
            path = sys.executable if tool == "python3" else shutil.which(tool)
            check(path, f"{tool} is not installed")
            check(owner(path) in test_closure, f"{tool} comes from {owner(path)}, which the test part lacks")
    finally:
        shutil.rmtree(guard, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(test, *sys.argv[1:3]))
