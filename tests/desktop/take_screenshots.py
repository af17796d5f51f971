#!/usr/bin/env python3
"""Makes README.md's pictures: the window, frame included, connected to the simulator and showing
its live values, at 96 dpi (docs/screenshot.png) and at twice the scale (docs/screenshot-2x.png);
and, given history_fill (built with the benchmarks), the history window over the last 24 hours of a
history file filled with two days of a transmitter in service, the panel recording the simulator's
reports into it, the pointer on the power chart (docs/history.png).

    take_screenshots.py <valtrona-panel> <valtrona-sim> <docs dir> [<history_fill>]"""

import os
import re
import shutil
import subprocess
import sys
import time

from desktop import Desktop, Simulator, check, main, temp_dir, wait_until, write_store


def frame_extents(desk, window):
    out = desk.run("xprop", "-id", str(window), "_NET_FRAME_EXTENTS", check_status=False)
    match = re.search(r"= (\d+), (\d+), (\d+), (\d+)", out)
    return tuple(int(v) for v in match.groups()) if match else (0, 0, 0, 0)


def shoot(panel_binary, sim_binary, path, scale, screen):
    work = temp_dir("panel-shot-")
    try:
        with Desktop(work, screen=screen) as desk:
            sim = Simulator(sim_binary, os.path.join(work, "tty"), os.path.join(work, "sim.log"))
            config = os.path.join(work, "config")
            write_store(config, f"[Ports]\nCOM1={sim.link}\n\n[ValtronaAmp%2B]\nTrayAtStart=False\nTXPower=60\n")
            env = desk.env(XDG_CONFIG_HOME=config, HOME=work)
            if scale != 1:
                env["QT_SCALE_FACTOR"] = str(scale)
            panel = subprocess.Popen([panel_binary], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                windows = wait_until(desk.visible_windows, 15)
                check(windows, "the window did not come up")
                # A few reports in, so every box shows the transmitter's values.
                check(wait_until(lambda: len(sim.records("reply")) >= 3, 10), "no reports from the simulator")
                time.sleep(1)
                x, y, w, h = desk.geometry(windows[0])
                left, right, top, bottom = frame_extents(desk, windows[0])
                desk.run("xdotool", "mousemove", "0", "0")
                shot = os.path.join(work, "root.png")
                desk.screenshot(shot)
                subprocess.run(["convert", shot, "-crop", f"{w + left + right}x{h + top + bottom}+{x - left}+{y - top}",
                                "+repage", "-strip", path], check=True)
            finally:
                panel.terminate()
                panel.wait(10)
                sim.stop()
    finally:
        shutil.rmtree(work, ignore_errors=True)


def shoot_history(panel_binary, sim_binary, fill_binary, path):
    work = temp_dir("panel-history-shot-")
    try:
        with Desktop(work, screen="1280x1024x24") as desk:
            data = os.path.join(work, "data")
            history = os.path.join(data, "ZTK Electronics", "ValtronaAmp+", "history.sqlite")
            subprocess.run([fill_binary, history, "--days", "2", "--raw-days", "2"], check=True, timeout=600,
                           env=dict(os.environ, XDG_DATA_HOME=data), stdout=subprocess.DEVNULL)
            sim = Simulator(sim_binary, os.path.join(work, "tty"), os.path.join(work, "sim.log"))
            config = os.path.join(work, "config")
            write_store(config, f"[Ports]\nCOM1={sim.link}\n\n[ValtronaAmp%2B]\nTrayAtStart=False\nAutoRead=True\n")
            env = desk.env(XDG_CONFIG_HOME=config, XDG_DATA_HOME=data, HOME=work)
            panel = subprocess.Popen([panel_binary], env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            try:
                windows = wait_until(desk.visible_windows, 15)
                check(windows, "the window did not come up")
                check(wait_until(lambda: len(sim.records("reply")) >= 3, 10), "no reports from the simulator")
                desk.activate(windows[0])
                desk.key("alt+v", "h")
                title = "History - ValtronaAmp+"
                shown = wait_until(lambda: desk.visible_windows(title), 15)
                check(shown, "View > History did not open the history window")
                time.sleep(3)
                x, y, w, h = desk.geometry(shown[0])
                desk.run("xdotool", "mousemove", "--sync", str(x + int(w * 0.62)), str(y + 120))
                time.sleep(1)
                left, right, top, bottom = frame_extents(desk, shown[0])
                shot = os.path.join(work, "root.png")
                desk.screenshot(shot)
                subprocess.run(["convert", shot, "-crop", f"{w + left + right}x{h + top + bottom}+{x - left}+{y - top}",
                                "+repage", "-strip", path], check=True)
            finally:
                panel.terminate()
                panel.wait(10)
                sim.stop()
    finally:
        shutil.rmtree(work, ignore_errors=True)


def test(panel_binary, sim_binary, docs_dir, fill_binary=None):
    shoot(panel_binary, sim_binary, os.path.join(docs_dir, "screenshot.png"), 1, "1280x1024x24")
    shoot(panel_binary, sim_binary, os.path.join(docs_dir, "screenshot-2x.png"), 2, "2048x1536x24")
    if fill_binary:
        shoot_history(panel_binary, sim_binary, fill_binary, os.path.join(docs_dir, "history.png"))


if __name__ == "__main__":
    sys.exit(main(test, *sys.argv[1:5]))
