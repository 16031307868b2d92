"""A private desktop session for end-to-end tests of tray applications: in a fresh temporary
home, an Xvfb display (or KWin's Wayland compositor on a virtual output), a session bus of its own
(no service activation), a StatusNotifierWatcher and an unlocked gnome-keyring, all stopped again
by PID with bounded waits. Applications started through it see only these. Needs
/usr/bin/python3 (gi from python3-gi).
ZANDORIN_DESKTOP_KEEP=1 keeps the session's directory (logs/ holds every process's output).
"""

import json
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
from typing import NamedTuple, Optional

import gi

gi.require_version("Gio", "2.0")
gi.require_version("GLib", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

WATCHER_SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "sni_watcher.py")
SECRET_SERVICE = "com.zandorin.auth"
SECRET_NAME = "org.freedesktop.secrets"
ITEM_INTERFACE = "org.kde.StatusNotifierItem"
MENU_INTERFACE = "com.canonical.dbusmenu"
START_TIMEOUT = 10.0
STOP_TIMEOUT = 5.0

# Variables that would lead a child to the developer's own desktop, bus or keyring.
_SESSION_VARS = (
    "DISPLAY", "WAYLAND_DISPLAY", "XAUTHORITY", "DBUS_SESSION_BUS_ADDRESS", "SESSION_MANAGER",
    "DESKTOP_SESSION", "GNOME_KEYRING_CONTROL", "SSH_AUTH_SOCK", "XDG_CURRENT_DESKTOP",
    "XDG_SESSION_TYPE", "XDG_SESSION_DESKTOP", "XDG_SESSION_ID", "XDG_SEAT", "XDG_VTNR",
    "XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME", "XDG_STATE_HOME", "XDG_RUNTIME_DIR",
    "QT_QPA_PLATFORM", "QT_QPA_PLATFORMTHEME", "QT_STYLE_OVERRIDE", "KDE_FULL_SESSION",
    "GTK_MODULES", "AT_SPI_BUS_ADDRESS",
)

_BUS_CONFIG = """<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <keep_umask/>
  <listen>unix:path={socket}</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
"""


class HarnessError(RuntimeError):
    pass


class MenuEntry(NamedTuple):
    type: str  # "standard" or "separator"
    label: str  # as sent: mnemonics in dbusmenu form ("_"), leading spaces kept
    enabled: bool
    visible: bool
    shortcut: Optional[tuple]  # e.g. (("Control", "q"),), None when absent


def entry(label, enabled=True, shortcut=None, visible=True):
    return MenuEntry("standard", label, enabled, visible, shortcut)


SEPARATOR = MenuEntry("separator", "", True, True, None)


def _stop_child(proc):
    """SIGTERM, then SIGKILL, each wait bounded. Returns the exit status or None."""
    if proc is None or proc.poll() is not None:
        return None if proc is None else proc.returncode
    proc.send_signal(signal.SIGTERM)
    try:
        return proc.wait(STOP_TIMEOUT)
    except subprocess.TimeoutExpired:
        proc.kill()
        try:
            return proc.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            return None


class LineReader:
    """Collects a child's stdout lines on a thread so that waits can be bounded."""

    def __init__(self, stream):
        self.lines = []
        self.times = []  # time.monotonic() at which each line arrived
        self._cond = threading.Condition()
        self._closed = False
        self._stream = stream
        self._thread = threading.Thread(target=self._run, daemon=True)
        self._thread.start()

    def _run(self):
        for raw in self._stream:
            with self._cond:
                self.lines.append(raw.decode(errors="replace").rstrip("\n"))
                self.times.append(time.monotonic())
                self._cond.notify_all()
        with self._cond:
            self._closed = True
            self._cond.notify_all()

    def close(self, timeout):
        self._thread.join(timeout)
        if not self._thread.is_alive():
            self._stream.close()

    def wait_for(self, predicate, timeout, start=0):
        """(index, line) of the first line at or after `start` matching, or None."""
        end = time.monotonic() + timeout
        with self._cond:
            index = start
            while True:
                while index < len(self.lines):
                    if predicate(self.lines[index]):
                        return index, self.lines[index]
                    index += 1
                left = end - time.monotonic()
                if self._closed or left <= 0:
                    return None
                self._cond.wait(left)


