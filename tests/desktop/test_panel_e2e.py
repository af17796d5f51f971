#!/usr/bin/env python3
"""The panel as an operator meets it on a desktop, driven with the mouse and the keyboard: a fresh
store starts it in the tray, the tray icon brings it back, "Read status" fills the display from the
transmitter, File > Setup moves the link to another port, both downloads reach the transmitter with
the right bytes while the window keeps drawing, and File > Exit saves and ends it with status 0.

    test_panel_e2e.py <valtrona-panel> <valtrona-sim> <source dir>

The transmitters are two simulators; "COM 1" and "COM 2" of the store point at them."""

import os
import shutil
import subprocess
import sys
import time

from desktop import (CLIENT_HEIGHT, CLIENT_WIDTH, TITLE, Desktop, Failure, Simulator, check, main, px,
                     read_store, readme_port_table, temp_dir, wait_until, write_store)

SETUP_TITLE = "ValtronaAmp+ Setup"
GREY = (224, 224, 224)
RED = (255, 0, 0)

# Places on the client area (below the menu bar), from the window's layout in twips: container
# offsets first, then the control's own left and top; width and height last.
PLACES = {
    "Text1": ((120, 480), (4080, 600), 1575, 400),            # Output power
    "Command4": ((5400, 240), (0, 6720), 1455, 400),          # Read status
    "Check1": ((5400, 1920), (0, 6720), 1575, 345),           # Auto read status
    "Shape1": ((5400, 1380), (0, 5040), 1005, 645),           # AMP T ALARM
    "Shape2": ((5400, 180), (0, 5040), 1005, 645),            # SWR ALARM
    "Shape3": ((5400, 2520), (0, 5040), 1005, 645),           # PSU T ALARM
    "Shape4": ((5400, 180), (0, 5880), 1605, 645),            # OVER-CURRENT ALARM
    "Shape5": ((5400, 1920), (0, 5880), 1695, 645),           # RF OVERDRIVE ALARM
    "Combo14": ((120, 240, 2430), (120, 1320, 1590), 1695, 315),  # Over-current alarm
    "Command16": ((120, 420), (5880, 300), 1425, 400),        # Update amplifier
    "ProgressBar1": ((120, 390), (5880, 810), 1470, 240),
    "Text7": ((9360, 210), (4080, 1200), 1815, 345),          # Logo line1
    "Command9": ((9360, 480), (4080, 2400), 1425, 540),       # Update Logo text
}

# A report unlike the simulator's own: 77.7 W out, alarm code 05 (amplifier and supply temperature).
REPORT = ("Pfwd=77.7W,Pref=1.2W,Tpsu=61C,Tamp=72C,Iamp1=1.1A,Iamp2=1.2A,Iamp3=1.3A,Iamp4=1.4A,"
          "Uamp1=47.1V,Uamp2=47.2V,Uamp3=47.3V,Uamp4=47.4V,Uptime=0001D:02H:03M,Firmware=9.99-e2e,"
          "PowerLimit=250W,AlarmCode=05,Audio=5")

# The amplifier download: command, the setting whose position goes out plus 4.
AMPLIFIER_FRAMES = [("FO", "TXPower"), ("FAS", "SWRAlarm"), ("FAT", "AmpTempAlarm"), ("FAU", "VoltageAlarm"),
                    ("FAC", "CurrentAlarm"), ("FAA", "AutoFanTemp")]


