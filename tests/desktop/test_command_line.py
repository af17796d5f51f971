#!/usr/bin/env python3
"""Both programs' command line on a machine with no display: under `env -u DISPLAY` with
WAYLAND_DISPLAY and QT_QPA_PLATFORM unset too, --help and --version answer on standard output with
status 0 and an unknown option is told on standard error with status 2. The panel started with no
argument in the same environment fails, which shows that a window could not have been opened there.

    test_command_line.py <valtrona-panel> <valtrona-sim> <project version>"""

import os
import shutil
import subprocess
import sys

from desktop import check, main, temp_dir

NO_DISPLAY = ["env", "-u", "DISPLAY", "-u", "WAYLAND_DISPLAY", "-u", "QT_QPA_PLATFORM"]


def run(binary, *args, cwd, env):
    return subprocess.run(NO_DISPLAY + [binary, *args], capture_output=True, text=True, timeout=60, cwd=cwd,
                          env=env, stdin=subprocess.DEVNULL)


def test(panel, sim, version):
    work = temp_dir("panel-cli-")
    try:
        # Nothing of a real user's is read or written, whatever a program does.
        env = dict(os.environ, HOME=work, XDG_CONFIG_HOME=os.path.join(work, "config"),
                   XDG_DATA_HOME=os.path.join(work, "data"), XDG_RUNTIME_DIR=work)
        for binary in (panel, sim):
            name = os.path.basename(binary)
            # (arguments, exit status, standard output or its start, a part of standard error)
            cases = [
                (["--help"], 0, f"Usage: {name} [options]\n", ""),
                (["-h"], 0, f"Usage: {name} [options]\n", ""),
                (["--version"], 0, f"{name} {version}\n", ""),
                (["-v"], 0, f"{name} {version}\n", ""),
                (["--no-such-option"], 2, "", f"{name}: Unknown option 'no-such-option'."),
                (["--help", "--no-such-option"], 2, "", "Unknown option 'no-such-option'."),
                (["stray"], 2, "", f"{name}: unexpected argument 'stray'."),
            ]
            for args, status, out, err in cases:
                what = f"{name} {' '.join(args)} with no display"
                result = run(binary, *args, cwd=work, env=env)
                check(result.returncode == status,
                      f"{what}: status {result.returncode}, {status} expected\n{result.stdout}{result.stderr}")
                if status == 0:
                    check(result.stdout.startswith(out) and (args[0] in ("--help", "-h") or result.stdout == out),
                          f"{what} printed {result.stdout!r}")
                    check(result.stderr == "", f"{what} wrote to standard error: {result.stderr!r}")
                else:
                    check(result.stdout == "", f"{what} printed {result.stdout!r}")
                    check(err in result.stderr and f"{name} --help" in result.stderr,
                          f"{what} said {result.stderr!r}, not {err!r} and where to look")

        result = run(panel, cwd=work, env=env)
        check(result.returncode not in (0, 2),
              f"the panel with no argument and no display ended with status {result.returncode}, so this "
              f"environment does not show that --help and --version need no display")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(test, *sys.argv[1:4]))
