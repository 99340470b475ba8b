"""A throw-away X desktop for driving the real program from outside.

The desktop is an Xvfb server on a free display with openbox as the window manager and
trayer as the tray host, inside the D-Bus session of the calling process (run_e2e.py
re-executes itself under dbus-run-session). The program is driven with xdotool and read
through the accessibility tree (AT-SPI) or through the files it writes.
"""

import os
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import time

SCREEN_WIDTH = 1280
SCREEN_HEIGHT = 1024

# The main window's layout: GroupBox1 sits at (1, 0) of the client area; the controls
# inside it are placed relative to it.
GROUPBOX1 = (1, 0)


class DesktopError(Exception):
    """The desktop itself (not the program under test) could not be set up."""


def poll(predicate, timeout, interval=0.1):
    """Calls predicate until it returns a true value or timeout seconds have passed."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if time.monotonic() >= deadline:
            return value
        time.sleep(interval)


def in_groupbox1(left, top, width, height):
    """The client coordinates of the centre of a control placed inside GroupBox1."""
    return (GROUPBOX1[0] + left + width // 2, GROUPBOX1[1] + top + height // 2)


def ensure_session_bus(argv):
    """Re-executes the calling script inside its own D-Bus session, once."""
    if os.environ.get("TESSIVAR_E2E_SESSION") == "1":
        return
    if shutil.which("dbus-run-session") is None:
        raise DesktopError("dbus-run-session is missing (package dbus)")
    env = dict(os.environ, TESSIVAR_E2E_SESSION="1")
    python = system_python()
    os.execvpe("dbus-run-session", ["dbus-run-session", "--", python] + argv, env)


def system_python():
    """The Python that has Debian's pyatspi: the distribution's own, when present."""
    for candidate in ("/usr/bin/python3", sys.executable):
        if candidate and os.path.exists(candidate):
            probe = subprocess.run([candidate, "-c", "import pyatspi"],
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            if probe.returncode == 0:
                return candidate
    return sys.executable


class Desktop:
    """Xvfb + openbox + trayer, torn down by stop() whatever happened."""

    def __init__(self, out_dir):
        self.out_dir = out_dir
        self.display = None
        self.processes = []
        self.env = None

    # -- life -------------------------------------------------------------------------

    def start(self):
        for tool in ("Xvfb", "openbox", "trayer", "xdotool", "xwininfo", "xprop", "import"):
            if shutil.which(tool) is None:
                raise DesktopError(f"{tool} is missing; run scripts/setup.sh")
        self._start_xvfb()
        self.env = dict(os.environ, DISPLAY=self.display)
        self.env.pop("WAYLAND_DISPLAY", None)
        self._spawn("openbox", ["openbox", "--sm-disable"])
        if not poll(self._window_manager_running, 10):
            raise DesktopError("openbox did not take over the display")
        self._spawn("trayer", ["trayer", "--edge", "bottom", "--align", "right",
                               "--widthtype", "request", "--SetDockType", "true",
                               "--transparent", "false"])
        if not poll(self.tray_host_window, 10):
            raise DesktopError("trayer did not show its panel")
        self._start_accessibility_bus()

    def stop(self):
        for name, process in reversed(self.processes):
            stop_process(process)
        self.processes = []

    def _start_xvfb(self):
        read_end, write_end = os.pipe()
        log = open(os.path.join(self.out_dir, "Xvfb.log"), "wb")
        process = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write_end), "-screen", "0",
             f"{SCREEN_WIDTH}x{SCREEN_HEIGHT}x24", "-nolisten", "tcp", "-noreset"],
            pass_fds=(write_end,), stdout=log, stderr=subprocess.STDOUT,
            start_new_session=True)
        os.close(write_end)
        self.processes.append(("Xvfb", process))
        number = b""
        deadline = time.monotonic() + 15
        while not number.endswith(b"\n") and time.monotonic() < deadline:
            chunk = os.read(read_end, 16)
            if not chunk:
                break
            number += chunk
        os.close(read_end)
        if not number.strip().isdigit():
            raise DesktopError("Xvfb did not report its display number")
        self.display = ":" + number.strip().decode()

    def _spawn(self, name, argv):
        log = open(os.path.join(self.out_dir, f"{name}.log"), "wb")
        process = subprocess.Popen(argv, env=self.env, stdout=log, stderr=subprocess.STDOUT,
                                   start_new_session=True)
        self.processes.append((name, process))
        return process

    def _window_manager_running(self):
        out = self.run(["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], check=False)
        return "window id" in out

    def _start_accessibility_bus(self):
        # Qt joins the accessibility bus only when it is running as the program starts;
        # asking for its address launches it (and the registry) by D-Bus activation.
        subprocess.run(["dbus-send", "--session", "--print-reply", "--dest=org.a11y.Bus",
                        "/org/a11y/bus", "org.a11y.Bus.GetAddress"],
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=15)

    # -- X tools ----------------------------------------------------------------------

    def run(self, argv, check=True, timeout=10):
        result = subprocess.run(argv, env=self.env, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, timeout=timeout)
        if check and result.returncode != 0:
            raise DesktopError(f"{' '.join(argv)}: {result.stderr.decode(errors='replace')}")
        return result.stdout.decode(errors="replace")

    def xdotool(self, *args, check=True):
        return self.run(["xdotool", *[str(a) for a in args]], check=check)

    def windows_of(self, pid, name=None, visible=True):
        args = ["search"]
        if visible:
            args.append("--onlyvisible")
        args += ["--pid", pid]
        if name is not None:
            # Conditions are or-ed unless --all is given.
            args += ["--all", "--name", name]
        out = self.xdotool(*args, check=False)
        return [int(line) for line in out.split() if line.isdigit()]

    def window_info(self, window):
        """Absolute client position, size and map state, from xwininfo."""
        out = self.run(["xwininfo", "-id", str(window)], check=False)
        info = {}
        for key, pattern in (("x", r"Absolute upper-left X:\s+(-?\d+)"),
                             ("y", r"Absolute upper-left Y:\s+(-?\d+)"),
                             ("width", r"Width:\s+(\d+)"),
                             ("height", r"Height:\s+(\d+)")):
            match = re.search(pattern, out)
            if match:
                info[key] = int(match.group(1))
        match = re.search(r"Map State:\s+(\w+)", out)
        info["map_state"] = match.group(1) if match else "Gone"
        info["override_redirect"] = "Override Redirect State: yes" in out
        match = re.search(r'Window id: \S+ "(.*)"', out)
        info["title"] = match.group(1) if match else ""
        return info

    def viewable(self, window):
        return self.window_info(window)["map_state"] == "IsViewable"

    def wm_state(self, window):
        """Normal, Iconic, Withdrawn (no WM_STATE) as the window manager keeps it."""
        out = self.run(["xprop", "-id", str(window), "WM_STATE"], check=False)
        match = re.search(r"window state:\s+(\w+)", out)
        return match.group(1) if match else "Withdrawn"

    def frame_extents(self, window):
        out = self.run(["xprop", "-id", str(window), "_NET_FRAME_EXTENTS"], check=False)
        numbers = [int(n) for n in re.findall(r"\d+", out.split("=", 1)[-1])] if "=" in out else []
        return tuple(numbers) if len(numbers) == 4 else (0, 0, 0, 0)

    def work_area(self):
        out = self.run(["xprop", "-root", "_NET_WORKAREA"], check=False)
        numbers = [int(n) for n in re.findall(r"\d+", out.split("=", 1)[-1])] if "=" in out else []
        if len(numbers) >= 4:
            return tuple(numbers[:4])
        return (0, 0, SCREEN_WIDTH, SCREEN_HEIGHT)

    def parent_of(self, window):
        out = self.run(["xwininfo", "-tree", "-id", str(window)], check=False)
        match = re.search(r"Parent window id: (0x[0-9a-f]+)", out)
        return int(match.group(1), 16) if match else None

    def root_window(self):
        out = self.run(["xwininfo", "-root"], check=False)
        match = re.search(r"Window id: (0x[0-9a-f]+)", out)
        return int(match.group(1), 16) if match else None

    def wm_class(self, window):
        out = self.run(["xprop", "-id", str(window), "WM_CLASS"], check=False)
        return re.findall(r'"([^"]*)"', out)

    def tray_host_window(self):
        # An empty panel of width "request" may stay unmapped until the first icon docks.
        for window in self.xdotool("search", "--class", "trayer", check=False).split():
            if window.isdigit():
                return int(window)
        return None

    def docked_in_tray(self, window):
        """Whether window has been embedded into trayer's panel."""
        root = self.root_window()
        current = self.parent_of(window)
        for _ in range(20):
            if current is None or current == root:
                return False
            if any(name.lower() == "trayer" for name in self.wm_class(current)):
                return True
            current = self.parent_of(current)
        return False

    def click(self, window, x, y, button=1):
        self.xdotool("mousemove", "--window", window, x, y)
        self.xdotool("click", button)

    def activate(self, window):
        """Raises and focuses window; tells whether the window manager did it."""
        self.xdotool("windowactivate", window, check=False)
        return poll(lambda: self.active_window() == window, 2, 0.05)

    def active_window(self):
        out = self.xdotool("getactivewindow", check=False).strip()
        return int(out) if out.isdigit() else None

    def key(self, *keys):
        self.xdotool("key", "--clearmodifiers", *keys)

    def screenshot(self, path, rect=None):
        argv = ["import", "-window", "root"]
        if rect is not None:
            x, y, width, height = rect
            argv += ["-crop", f"{width}x{height}+{x}+{y}", "+repage"]
        self.run(argv + [path], check=False, timeout=20)

    def frame_rect(self, window):
        info = self.window_info(window)
        left, right, top, bottom = self.frame_extents(window)
        return (max(0, info["x"] - left), max(0, info["y"] - top),
                info["width"] + left + right, info["height"] + top + bottom)