class EventProcess:
    """A child that reports JSON lines with an "event" member on stdout and takes lines on
    stdin; the end of its input ends it. Every wait is bounded by `step` seconds."""

    def __init__(self, argv, env, step, ready="ready"):
        self.step = step
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env)
        self.out = LineReader(self.proc.stdout)
        self.err = LineReader(self.proc.stderr)
        if ready:
            self.expect(ready)

    def send_line(self, line):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()

    def send(self, **command):
        self.send_line(json.dumps(command))

    def events(self, kind):
        return [e for e in map(json.loads, list(self.out.lines)) if e["event"] == kind]

    def expect(self, kind, start=0):
        """(index, event) of the first `kind` event at or after line `start`."""
        found = self.out.wait_for(lambda line: json.loads(line)["event"] == kind, self.step,
                                  start)
        if found is None:
            raise AssertionError(f"no {kind!r} event after line {start} in {self.out.lines!r}; "
                                 f"stderr: {self.err.lines!r}")
        return found[0], json.loads(found[1])

    def ask(self, kind, **command):
        """Sends a command and waits for the first `kind` event after it."""
        start = len(self.out.lines)
        self.send(**command)
        return self.expect(kind, start)[1]

    def wait_for(self, kind, count):
        """The `kind` events once there are `count` of them, or those there are in time."""
        end = time.monotonic() + self.step
        while len(self.events(kind)) < count and time.monotonic() < end:
            time.sleep(0.02)
        return self.events(kind)

    def output(self):
        return "\n".join(self.out.lines + self.err.lines)

    def stop(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(self.step)
        except (BrokenPipeError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait(self.step)
        self.out.close(self.step)
        self.err.close(self.step)
        return self.proc.returncode


class TrayItem(NamedTuple):
    bus_name: str
    path: str
    menu_path: str
    registered_at: float  # time.monotonic() at which the watcher reported it


def _flatten(node, out):
    for child in node[2]:
        child_id, props, _ = child
        shortcut = props.get("shortcut")
        out.append((child_id, MenuEntry(
            props.get("type", "standard"), props.get("label", ""), props.get("enabled", True),
            props.get("visible", True), tuple(map(tuple, shortcut)) if shortcut else None)))
        _flatten(child, out)


class App:
    """An application started inside a session; stdout and stderr go to files."""

    def __init__(self, session, proc, started_at, stdout_path, stderr_path):
        self.session = session
        self.started_at = started_at  # time.monotonic() just before the spawn
        self.proc = proc
        self.pid = proc.pid
        self.stdout_path = stdout_path
        self.stderr_path = stderr_path
        self.item = None

    def poll(self):
        return self.proc.poll()

    def wait(self, timeout):
        """Exit status, or None if the process is still running after `timeout` seconds."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stdout(self):
        with open(self.stdout_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stderr(self):
        with open(self.stderr_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def wait_for_item(self, timeout=START_TIMEOUT):
        """The StatusNotifierItem this process registered with the watcher."""
        if self.item is None:
            self.item = self.session.wait_for_item(self.pid, timeout)
        return self.item

    def item_properties(self):
        item = self.wait_for_item()
        reply = self.session.call(item.bus_name, item.path, "org.freedesktop.DBus.Properties",
                                  "GetAll", GLib.Variant("(s)", (ITEM_INTERFACE,)))
        return reply.unpack()[0]

    def menu_layout(self, with_ids=False):
        """One GetLayout of the whole menu, flattened depth-first (the root left out)."""
        item = self.wait_for_item()
        reply = self.session.call(item.bus_name, item.menu_path, MENU_INTERFACE, "GetLayout",
                                  GLib.Variant("(iias)", (0, -1, [])))
        out = []
        _flatten(reply.unpack()[1], out)
        return out if with_ids else [e for _, e in out]

    def wait_for_layout(self, expected, timeout=START_TIMEOUT):
        """Polls GetLayout until it equals `expected`; returns the last layout read, so that a
        caller's assertion shows what was there when the time ran out."""
        end = time.monotonic() + timeout
        layout = []
        while True:
            try:
                layout = self.menu_layout()
            except GLib.Error:
                pass  # not exported yet
            if layout == list(expected) or time.monotonic() >= end or self.poll() is not None:
                return layout
            time.sleep(0.05)

    def click(self, label):
        """Sends dbusmenu "clicked" to the one entry with exactly this label."""
        matches = [i for i, e in self.menu_layout(with_ids=True) if e.label == label]
        if len(matches) != 1:
            raise HarnessError(f"{len(matches)} menu entries labelled {label!r}")
        item = self.wait_for_item()
        try:
            self.session.call(item.bus_name, item.menu_path, MENU_INTERFACE, "Event",
                              GLib.Variant("(isvu)", (matches[0], "clicked",
                                                      GLib.Variant("i", 0), 0)))
        except GLib.Error:
            # An entry that ends the process may take it off the bus before the reply.
            if self.session.name_has_owner(item.bus_name):
                raise


class DesktopSession:
    """`watcher=False` leaves out the panel until start_watcher() (a panel that comes late);
    `wayland=True` runs applications under kwin_wayland instead of on an X display."""

    def __init__(self, keyring=True, watcher=True, wayland=False):
        self.want_keyring = keyring
        self.want_watcher = watcher
        self.wayland = wayland
        self.root = self.env = self.logs = self.display = self.bus_address = self.bus = None
        self._xvfb = self._dbus = self._watcher = self._watcher_lines = self._keyring = None
        self._kwin = self._kwin_lines = None
        self._apps = []
        self._scripts = 0

    def __enter__(self):
        try:
            self._start()
        except BaseException:
            self._stop()
            raise
        return self

    def __exit__(self, *exc):
        self._stop()
        return False

    def _start(self):
        self.root = tempfile.mkdtemp(prefix="zandorin-desktop-")
        dirs = {name: os.path.join(self.root, name) for name in
                ("home", "data", "config", "cache", "runtime", "logs")}
        for path in dirs.values():
            os.mkdir(path, 0o700)
        self.logs = dirs["logs"]
        self.env = {k: v for k, v in os.environ.items()
                    if k not in _SESSION_VARS and not k.startswith(("GNOME_", "KDE_"))}
        self.env.update(HOME=dirs["home"], XDG_DATA_HOME=dirs["data"],
                        XDG_CONFIG_HOME=dirs["config"], XDG_CACHE_HOME=dirs["cache"],
                        XDG_RUNTIME_DIR=dirs["runtime"], LANG=self.env.get("LANG") or "C.UTF-8",
                        NO_AT_BRIDGE="1")

        if not self.wayland:
            with self._log("xvfb.log") as log:
                self._xvfb = subprocess.Popen(
                    ["Xvfb", "-nolisten", "tcp", "-screen", "0", "1024x768x24", "-displayfd",
                     "1"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=log,
                    env=self.env)
            self.display = ":" + self._first_line(self._xvfb, "Xvfb")
            self.env.update(DISPLAY=self.display, QT_QPA_PLATFORM="xcb")

        config = os.path.join(self.root, "bus.conf")
        with open(config, "w") as f:
            f.write(_BUS_CONFIG.format(socket=os.path.join(dirs["runtime"], "bus")))
        with self._log("dbus.log") as log:
            self._dbus = subprocess.Popen(
                ["dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile",
                 "--print-address"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                stderr=log, env=self.env)
        self.bus_address = self._first_line(self._dbus, "dbus-daemon")
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self.bus_address
        self.bus = Gio.DBusConnection.new_for_address_sync(
            self.bus_address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
            | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
        self.bus.set_exit_on_close(False)

        if self.wayland:
            self._start_kwin(dirs["runtime"])
        if self.want_watcher:
            self.start_watcher()
        if self.want_keyring:
            self._start_keyring()

    def _log(self, name):
        return open(os.path.join(self.logs, name), "wb")

    @staticmethod
    def _first_line(proc, what):
        """What a daemon reports on stdout once it is ready (its display, its address)."""
        found = LineReader(proc.stdout).wait_for(lambda line: True, START_TIMEOUT)
        if found is None:
            raise HarnessError(f"{what} did not start")
        return found[1]

    def start_watcher(self):
        with self._log("sni_watcher.err") as err:
            self._watcher = subprocess.Popen(
                ["/usr/bin/python3", WATCHER_SCRIPT, self.bus_address], stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE, stderr=err, env=self.env)
        self._watcher_lines = LineReader(self._watcher.stdout)
        if self._watcher_lines.wait_for(lambda line: line == "READY", START_TIMEOUT) is None:
            raise HarnessError("the StatusNotifierWatcher did not take its name")

    def _start_kwin(self, runtime):
        # kwin_wayland carries a file capability (CAP_SYS_RESOURCE), which containers without it
        # refuse to exec; a plain copy is the same program without the capability.
        kwin = os.path.join(self.root, "kwin_wayland")
        shutil.copy("/usr/bin/kwin_wayland", kwin)
        self.display = "wayland-zandorin"
        self._kwin = subprocess.Popen(
            [kwin, "--virtual", "--no-lockscreen", "--socket", self.display, "--width", "1024",
             "--height", "768"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
            stderr=subprocess.STDOUT, env=self.env)
        self._kwin_lines = LineReader(self._kwin.stdout)
        end = time.monotonic() + START_TIMEOUT
        while not (os.path.exists(os.path.join(runtime, self.display))
                   and self.name_has_owner("org.kde.KWin")):
            if time.monotonic() >= end or self._kwin.poll() is not None:
                raise HarnessError("kwin_wayland did not start")
            time.sleep(0.05)
        self.env.update(WAYLAND_DISPLAY=self.display, QT_QPA_PLATFORM="wayland")

    def stop_watcher(self):
        _stop_child(self._watcher)
        self._watcher_lines.close(STOP_TIMEOUT)
        self._watcher.stdout.close()
        self._watcher = self._watcher_lines = None

    def _start_keyring(self):
        with self._log("keyring.log") as log:
            self._keyring = subprocess.Popen(
                ["gnome-keyring-daemon", "--foreground", "--unlock", "--components=secrets"],
                stdin=subprocess.PIPE, stdout=log, stderr=log, env=self.env)
        self._keyring.stdin.write(b"pw")  # unlocks the login keyring it creates
        self._keyring.stdin.close()
        end = time.monotonic() + START_TIMEOUT
        while not self.name_has_owner(SECRET_NAME):
            if time.monotonic() >= end or self._keyring.poll() is not None:
                raise HarnessError("gnome-keyring never took org.freedesktop.secrets")
            time.sleep(0.05)

    def _stop(self):
        for proc in [app.proc for app in self._apps] + [self._keyring]:
            _stop_child(proc)
        if self.bus is not None:
            try:
                self.bus.close_sync(None)
            except GLib.Error:
                pass  # the bus went first
        for proc in (self._watcher, self._kwin, self._dbus, self._xvfb):
            _stop_child(proc)
        for lines in (self._watcher_lines, self._kwin_lines):
            if lines is not None:
                lines.close(STOP_TIMEOUT)
        if self._kwin_lines is not None:
            with open(os.path.join(self.logs, "kwin.log"), "w") as log:
                log.write("\n".join(self._kwin_lines.lines))
        # Only now: the readers' threads may have been reading their pipes until here.
        for proc in [app.proc for app in self._apps] + [self._keyring, self._watcher, self._kwin,
                                                         self._dbus, self._xvfb]:
            for stream in (proc.stdin, proc.stdout, proc.stderr) if proc else ():
                if stream is not None:
                    stream.close()
        self._apps, self.bus, self._watcher_lines, self._kwin_lines = [], None, None, None
        self._watcher = self._dbus = self._xvfb = self._keyring = self._kwin = None
        if self.root and os.environ.get("ZANDORIN_DESKTOP_KEEP"):
            print(f"desktop session kept in {self.root}", file=sys.stderr)
        elif self.root:
            shutil.rmtree(self.root, ignore_errors=True)
        self.root = None

    def call(self, bus_name, path, interface, method, params=None):
        return self.bus.call_sync(bus_name, path, interface, method, params, None,
                                  Gio.DBusCallFlags.NO_AUTO_START, 2000, None)

    def _bus_call(self, method, name):
        return self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         method, GLib.Variant("(s)", (name,))).unpack()[0]

    def name_pid(self, name):
        return self._bus_call("GetConnectionUnixProcessID", name)

    def name_has_owner(self, name):
        return self._bus_call("NameHasOwner", name)

    def wait_for_item(self, pid, timeout=START_TIMEOUT):
        """Waits for the StatusNotifierItem registration of process `pid`."""
        def matches(line):
            try:
                return line.startswith("REGISTERED ") and self.name_pid(line.split()[1]) == pid
            except GLib.Error:
                return False  # that registrant has gone again

        if self._watcher_lines is None:
            raise HarnessError("no StatusNotifierWatcher runs")
        found = self._watcher_lines.wait_for(matches, timeout)
        if found is None:
            raise HarnessError(f"no StatusNotifierItem registered within {timeout:.0f} s")
        index, line = found
        _, bus_name, path = line.split()
        reply = self.call(bus_name, path, "org.freedesktop.DBus.Properties", "Get",
                          GLib.Variant("(ss)", (ITEM_INTERFACE, "Menu")))
        return TrayItem(bus_name, path, reply.unpack()[0], self._watcher_lines.times[index])

    def start_app(self, path, env=None, args=(), unset=()):
        """Starts `path` in this session; `env` adds variables, `unset` removes some."""
        child_env = dict(self.env, **(env or {}))
        for name in unset:
            child_env.pop(name, None)
        n = len(self._apps)
        stdout_path = os.path.join(self.logs, f"app{n}.out")
        stderr_path = os.path.join(self.logs, f"app{n}.err")
        with open(stdout_path, "wb") as out, open(stderr_path, "wb") as err:
            started_at = time.monotonic()
            proc = subprocess.Popen([path, *args], stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=err, env=child_env, cwd=self.env["HOME"])
        self._apps.append(App(self, proc, started_at, stdout_path, stderr_path))
        return self._apps[-1]

    def store_secret(self, key, value):
        """Stores an item the way the application does (label = account), from another
        process. The value travels on stdin only."""
        account = f"{SECRET_SERVICE}.{key}"
        result = subprocess.run(
            ["secret-tool", "store", f"--label={account}", "service", SECRET_SERVICE,
             "account", account],
            input=value.encode(), stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            env=self.env, timeout=START_TIMEOUT, check=False)
        if result.returncode != 0:
            raise HarnessError(f"secret-tool store failed: {result.stderr.decode().strip()}")

    def lookup_secret(self, key):
        """The stored value, or None when there is no such item."""
        result = subprocess.run(
            ["secret-tool", "lookup", "service", SECRET_SERVICE, "account",
             f"{SECRET_SERVICE}.{key}"],
            stdin=subprocess.DEVNULL, capture_output=True, env=self.env, timeout=START_TIMEOUT,
            check=False)
        return result.stdout.decode() if result.returncode == 0 else None

    def set_keyring_locked(self, locked):
        """Locks the default collection, or unlocks it with its password without a prompt."""
        service, path = "/org/freedesktop/secrets", "/org/freedesktop/secrets/aliases/default"
        if locked:
            self.call(SECRET_NAME, service, "org.freedesktop.Secret.Service", "Lock",
                      GLib.Variant("(ao)", ([path],)))
            return
        session = self.call(SECRET_NAME, service, "org.freedesktop.Secret.Service",
                            "OpenSession", GLib.Variant("(sv)", ("plain", GLib.Variant("s", ""))))
        self.call(SECRET_NAME, service,
                  "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
                  "UnlockWithMasterPassword",
                  GLib.Variant("(o(oayays))", (path, (session.unpack()[1], b"", b"pw",
                                                      "text/plain"))))

    def start_prompter(self):
        """gcr-prompter, which gnome-keyring asks to show its unlock prompt, as on a desktop."""
        with self._log("prompter.log") as log:
            proc = subprocess.Popen(["/usr/libexec/gcr-prompter"], stdin=subprocess.DEVNULL,
                                    stdout=log, stderr=log, env=self.env)
        self._apps.append(App(self, proc, time.monotonic(), log.name, log.name))
        end = time.monotonic() + START_TIMEOUT
        while not self.name_has_owner("org.gnome.keyring.SystemPrompter"):
            if time.monotonic() >= end or proc.poll() is not None:
                raise HarnessError("gcr-prompter never took its name")
            time.sleep(0.05)

    def viewable_windows(self):
        """Ids of the windows mapped on the display; under KWin, the process id and class of
        each window the compositor manages, as its scripting reports them."""
        if self.wayland:
            return self._kwin_windows()
        tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True,
                              env=self.env, timeout=START_TIMEOUT, check=True).stdout
        ids = [line.split()[0] for line in tree.splitlines() if line.strip().startswith("0x")]
        return [wid for wid in ids if "Map State: IsViewable" in subprocess.run(
            ["xwininfo", "-id", wid], capture_output=True, text=True, env=self.env,
            timeout=START_TIMEOUT, check=False).stdout]

    def _kwin_windows(self):
        self._scripts += 1
        token = f"zandorin-windows-{self._scripts}"
        path = os.path.join(self.root, token + ".js")
        with open(path, "w") as f:
            f.write(f'print("{token} " + JSON.stringify(workspace.clientList().map('
                    f'w => [w.pid, w.resourceClass])));\n')
        self.call("org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting", "loadScript",
                  GLib.Variant("(ss)", (path, token)))
        self.call("org.kde.KWin", "/Scripting", "org.kde.kwin.Scripting", "start")
        found = self._kwin_lines.wait_for(lambda line: token + " " in line, START_TIMEOUT)
        if found is None:
            raise HarnessError("KWin's scripting did not answer")
        return [tuple(w) for w in json.loads(found[1].split(token + " ", 1)[1])]