class Window:
    """The panel's main window on screen: where its client area starts, and its controls."""

    def __init__(self, desk, window):
        self.desk, self.id = desk, window
        x, y, w, h = desk.geometry(window)
        check(w == CLIENT_WIDTH, f"the window is {w} pixels wide, {CLIENT_WIDTH} expected")
        check(h > CLIENT_HEIGHT, f"the window is {h} pixels high: no room for its menu bar")
        self.left, self.top = x, y + h - CLIENT_HEIGHT

    def rect(self, name):
        lefts, tops, width, height = PLACES[name]
        return self.left + px(*lefts), self.top + px(*tops), px(width), px(height)

    def click(self, name, dx=None):
        x, y, w, h = self.rect(name)
        self.desk.activate(self.id)
        self.desk.click(x + (w // 2 if dx is None else dx), y + h // 2)

    def crop(self, image, name, inset=3):
        x, y, w, h = self.rect(name)
        return image.crop(x + inset, y + inset, w - 2 * inset, h - 2 * inset)


def close_to(colour, target, slack=12):
    return all(abs(a - b) <= slack for a, b in zip(colour, target))


def shape_colour(window, image, name):
    crop = window.crop(image, name)
    if crop.share(lambda c: close_to(c, RED)) > 0.5:
        return "red"
    if crop.share(lambda c: close_to(c, GREY)) > 0.5:
        return "grey"
    return "neither"


def stored(store, key, group="ValtronaAmp+"):
    try:
        return read_store(store).get(group, {}).get(key)
    except (FileNotFoundError, UnicodeDecodeError):
        return None


def opened_at_9600(sim):
    return [r for r in sim.records("line") if r.get("baud") == 9600 and r.get("ok")]


def setup_port(desk, window, type_text=None):
    """File > Setup by its access keys; types `type_text` into the emptied port box, then OK. The
    dialog's places are whole pixels of its twips, cut rather than rounded."""
    desk.activate(window.id)
    desk.key("alt+f")
    desk.key("e")
    dialogs = wait_until(lambda: desk.visible_windows(SETUP_TITLE), 10)
    check(dialogs, "File > Setup opened no setup window")
    dx, dy, _, _ = desk.geometry(dialogs[0])
    desk.activate(dialogs[0])
    box = (dx + (90 + 930) // 15, dy + (120 + 360) // 15, 1425 // 15, 315 // 15)
    if type_text:
        desk.click(box[0] + 30, box[1] + box[3] // 2)
        desk.key("ctrl+a")
        desk.type(type_text)
    desk.click(dx + 1170 // 15 + 1035 // 30, dy + 1320 // 15 + 375 // 30)  # OK
    check(wait_until(lambda: not desk.visible_windows(SETUP_TITLE), 5), "OK did not close the setup window")


def journey(desk, panel, sim1, sim2, store, work, source_dir):
    # A fresh store: "To tray at start" is on, so the window is not shown and the icon is in the tray.
    icons = wait_until(lambda: desk.tray_icons("valtrona-panel"), 20)
    check(icons, "no tray icon of the panel in the desktop's tray")
    check(not desk.visible_windows(), "the window is on screen although the store says to start in the tray")
    check(stored(store, "TrayAtStart") == "True", "the start did not write the store's defaults")
    # Auto-read is on by default and keeps reading while the window is hidden.
    check(wait_until(lambda: sim1.frames("FM"), 5), "no status request reached COM 1 while in the tray")

    x, y, w, h = icons[0]
    desk.click(x + w // 2, y + h // 2)
    windows = wait_until(desk.visible_windows, 10)
    check(windows, "activating the tray icon did not bring the window back")
    check(wait_until(lambda: not desk.tray_icons("valtrona-panel"), 5), "the tray icon stayed after restoring")
    window = Window(desk, windows[0])
    desk.screenshot(os.path.join(work, "restored.png"))

    # Auto-read off, as the operator does it: a click on its check box.
    window.click("Check1", dx=8)
    check(wait_until(lambda: stored(store, "AutoRead") == "False", 5), "unticking Auto read status was not stored")
    time.sleep(1.5)
    requests = len(sim1.frames("FM"))
    time.sleep(2.5)
    check(len(sim1.frames("FM")) == requests, "status requests went on with Auto read status unticked")

    before = desk.screenshot()
    for shape in ("Shape1", "Shape3"):
        check(shape_colour(window, before, shape) == "grey", f"{shape} is not grey before the report")
    sim1.command("report " + REPORT)
    window.click("Command4")
    check(wait_until(lambda: len(sim1.frames("FM")) == requests + 1, 5), "Read status sent no status request")
    check(wait_until(lambda: window.crop(desk.screenshot(), "Text1").pixels != window.crop(before, "Text1").pixels,
                     5), "the Output power box did not change after Read status")
    time.sleep(0.5)
    after = desk.screenshot(os.path.join(work, "read-status.png"))
    colours = {shape: shape_colour(window, after, shape) for shape in ("Shape1", "Shape2", "Shape3", "Shape4", "Shape5")}
    check(colours == {"Shape1": "red", "Shape2": "grey", "Shape3": "red", "Shape4": "grey", "Shape5": "grey"},
          f"alarm code 05 lit the indicators {colours}")
    check(len(sim1.frames("FM")) == requests + 1, "more than one status request for one click")

    # File > Setup with the keyboard, and the new port typed into the port box. Every keystroke is
    # a choice of its own: the first one already reopens the stored port, and a link that is open
    # stays where it is, so the typed port is stored and takes over once the link has been let go.
    setup_port(desk, window, type_text="COM 2")
    check(wait_until(lambda: stored(store, "COMSelected") == "2", 5), "typing COM 2 was not stored")
    # Opening the dialog again lets go of the link; it loads the stored port, and OK keeps it.
    setup_port(desk, window)
    check(stored(store, "COMSelected") == "2", "opening the dialog again changed the stored port")

    # A user's choice that the download must carry: the next over-current level.
    current = int(stored(store, "CurrentAlarm"))
    window.click("Combo14")
    time.sleep(0.5)
    desk.key("Down")
    desk.key("Return")
    check(wait_until(lambda: stored(store, "CurrentAlarm") == str(current + 1), 5),
          "choosing the next over-current alarm level was not stored")

    # "Update amplifier": seven frames on COM 2, none on COM 1.
    on_com1 = len(sim1.frames())
    window.click("Command16")
    check(wait_until(lambda: opened_at_9600(sim2), 5), "Update amplifier did not open COM 2 at 9600 8N1")
    check(wait_until(lambda: sim2.frames("FW"), 15), "the amplifier download did not reach COM 2")
    settings = read_store(store)["ValtronaAmp+"]
    expected = [(command, "%02x" % (int(settings[key]) + 4)) for command, key in AMPLIFIER_FRAMES] + [("FW", "30")]
    got = [(r["command"], r["value"].lower()) for r in sim2.frames() if r["command"] != "FM"]
    check(got == expected, f"amplifier frames {got}, expected {expected}")
    check(len(sim1.frames()) == on_com1, "frames still reached COM 1 after the port moved to COM 2")

    # A new first logo line, typed as the operator does; leaving the box pads it to 16 characters.
    window.click("Text7")
    desk.key("ctrl+a")
    desk.type("E2E LOGO LINE")
    desk.key("Tab")
    line1 = "E2E LOGO LINE   "
    check(wait_until(lambda: stored(store, "LogoLine1") == line1, 5), "the edited logo line was not stored padded")
    line2 = stored(store, "LogoLine2")

    window.click("Command9")
    check(wait_until(lambda: sim2.frames("FL1"), 5), "the logo download did not start on COM 2")
    time.sleep(1.5)
    early = window.crop(desk.screenshot(), "ProgressBar1", inset=1)
    time.sleep(4)
    late = window.crop(desk.screenshot(os.path.join(work, "logo-download.png")), "ProgressBar1", inset=1)
    check(early.pixels != late.pixels, "the progress bar did not move during the logo download")
    check(wait_until(lambda: sim2.frames("FLS"), 25), "the logo download did not end with its store command")
    text1 = "".join(r["text"] for r in sim2.frames("FL1"))
    text2 = "".join(r["text"] for r in sim2.frames("FL2"))
    check(text1 == line1, f"logo line 1 went out as {text1!r}, {line1!r} expected")
    check(text2 == line2[:16], f"logo line 2 went out as {text2!r}, {line2[:16]!r} expected")
    check([r["text"] for r in sim2.frames("FLS")] == ["0"], "the logo store command did not carry \"0\"")

    # File > Exit: the store is written once more and the program ends with status 0. A save of
    # what the file holds leaves a file the panel itself synced alone, so the file is touched
    # first, as a backup tool or an editor might: the close must then write it again.
    os.utime(store, ns=(time.time_ns(), time.time_ns() - 3_600_000_000_000))
    saved = os.stat(store)
    time.sleep(0.05)
    desk.activate(window.id)
    desk.key("alt+f")
    desk.key("x")
    try:
        status = panel.wait(15)
    except subprocess.TimeoutExpired:
        raise Failure("File > Exit did not end the program")
    check(status == 0, f"the program ended with status {status}")
    now = os.stat(store)
    check((now.st_ino, now.st_mtime_ns) != (saved.st_ino, saved.st_mtime_ns), "closing did not write the store")
    final = read_store(store)["ValtronaAmp+"]
    for key, value in (("AutoRead", "False"), ("COMSelected", "2"), ("LogoLine1", line1),
                       ("CurrentAlarm", str(current + 1)), ("TrayAtStart", "True")):
        check(final.get(key) == value, f"after exit the store holds {key}={final.get(key)!r}, {value!r} expected")
    # The ports the test did not set hold their defaults, as README.md tells the operator.
    documented = readme_port_table(source_dir)
    check(len(documented) == 8, f"README.md's port table has {len(documented)} rows, 8 expected")
    ports = read_store(store)["Ports"]
    for n in range(3, 9):
        key = f"COM{n}"
        check(ports.get(key) == documented[key], f"the store maps {key} to {ports.get(key)}, README.md says "
              f"{documented[key]}")


def test(panel_binary, sim_binary, source_dir):
    work = temp_dir("panel-e2e-")
    keep = False
    try:
        with Desktop(work) as desk:
            sim1 = Simulator(sim_binary, os.path.join(work, "tty1"), os.path.join(work, "sim1.log"))
            sim2 = Simulator(sim_binary, os.path.join(work, "tty2"), os.path.join(work, "sim2.log"))
            config = os.path.join(work, "config")
            store = write_store(config, f"[Ports]\nCOM1={sim1.link}\nCOM2={sim2.link}\n")
            with open(os.path.join(work, "panel.log"), "w") as log:
                panel = subprocess.Popen([panel_binary], env=desk.env(XDG_CONFIG_HOME=config, HOME=work),
                                         stdin=subprocess.DEVNULL, stdout=log, stderr=subprocess.STDOUT)
            try:
                journey(desk, panel, sim1, sim2, store, work, source_dir)
            except Failure:
                keep = True
                desk.screenshot(os.path.join(work, "failure.png"))
                print(f"screenshots, logs and the store are kept in {work}")
                raise
            finally:
                if panel.poll() is None:
                    panel.kill()
                    panel.wait()
                sim1.stop()
                sim2.stop()
    finally:
        if not keep:
            shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main(test, *sys.argv[1:4]))
