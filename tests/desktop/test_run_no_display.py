#!/usr/bin/env python3
"""README.md's ./scripts/run.sh on a machine with no display (DISPLAY, WAYLAND_DISPLAY and
QT_QPA_PLATFORM unset): it stops at once with a non-zero status, before installing or building
anything, and says how to get a display. The way it names, run.sh under xvfb-run, then brings the
panel up and ends with status 0 after VALTRONA_RUN_SECONDS.

    test_run_no_display.py <build dir> <source dir>"""

import os
import shlex
import shutil
import subprocess
import sys

from desktop import check, log_records, main, readme_commands, temp_dir
from test_run_script import README_COMMAND

SECONDS = 5


def test(build_dir, source_dir):
    check(README_COMMAND in readme_commands(source_dir), f"README.md no longer says {README_COMMAND}")
    work = temp_dir("panel-nodisplay-")
    try:
        guard = os.path.join(work, "bin")
        os.mkdir(guard)
        for tool in ("apt-get", "sudo", "cmake"):
            with open(os.path.join(guard, tool), "w") as f:
                f.write(f'#!/bin/sh\ntouch "{work}/called-{tool}"\nexit 99\n')
            os.chmod(os.path.join(guard, tool), 0o755)
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(PATH=guard + os.pathsep + os.environ["PATH"], BUILD_DIR=os.path.join(work, "build"))
        result = subprocess.run(["bash", "-c", README_COMMAND], cwd=source_dir, env=env, capture_output=True,
                                text=True, timeout=120, stdin=subprocess.DEVNULL)
        said = result.stdout + result.stderr
        check(result.returncode != 0, f"run.sh with no display ended with status 0:\n{said}")
        check("No desktop found" not in said, f"run.sh still stops with \"No desktop found\":\n{said}")
        for advice in ("DISPLAY", "desktop session", "ssh -X", "xvfb-run -a ./scripts/run.sh"):
            check(advice in result.stderr, f"run.sh with no display does not mention {advice!r}:\n{said}")
        called = sorted(name for name in os.listdir(work) if name.startswith("called-"))
        check(not called and not os.path.exists(env["BUILD_DIR"]),
              f"run.sh with no display went on to install or build: {called}")

        # The advice, taken: a virtual display for run.sh and the panel it starts.
        check(shutil.which("xvfb-run"), "xvfb-run is not installed (scripts/install-deps.sh installs it)")
        # Extra arguments go to the simulator: its log shows the panel opening the line.
        log = os.path.join(work, "sim.log")
        command = f"xvfb-run -a {README_COMMAND} --log {shlex.quote(log)}"
        env = dict(env, PATH=os.environ["PATH"], BUILD_DIR=build_dir, VALTRONA_RUN_SECONDS=str(SECONDS))
        result = subprocess.run(["bash", "-c", command], cwd=source_dir, env=env, capture_output=True, text=True,
                                timeout=600, stdin=subprocess.DEVNULL)
        said = result.stdout + result.stderr
        check(result.returncode == 0, f"{command} ended with status {result.returncode}:\n{said[-3000:]}")
        check([r for r in log_records(log, "line") if r.get("baud") == 9600],
              f"the panel under xvfb-run did not open the simulator's line at 9600 baud:\n{said[-3000:]}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(test, *sys.argv[1:3]))
