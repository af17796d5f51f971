#!/usr/bin/env python3
"""README.md's first command, run as written on a desktop: ./scripts/run.sh builds what is missing,
starts the simulator and the panel, the panel's window comes up connected (status requests reach
the simulator and its answers go back), and VALTRONA_RUN_SECONDS ends it with status 0.

    test_run_script.py <build dir> <source dir>"""

import os
import shlex
import shutil
import subprocess
import sys

from desktop import Desktop, Failure, check, log_records, main, readme_commands, temp_dir, wait_until

README_COMMAND = "./scripts/run.sh"
SECONDS = 15


def test(build_dir, source_dir):
    check(README_COMMAND in readme_commands(source_dir), f"README.md no longer says {README_COMMAND}")
    work = temp_dir("panel-run-")
    try:
        with Desktop(work) as desk:
            log = os.path.join(work, "sim.log")
            # Extra arguments go to the simulator: its log shows what reached the transmitter.
            command = f"{README_COMMAND} --log {shlex.quote(log)}"
            env = desk.env(BUILD_DIR=build_dir, VALTRONA_RUN_SECONDS=str(SECONDS))
            with open(os.path.join(work, "run.out"), "w") as out:
                proc = subprocess.Popen(["bash", "-c", command], cwd=source_dir, env=env, stdin=subprocess.DEVNULL,
                                        stdout=out, stderr=subprocess.STDOUT)
            try:
                check(wait_until(lambda: desk.visible_windows() or proc.poll() is not None, 300) and
                      desk.visible_windows(), "run.sh brought up no panel window")
                def records(event):
                    return log_records(log, event)
                check(wait_until(lambda: [r for r in records("line") if r.get("baud") == 9600], 5),
                      "the panel did not open the simulator's line at 9600 8N1")
                check(wait_until(lambda: len([r for r in records("frame") if r.get("command") == "FM"]) >= 2, 5),
                      "no status requests reached the simulator once a second")
                check(records("reply"), "the simulator sent no report")
                status = proc.wait(SECONDS + 60)
            except subprocess.TimeoutExpired:
                raise Failure(f"run.sh did not end after VALTRONA_RUN_SECONDS={SECONDS}")
            finally:
                if proc.poll() is None:
                    proc.kill()
                    proc.wait()
            with open(os.path.join(work, "run.out")) as f:
                output = f.read()
            check(status == 0, f"run.sh ended with status {status}:\n{output[-2000:]}")
            check(not desk.visible_windows(), "the panel's window is still there after run.sh ended")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(test, *sys.argv[1:3]))