def stop_process(process, grace=3):
    """Ends one process that this suite started: SIGTERM, then SIGKILL."""
    if process.poll() is not None:
        return process.returncode
    try:
        process.send_signal(signal.SIGTERM)
        return process.wait(grace)
    except subprocess.TimeoutExpired:
        process.kill()
        return process.wait(grace)


class Program:
    """One run of the program under test, in its task folder."""

    def __init__(self, desktop, binary, task_dir, log_name, accessible=True):
        self.desktop = desktop
        self.task_dir = task_dir
        env = dict(desktop.env,
                   QT_LINUX_ACCESSIBILITY_ALWAYS_ON="1",
                   QT_QPA_PLATFORM="xcb",
                   LANG="C.UTF-8",
                   LC_ALL="C.UTF-8")
        if not accessible:
            del env["QT_LINUX_ACCESSIBILITY_ALWAYS_ON"]  # Qt looks only at whether it is set
        self.output = open(os.path.join(desktop.out_dir, log_name), "wb")
        self.started = time.monotonic()
        self.process = subprocess.Popen([binary], cwd=task_dir, env=env, stdout=self.output,
                                        stderr=subprocess.STDOUT)
        self.pid = self.process.pid
        self.window = None

    def wait_for_window(self, timeout=10, interval=0.1):
        """The main window, once it is shown (the visible window of the largest area)."""
        def shown():
            if self.process.poll() is not None:
                return None
            windows = self.desktop.windows_of(self.pid)
            sized = [(self.desktop.window_info(w), w) for w in windows]
            sized = [(i["width"] * i["height"], w) for i, w in sized if "width" in i]
            return max(sized)[1] if sized else None
        self.window = poll(shown, timeout, interval)
        return self.window

    def alive(self):
        return self.process.poll() is None

    def stop(self):
        code = stop_process(self.process)
        self.output.close()
        return code

    def client(self, x, y, button=1):
        """A click at client coordinates of the main window."""
        self.desktop.click(self.window, x, y, button)

    def other_windows(self, name=None):
        return [w for w in self.desktop.windows_of(self.pid, name=name) if w != self.window]


def make_task_dir(prefix):
    return tempfile.mkdtemp(prefix=prefix)
