#!/usr/bin/env python3
"""scripts/test-desktop.sh, the desktop the plain run of scripts/test.sh gives its tray tests: the
display is the Xvfb it started, never another server that answers on some number, and an Xvfb that
does not come up fails the function instead of leaving the tests to whatever display is there.

    test_desktop_script.py <source dir>"""

import os
import shutil
import subprocess
import sys

from desktop import Failure, check, main, temp_dir

# Sources the script in a shell of its own, starts the desktop, and reports what it gave.
PROBE = r"""
source scripts/test-desktop.sh
if start_test_desktop; then
  echo "display=$PANEL_TEST_DISPLAY"
  DISPLAY=$PANEL_TEST_DISPLAY xdpyinfo >/dev/null 2>&1 && echo "answers"
else
  echo "failed"
fi
"""


def probe(source_dir, **env):
    full = dict(os.environ, **env)
    full.pop("PANEL_TEST_DISPLAY", None)
    result = subprocess.run(["bash", "-c", PROBE], cwd=source_dir, env=full, capture_output=True, text=True,
                            timeout=60)
    said = dict(line.split("=", 1) for line in result.stdout.splitlines() if "=" in line)
    return result, said


def test(source_dir):
    for tool in ("Xvfb", "xdpyinfo", "icewm"):
        check(shutil.which(tool), f"{tool} is not installed (scripts/install-deps.sh installs it)")
    work = temp_dir("panel-desktop-script-")
    decoy = None
    try:
        # Another X server already answers, on the number the desktop would once have taken.
        read_fd, write_fd = os.pipe()
        decoy = subprocess.Popen(["Xvfb", "-displayfd", str(write_fd), "-nolisten", "tcp"], pass_fds=(write_fd,),
                                 stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as pipe:
            taken = pipe.readline().strip()
        check(taken.isdigit(), "the decoy Xvfb did not start")
        result, said = probe(source_dir, PANEL_TEST_DISPLAY_NUMBER=taken)
        check("answers" in result.stdout, f"the desktop did not come up: {result.stdout} {result.stderr}")
        check(said.get("display") not in (None, ":" + taken),
              f"the desktop is the other server's display :{taken}")
        check(decoy.poll() is None, "the other server was stopped")

        # An Xvfb that does not start (here one that ends at once) fails the function.
        fake_bin = os.path.join(work, "bin")
        os.makedirs(fake_bin)
        fake = os.path.join(fake_bin, "Xvfb")
        with open(fake, "w") as f:
            f.write("#!/bin/sh\nexit 1\n")
        os.chmod(fake, 0o755)
        result, said = probe(source_dir, PATH=fake_bin + os.pathsep + os.environ.get("PATH", ""),
                             PANEL_TEST_DISPLAY_NUMBER=taken)
        check("failed" in result.stdout and "display" not in said,
              f"a desktop whose Xvfb did not start was used: {result.stdout}")
        check("Xvfb did not start" in result.stderr, f"no reason given: {result.stderr}")
    finally:
        if decoy and decoy.poll() is None:
            decoy.terminate()
            decoy.wait(10)
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(test, *sys.argv[1:2]))
