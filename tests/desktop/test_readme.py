#!/usr/bin/env python3
"""Every command of README.md is run by a test or by CI, so none can go stale: each ```sh line must
be one that a test below claims, and each claim is checked to be real. The dialout command is run
here against a scratch copy of the user database (usermod --root), when running as root.

    test_readme.py <source dir>"""

import os
import shutil
import subprocess
import sys

import test_deb
import test_run_script
from desktop import check, main, readme_commands, readme_port_table, readme_sections, temp_dir

DIALOUT = "sudo usermod -aG dialout $USER"


def run_dialout_in_scratch_root():
    root = temp_dir("panel-usermod-")
    try:
        os.makedirs(os.path.join(root, "etc"))
        for name in ("passwd", "group", "shadow", "gshadow", "login.defs"):
            if os.path.exists(os.path.join("/etc", name)):
                shutil.copy(os.path.join("/etc", name), os.path.join(root, "etc", name))
        # The command as written, less sudo (we are root), pointed at the scratch root.
        command = DIALOUT.replace("sudo usermod", f"usermod --root {root}", 1)
        result = subprocess.run(["bash", "-c", command], env=dict(os.environ, USER="nobody"),
                                capture_output=True, text=True, timeout=60)
        check(result.returncode == 0, f"{command}: {result.stderr.strip()}")
        with open(os.path.join(root, "etc", "group")) as f:
            members = [line.split(":")[3].split(",") for line in f.read().splitlines() if line.startswith("dialout:")]
        check(members and "nobody" in members[0], "the command did not put the user into dialout")
    finally:
        shutil.rmtree(root, ignore_errors=True)


def test(source_dir):
    with open(os.path.join(source_dir, ".ci", "run")) as f:
        ci = [line.strip() for line in f]
    claims = {
        "./scripts/test.sh": lambda: check("./scripts/test.sh" in ci, ".ci/run no longer runs ./scripts/test.sh"),
        test_run_script.README_COMMAND: lambda: None,  # run by test_run_script.py
        DIALOUT: run_dialout_in_scratch_root if os.geteuid() == 0 else
        lambda: check(subprocess.run(["getent", "group", "dialout"], capture_output=True).returncode == 0,
                      "this system has no dialout group"),
    }
    for command in readme_commands(source_dir, test_deb.README_HEADING):
        claims[command] = lambda: None  # run by test_deb.py
    commands = readme_commands(source_dir)
    unclaimed = [c for c in commands if c not in claims]
    check(not unclaimed, f"README.md commands that no test runs: {unclaimed}")
    gone = [c for c in claims if c not in commands]
    check(not gone, f"commands the tests run that README.md no longer shows: {gone}")
    for command in commands:
        claims[command]()

    # The examples of the settings file edit only groups and keys the panel reads.
    ini = [lines for _, lang, lines in readme_sections(source_dir) if lang == "ini"]
    ports = [lines for lines in ini if lines and lines[0] == "[Ports]"]
    check(len(ports) == 1, "README.md has no port map example, or more than one")
    for line in ports[0][1:]:
        key, _, value = line.partition("=")
        check(key in {f"COM{n}" for n in range(1, 9)} and value.startswith("/dev/"),
              f"README.md's port map example has the line {line!r}")
    # It is the group as Devices... writes it: the eight keys in order, one port moved to a by-id
    # name and the others at the defaults of README.md's table.
    example = dict(line.partition("=")[::2] for line in ports[0][1:])
    check([line.partition("=")[0] for line in ports[0][1:]] == [f"COM{n}" for n in range(1, 9)],
          f"README.md's port map example is not the eight keys COM1 to COM8 in order: {ports[0][1:]}")
    moved = {k: v for k, v in example.items() if v != readme_port_table(source_dir).get(k)}
    check(len(moved) == 1 and next(iter(moved.values())).startswith("/dev/serial/by-id/"),
          f"README.md's port map example should move one port to a /dev/serial/by-id/ name: {moved}")
    notifications = [lines for lines in ini if lines and lines[0] == "[Notifications]"]
    for lines in notifications:
        for line in lines[1:]:
            key, _, value = line.partition("=")
            check(key in {"Enabled", "Alarms", "Link", "Reports", "Restart"} and value in {"true", "false"},
                  f"README.md's notification example has the line {line!r}")
    check(len(ports) + len(notifications) == len(ini), "README.md shows a settings group the panel does not read")


if __name__ == "__main__":
    sys.exit(main(test, *sys.argv[1:2]))
