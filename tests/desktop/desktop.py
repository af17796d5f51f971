"""What the desktop tests share: a private X desktop with a system tray, the transmitter simulator as
a child process, screenshots read as pixels, the settings store read as the panel wrote it, and the
commands of README.md."""

import json
import os
import queue
import re
import shutil
import subprocess
import tempfile
import threading
import time

# The panel's window is 785 x 528 device-independent pixels below its menu bar, status bar included.
CLIENT_WIDTH = 785
CLIENT_HEIGHT = 528
TITLE = "ValtronaAmp+ v4.1"


class Failure(Exception):
    """A check of a desktop test did not hold."""


def check(condition, message):
    if not condition:
        raise Failure(message)


def wait_until(condition, timeout, step=0.1):
    """Polls `condition` until it returns something true or `timeout` seconds pass; returns it."""
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value or time.monotonic() >= end:
            return value
        time.sleep(step)


def px(*twips):
    """A place drawn in twips (15 to the pixel), summed over its containers, in pixels."""
    return round(sum(twips) / 15.0)


class Image:
    """A screenshot as RGB pixels, read from ImageMagick's PPM output."""

    def __init__(self, width, height, pixels):
        self.width, self.height, self.pixels = width, height, pixels

    @staticmethod
    def from_ppm(data):
        match = re.match(rb"P6\s+(\d+)\s+(\d+)\s+(\d+)\s", data)
        if not match or int(match.group(3)) != 255:
            raise Failure("not an 8-bit PPM image")
        width, height = int(match.group(1)), int(match.group(2))
        return Image(width, height, data[match.end():match.end() + width * height * 3])

    def crop(self, x, y, w, h):
        rows = [self.pixels[((y + r) * self.width + x) * 3:((y + r) * self.width + x + w) * 3] for r in range(h)]
        return Image(w, h, b"".join(rows))

    def pixel(self, x, y):
        i = (y * self.width + x) * 3
        return tuple(self.pixels[i:i + 3])

    def share(self, predicate):
        """The share of pixels whose (r, g, b) satisfies `predicate`."""
        count = sum(1 for i in range(0, len(self.pixels), 3) if predicate(tuple(self.pixels[i:i + 3])))
        return count / max(1, self.width * self.height)


class Desktop:
    """Xvfb with the icewm window manager, whose task bar holds a system tray, on a free display of
    its own: a test that types on the keyboard must not share the focus with another test's window."""

    def __init__(self, workdir, screen="1280x1024x24"):
        self.workdir = workdir
        self.screen = screen
        self.display = None
        self._xvfb = self._wm = None

    def __enter__(self):
        for tool in ("Xvfb", "icewm", "xdotool", "xwininfo", "import"):
            check(shutil.which(tool), f"{tool} is not installed (scripts/install-deps.sh installs it)")
        read_fd, write_fd = os.pipe()
        # -displayfd picks a free display number and writes it once the server accepts clients.
        self._xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_fd), "-screen", "0", self.screen, "-nolisten", "tcp"],
            pass_fds=(write_fd,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write_fd)
        with os.fdopen(read_fd) as pipe:
            number = pipe.readline().strip()
        check(number.isdigit(), "Xvfb did not start")
        self.display = ":" + number
        self._wm = subprocess.Popen(["icewm"], env=self.env(), stdout=subprocess.DEVNULL,
                                    stderr=subprocess.DEVNULL)
        check(wait_until(lambda: '"SystemTray"' in self.tree(), 15), "icewm shows no system tray")
        return self

    def __exit__(self, *exc):
        for proc in (self._wm, self._xvfb):
            if proc and proc.poll() is None:
                proc.terminate()
                try:
                    proc.wait(5)
                except subprocess.TimeoutExpired:
                    proc.kill()
                    proc.wait()

    def env(self, **extra):
        env = dict(os.environ)
        for name in ("QT_SCALE_FACTOR", "QT_SCREEN_SCALE_FACTORS", "QT_FONT_DPI", "WAYLAND_DISPLAY"):
            env.pop(name, None)
        env.update(DISPLAY=self.display, QT_QPA_PLATFORM="xcb")
        env.update(extra)
        return env

    def run(self, *args, check_status=True):
        result = subprocess.run(args, env=self.env(), capture_output=True, text=True, timeout=30)
        if check_status and result.returncode != 0:
            raise Failure(f"{' '.join(args)}: {result.stderr.strip()}")
        return result.stdout

    def tree(self):
        return self.run("xwininfo", "-root", "-tree", check_status=False)

    def visible_windows(self, title=TITLE):
        out = self.run("xdotool", "search", "--onlyvisible", "--name", "^" + re.escape(title) + "$",
                       check_status=False)
        return [int(w) for w in out.split()]

    def tray_icons(self, wm_class):
        """Absolute rectangles of the tray icons of `wm_class` embedded in the window manager's tray."""
        icons = []
        inside_tray = None
        for line in self.tree().splitlines():
            indent = len(line) - len(line.lstrip())
            if '"SystemTray"' in line:
                inside_tray = indent
                continue
            if inside_tray is not None and indent <= inside_tray:
                inside_tray = None
            match = re.search(r'\("([^"]*)" "[^"]*"\)\s+(\d+)x(\d+)\+-?\d+\+-?\d+\s+\+(-?\d+)\+(-?\d+)', line)
            if inside_tray is not None and match and match.group(1) == wm_class:
                w, h, x, y = (int(match.group(i)) for i in range(2, 6))
                icons.append((x, y, w, h))
        return icons

    def geometry(self, window):
        out = self.run("xwininfo", "-id", str(window))
        values = {}
        for key, name in (("x", "Absolute upper-left X"), ("y", "Absolute upper-left Y"),
                          ("w", "Width"), ("h", "Height")):
            values[key] = int(re.search(name + r":\s+(-?\d+)", out).group(1))
        return values["x"], values["y"], values["w"], values["h"]

    def click(self, x, y):
        self.run("xdotool", "mousemove", "--sync", str(x), str(y))
        self.run("xdotool", "click", "1")

    def key(self, *keys):
        self.run("xdotool", "key", "--delay", "60", *keys)

    def type(self, text):
        self.run("xdotool", "type", "--delay", "40", text)

    def activate(self, window):
        self.run("xdotool", "windowactivate", "--sync", str(window), check_status=False)

    def screenshot(self, path=None):
        data = subprocess.run(["import", "-window", "root", "-depth", "8", "ppm:-"], env=self.env(), capture_output=True,
                              timeout=30, check=True).stdout
        if path:
            subprocess.run(["convert", "ppm:-", path], input=data, check=True, timeout=30)
        return Image.from_ppm(data)


