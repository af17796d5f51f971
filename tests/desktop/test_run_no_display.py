#!/usr/bin/env python3
"""README.md's ./scripts/run.sh on a machine with no display (DISPLAY, WAYLAND_DISPLAY and
QT_QPA_PLATFORM unset): it starts the panel's headless monitor against the simulator, whose events
come one a line on standard error, says how to see the window instead, and Ctrl+C (SIGINT to its
process group, as a terminal sends it) ends it with status 0, the simulator and run.sh's temporary
folder gone. It installs nothing here (apt-get and sudo are replaced by programs that leave a mark),
and HOME, the XDG folders and TMPDIR are temporary. The way it names to see the window, run.sh under
xvfb-run, then brings the panel up and ends with status 0 after VALTRONA_RUN_SECONDS.

    test_run_no_display.py <build dir> <source dir>"""

import os
import re
import shlex
import shutil
import signal
import subprocess
import sys
import threading

from desktop import Failure, check, log_records, main, readme_commands, temp_dir, wait_until
from test_run_script import README_COMMAND

SECONDS = 5
# The simulator's report, passed through run.sh: the reflected-power alarm is on, so the monitor's
# first report turns it into an event.
REPORT = "Pfwd=12.5W,Pref=0.4W,Tpsu=31C,Tamp=35C,AlarmCode=02,Audio=5"
EVENT = re.compile(r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ alarm on: SWR ALARM$")


def processes_naming(path):
    """The pids of the processes whose command line names `path`."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/cmdline", "rb") as f:
                if path.encode() in f.read():
                    found.append(int(pid))
        except OSError:
            pass
    return found


def headless_run(source_dir, build_dir, work):
    guard = os.path.join(work, "bin")
    os.makedirs(guard)
    for tool in ("apt-get", "sudo"):
        with open(os.path.join(guard, tool), "w") as f:
            f.write(f'#!/bin/sh\ntouch "{work}/called-{tool}"\nexit 99\n')
        os.chmod(os.path.join(guard, tool), 0o755)
    home, tmp = os.path.join(work, "home"), os.path.join(work, "tmp")
    os.makedirs(home)
    os.makedirs(tmp)
    env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
    env.update(PATH=guard + os.pathsep + os.environ["PATH"], BUILD_DIR=build_dir, HOME=home, TMPDIR=tmp,
               XDG_CONFIG_HOME=os.path.join(home, ".config"), XDG_DATA_HOME=os.path.join(home, ".local/share"),
               XDG_RUNTIME_DIR=os.path.join(work, "runtime"))
    os.makedirs(env["XDG_RUNTIME_DIR"], mode=0o700)

    command = f"{README_COMMAND} --report {shlex.quote(REPORT)}"
    # A session of its own: its process group is what a terminal's Ctrl+C reaches.
    proc = subprocess.Popen(["bash", "-c", command], cwd=source_dir, env=env, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, start_new_session=True)
    lines, out = [], []

    def read_stderr():
        for line in proc.stderr:
            lines.append(line.rstrip("\n"))

    readers = [threading.Thread(target=read_stderr, daemon=True),
               threading.Thread(target=lambda: out.append(proc.stdout.read()), daemon=True)]
    for reader in readers:
        reader.start()
    def said():
        return "\n".join(lines[-40:])

    try:
        check(wait_until(lambda: any(EVENT.match(l) for l in lines) or proc.poll() is not None, 300)
              and proc.poll() is None, f"run.sh printed no event of the monitor:\n{said()}")
        for advice in ("--headless", "Ctrl+C", "xvfb-run -a ./scripts/run.sh"):
            check(any(advice in l for l in lines), f"run.sh with no display does not mention {advice!r}:\n{said()}")
        check(any("panel started" in l for l in lines), f"no \"panel started\" line:\n{said()}")

        os.killpg(proc.pid, signal.SIGINT)
        try:
            status = proc.wait(60)
        except subprocess.TimeoutExpired:
            raise Failure(f"run.sh went on after Ctrl+C:\n{said()}")
        for reader in readers:
            reader.join(10)
        check(status == 0, f"run.sh ended with status {status} after Ctrl+C:\n{said()}\n{''.join(out)}")
        check(any(l.endswith("SIGINT: stopping.") for l in lines), f"the monitor did not stop on SIGINT:\n{said()}")
        check(wait_until(lambda: not processes_naming(tmp), 10),
              f"processes of run.sh outlived it: {processes_naming(tmp)}")
        check(not os.listdir(tmp), f"run.sh left {os.listdir(tmp)} in its temporary folder")
        called = sorted(name for name in os.listdir(work) if name.startswith("called-"))
        check(not called, f"run.sh installed packages: {called}")
    finally:
        if proc.poll() is None:
            os.killpg(proc.pid, signal.SIGKILL)
            proc.wait()
        for pid in processes_naming(tmp):  # a simulator left behind runs in a session of its own
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass


def test(build_dir, source_dir):
    check(README_COMMAND in readme_commands(source_dir), f"README.md no longer says {README_COMMAND}")
    work = temp_dir("panel-nodisplay-")
    try:
        headless_run(source_dir, build_dir, os.path.join(work, "headless"))

        # The advice, taken: a virtual display for run.sh and the panel it starts.
        check(shutil.which("xvfb-run"), "xvfb-run is not installed (scripts/install-deps.sh installs it)")
        # Extra arguments go to the simulator: its log shows the panel opening the line.
        log = os.path.join(work, "sim.log")
        command = f"xvfb-run -a {README_COMMAND} --log {shlex.quote(log)}"
        env = {k: v for k, v in os.environ.items() if k not in ("DISPLAY", "WAYLAND_DISPLAY", "QT_QPA_PLATFORM")}
        env.update(BUILD_DIR=build_dir, VALTRONA_RUN_SECONDS=str(SECONDS))
        result = subprocess.run(["bash", "-c", command], cwd=source_dir, env=env, capture_output=True, text=True,
                                timeout=600, stdin=subprocess.DEVNULL)
        said = result.stdout + result.stderr
        check(result.returncode == 0, f"{command} ended with status {result.returncode}:\n{said[-3000:]}")
        check([r for r in log_records(log, "line") if r.get("baud") == 9600],
              f"the panel under xvfb-run did not open the simulator's line at 9600 baud:\n{said[-3000:]}")
        check("--headless" not in result.stderr, f"run.sh with a display ran the headless monitor:\n{said[-3000:]}")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(test, *sys.argv[1:3]))
