#!/usr/bin/env python3
"""Makes README.md's pictures: the window, frame included, connected to the simulator and showing
its live values, at 96 dpi (docs/screenshot.png) and at twice the scale (docs/screenshot-2x.png).

    take_screenshots.py <valtrona-panel> <valtrona-sim> <docs dir>"""

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


def test(panel_binary, sim_binary, docs_dir):
    shoot(panel_binary, sim_binary, os.path.join(docs_dir, "screenshot.png"), 1, "1280x1024x24")
    shoot(panel_binary, sim_binary, os.path.join(docs_dir, "screenshot-2x.png"), 2, "2048x1536x24")


if __name__ == "__main__":
    sys.exit(main(test, *sys.argv[1:4]))