class Simulator:
    """valtrona-sim on a pseudo-terminal behind the link `link`, logging every frame to `log`."""

    def __init__(self, binary, link, log, *args):
        self.link, self.log = link, log
        self._lines = queue.Queue()
        self._proc = subprocess.Popen([binary, "--link", link, "--log", log, *args], stdin=subprocess.PIPE,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True, bufsize=1)
        threading.Thread(target=self._read, daemon=True).start()
        first = self._next_line(10)
        check(first and first.startswith("device "), f"the simulator did not start: {first!r}")
        check(wait_until(lambda: os.path.exists(link), 5), "the simulator made no link")

    def _read(self):
        for line in self._proc.stdout:
            self._lines.put(line.rstrip("\n"))

    def _next_line(self, timeout):
        try:
            return self._lines.get(timeout=timeout)
        except queue.Empty:
            return None

    def command(self, line):
        self._proc.stdin.write(line + "\n")
        self._proc.stdin.flush()
        while True:
            answer = self._next_line(5)
            check(answer is not None, f"the simulator did not answer {line!r}")
            if answer.startswith("ok ") or answer.startswith("error "):
                check(answer.startswith("ok "), f"simulator: {answer}")
                return

    def records(self, event=None):
        return log_records(self.log, event)

    def frames(self, command=None):
        return [r for r in self.records("frame") if command is None or r.get("command") == command]

    def stop(self):
        if self._proc.poll() is None:
            try:
                self._proc.stdin.write("quit\n")
                self._proc.stdin.flush()
                self._proc.wait(5)
            except (BrokenPipeError, subprocess.TimeoutExpired):
                self._proc.kill()
                self._proc.wait()


def log_records(path, event=None):
    """The simulator's log records (of `event`, or all), as far as written."""
    try:
        with open(path, encoding="utf-8") as f:
            lines = f.read().splitlines()
    except FileNotFoundError:
        return []
    out = []
    for line in lines:
        try:
            record = json.loads(line)
        except ValueError:
            continue  # a line still being written
        if event is None or record.get("event") == event:
            out.append(record)
    return out


def read_store(path):
    """The store file as {group: {key: value}}, values unquoted as the panel's store writes them."""
    groups, group = {}, None
    with open(path, encoding="utf-8") as f:
        for line in f.read().splitlines():
            if line.startswith("[") and line.endswith("]"):
                group = groups.setdefault(line[1:-1].replace("%2B", "+"), {})
            elif "=" in line and group is not None:
                key, value = line.split("=", 1)
                if len(value) >= 2 and value.startswith('"') and value.endswith('"'):
                    value = re.sub(r'\\(.)', r'\1', value[1:-1])
                group[key] = value
    return groups


def store_path(config_home):
    return os.path.join(config_home, "ZTK Electronics", "ValtronaAmp+.ini")


def write_store(config_home, text):
    path = store_path(config_home)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)
    return path


def readme_sections(source_dir):
    """README.md as a list of (heading, block language, block lines) for each fenced block."""
    blocks, heading, fence, lines = [], "", None, []
    with open(os.path.join(source_dir, "README.md"), encoding="utf-8") as f:
        for line in f.read().splitlines():
            if fence is None:
                if line.startswith("#"):
                    heading = line.lstrip("#").strip()
                elif line.startswith("```"):
                    fence, lines = line[3:].strip(), []
            elif line.startswith("```"):
                blocks.append((heading, fence, lines))
                fence = None
            else:
                lines.append(line)
    return blocks


def readme_commands(source_dir, heading=None):
    """The shell commands of README.md's ```sh blocks, under `heading` or everywhere."""
    return [line.strip() for h, lang, lines in readme_sections(source_dir) if lang == "sh"
            and (heading is None or h == heading) for line in lines if line.strip()
            and not line.strip().startswith("#")]


def readme_port_table(source_dir):
    """README.md's table of the device each "COM n" stands for by default, as {"COM3": "/dev/ttyS2"}."""
    with open(os.path.join(source_dir, "README.md"), encoding="utf-8") as f:
        rows = re.findall(r"^\| COM (\d) \| `(/dev/[^`]+)` \|$", f.read(), re.M)
    return {f"COM{n}": device for n, device in rows}


def temp_dir(prefix):
    return tempfile.mkdtemp(prefix=prefix, dir=os.environ.get("TMPDIR") or None)


def main(test, *args):
    """Runs `test(*args)` as a ctest program: 0 when it passes, 1 with the reason when it fails."""
    try:
        test(*args)
    except Failure as failure:
        print(f"FAIL: {failure}")
        return 1
    print("PASS")
    return 0
