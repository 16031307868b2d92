"""A private desktop session for end-to-end tests of tray applications.

`DesktopSession` starts, in a fresh temporary home, an Xvfb display, a session bus of its own
(no service activation, so nothing starts behind our back), a StatusNotifierWatcher and an
unlocked gnome-keyring, and stops exactly those processes again, by PID, with bounded waits.
Applications started through it get an environment that points only at these.

Run with /usr/bin/python3: the harness needs gi (Gio) from Debian's python3-gi.

    with DesktopSession() as session:
        session.store_secret("access_token", token)      # before the app starts
        app = session.start_app(path, env={"ZANDORIN_AUTH_INFO_PLIST": plist})
        app.wait_for_item()                               # registered with the watcher
        layout = app.wait_for_layout(expected)            # polls dbusmenu GetLayout
        app.click("結束")
        status = app.wait(10)

Set ZANDORIN_DESKTOP_KEEP=1 to keep the session's directory (logs/ holds every process's
output) for a look after the run.
"""

import ctypes
import os
import select
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

HERE = os.path.dirname(os.path.abspath(__file__))
WATCHER_SCRIPT = os.path.join(HERE, "sni_watcher.py")
PYTHON = "/usr/bin/python3"

SECRET_SERVICE = "com.zandorin.auth"
SECRET_NAME = "org.freedesktop.secrets"
ITEM_INTERFACE = "org.kde.StatusNotifierItem"
MENU_INTERFACE = "com.canonical.dbusmenu"

START_TIMEOUT = 10.0
STOP_TIMEOUT = 5.0
CALL_TIMEOUT_MS = 2000

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
    """Shorthand for expected layouts."""
    return MenuEntry("standard", label, enabled, visible, shortcut)


SEPARATOR = MenuEntry("separator", "", True, True, None)


def _deadline(timeout):
    return time.monotonic() + timeout


def _read_line_from_fd(fd, timeout, what):
    """Reads one line written by a child to a pipe, giving up after `timeout` seconds."""
    data = b""
    end = _deadline(timeout)
    while not data.endswith(b"\n"):
        left = end - time.monotonic()
        if left <= 0:
            raise HarnessError(f"{what}: nothing within {timeout:.0f} s")
        ready, _, _ = select.select([fd], [], [], left)
        if not ready:
            continue
        chunk = os.read(fd, 256)
        if not chunk:
            raise HarnessError(f"{what}: closed its pipe without answering")
        data += chunk
    return data.decode().strip()


def _stop_child(proc, timeout=STOP_TIMEOUT):
    """SIGTERM, then SIGKILL, each wait bounded. Returns the exit status or None."""
    if proc is None:
        return None
    if proc.poll() is None:
        try:
            proc.send_signal(signal.SIGTERM)
            return proc.wait(timeout)
        except subprocess.TimeoutExpired:
            proc.kill()
            try:
                return proc.wait(timeout)
            except subprocess.TimeoutExpired:
                return None
    return proc.returncode


def _become_subreaper():
    """Daemons that detach from us (gnome-keyring) are re-parented to this process rather
    than to init, so that we can reap them once stopped instead of leaving zombies."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0)  # PR_SET_CHILD_SUBREAPER
    except (OSError, AttributeError):
        pass


def _pid_alive(pid):
    try:
        with open(f"/proc/{pid}/stat") as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
    except (FileNotFoundError, ProcessLookupError, IndexError):
        return False
    if state != "Z":
        return True
    try:
        os.waitpid(pid, os.WNOHANG)  # ours when we are its subreaper
    except ChildProcessError:
        pass
    return False


def _stop_pid(pid, timeout=STOP_TIMEOUT):
    """Stops a process that is not our child (a daemon that detached from us)."""
    for sig in (signal.SIGTERM, signal.SIGKILL):
        try:
            os.kill(pid, sig)
        except ProcessLookupError:
            return
        end = _deadline(timeout)
        while time.monotonic() < end:
            if not _pid_alive(pid):
                return
            time.sleep(0.02)


class LineReader:
    """Collects a child's stdout lines on a thread so that waits can be bounded."""

    def __init__(self, stream):
        self.lines = []
        self.times = []  # time.monotonic() at which each line arrived
        self._cond = threading.Condition()
        self._closed = False
        self._stream = stream
        self._thread = threading.Thread(target=self._run, args=(stream,), daemon=True)
        self._thread.start()

    def _run(self, stream):
        for raw in stream:
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
        """Returns (index, line) of the first line at or after `start` matching, or None."""
        end = _deadline(timeout)
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


class TrayItem(NamedTuple):
    bus_name: str
    path: str
    menu_path: str
    registered_at: float  # time.monotonic() at which the watcher reported it


def _flatten(node, out):
    _id, _props, children = node
    for child in children:
        child_id, props, _grandchildren = child
        shortcut = props.get("shortcut")
        out.append((child_id, MenuEntry(
            type=props.get("type", "standard"),
            label=props.get("label", ""),
            enabled=props.get("enabled", True),
            visible=props.get("visible", True),
            shortcut=tuple(tuple(keys) for keys in shortcut) if shortcut else None,
        )))
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

    # -- process ---------------------------------------------------------------------------
    def poll(self):
        return self.proc.poll()

    def wait(self, timeout):
        """Exit status, or None if the process is still running after `timeout` seconds."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stop(self):
        return _stop_child(self.proc)

    def stdout(self):
        with open(self.stdout_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    def stderr(self):
        with open(self.stderr_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    # -- tray ------------------------------------------------------------------------------
    def wait_for_item(self, timeout=START_TIMEOUT):
        """The StatusNotifierItem this process registered with the watcher."""
        if self.item is None:
            self.item = self.session.wait_for_item(pid=self.pid, timeout=timeout)
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
        _revision, root = reply.unpack()
        out = []
        _flatten(root, out)
        return out if with_ids else [e for _, e in out]

    def wait_for_layout(self, expected=None, timeout=START_TIMEOUT, interval=0.05, settle=0.3):
        """Polls GetLayout until it equals `expected`, or (without one) until it is non-empty
        and unchanged for `settle` seconds. Returns the last layout read, so that a caller's
        assertion shows what was there when the time ran out."""
        end = _deadline(timeout)
        last, since = None, None
        while True:
            try:
                layout = self.menu_layout()
            except GLib.Error:
                layout = None  # not exported yet, or busy
            now = time.monotonic()
            if layout != last:
                last, since = layout, now
            if expected is not None:
                if layout == list(expected):
                    return layout
            elif layout and now - since >= settle:
                return layout
            if now >= end or self.poll() is not None:
                return last if last is not None else []
            time.sleep(interval)

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
    def __init__(self, keyring=True, keyring_password="pw", screen="1024x768x24"):
        self.want_keyring = keyring
        self.keyring_password = keyring_password
        self.screen = screen
        self.root = None
        self.env = None
        self.display = None
        self.bus_address = None
        self.bus = None
        self._xvfb = None
        self._dbus = None
        self._watcher = None
        self._watcher_lines = None
        self._keyring_pid = None
        self._apps = []
        self.logs = None

    # -- lifecycle -------------------------------------------------------------------------
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
        os.chmod(dirs["runtime"], 0o700)

        env = {k: v for k, v in os.environ.items()
               if k not in _SESSION_VARS and not k.startswith(("GNOME_", "KDE_"))}
        env.update({
            "HOME": dirs["home"],
            "XDG_DATA_HOME": dirs["data"],
            "XDG_CONFIG_HOME": dirs["config"],
            "XDG_CACHE_HOME": dirs["cache"],
            "XDG_RUNTIME_DIR": dirs["runtime"],
            "LANG": env.get("LANG") or "C.UTF-8",
            "NO_AT_BRIDGE": "1",
        })
        self.env = env
        self.logs = dirs["logs"]

        self._start_xvfb()
        self._start_bus()
        self._start_watcher()
        if self.want_keyring:
            self._start_keyring()

    def _log(self, name):
        return open(os.path.join(self.logs, name), "wb")

    def _start_xvfb(self):
        read_fd, write_fd = os.pipe()
        try:
            with self._log("xvfb.log") as log:
                self._xvfb = subprocess.Popen(
                    ["Xvfb", "-displayfd", str(write_fd), "-nolisten", "tcp",
                     "-screen", "0", self.screen],
                    pass_fds=(write_fd,), stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                    env=self.env)
            os.close(write_fd)
            write_fd = -1
            number = _read_line_from_fd(read_fd, START_TIMEOUT, "Xvfb")
        finally:
            os.close(read_fd)
            if write_fd >= 0:
                os.close(write_fd)
        self.display = ":" + number
        self.env["DISPLAY"] = self.display
        self.env["QT_QPA_PLATFORM"] = "xcb"

    def _start_bus(self):
        config = os.path.join(self.root, "bus.conf")
        with open(config, "w") as f:
            f.write(_BUS_CONFIG.format(socket=os.path.join(self.env["XDG_RUNTIME_DIR"], "bus")))
        read_fd, write_fd = os.pipe()
        try:
            with self._log("dbus.log") as log:
                self._dbus = subprocess.Popen(
                    ["dbus-daemon", "--config-file=" + config, "--nofork", "--nopidfile",
                     f"--print-address={write_fd}"],
                    pass_fds=(write_fd,), stdin=subprocess.DEVNULL, stdout=log, stderr=log,
                    env=self.env)
            os.close(write_fd)
            write_fd = -1
            self.bus_address = _read_line_from_fd(read_fd, START_TIMEOUT, "dbus-daemon")
        finally:
            os.close(read_fd)
            if write_fd >= 0:
                os.close(write_fd)
        self.env["DBUS_SESSION_BUS_ADDRESS"] = self.bus_address
        flags = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
                 | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
        self.bus = Gio.DBusConnection.new_for_address_sync(self.bus_address, flags, None, None)
        self.bus.set_exit_on_close(False)

    def _start_watcher(self):
        with self._log("sni_watcher.err") as err:
            self._watcher = subprocess.Popen(
                [PYTHON, WATCHER_SCRIPT, self.bus_address], stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE, stderr=err, env=self.env)
        self._watcher_lines = LineReader(self._watcher.stdout)
        found = self._watcher_lines.wait_for(lambda line: line in ("READY", "LOST"),
                                             START_TIMEOUT)
        if found is None or found[1] != "READY":
            raise HarnessError("the StatusNotifierWatcher did not take its name")

    def _start_keyring(self):
        _become_subreaper()
        # --unlock forks the daemon and returns before the daemon owns its name.
        with self._log("keyring.log") as log:
            try:
                subprocess.run(
                    ["gnome-keyring-daemon", "--unlock", "--components=secrets"],
                    input=self.keyring_password.encode(), stdout=log, stderr=log, env=self.env,
                    timeout=START_TIMEOUT, check=False)
            except subprocess.TimeoutExpired:
                raise HarnessError("gnome-keyring-daemon --unlock did not return") from None
        if not self._wait_for_name(SECRET_NAME, START_TIMEOUT):
            raise HarnessError("gnome-keyring never took org.freedesktop.secrets")
        self._keyring_pid = self.name_pid(SECRET_NAME)

    def _stop(self):
        for app in self._apps:
            _stop_child(app.proc)
        self._apps = []
        if self._keyring_pid:
            _stop_pid(self._keyring_pid)
            self._keyring_pid = None
        if self.bus is not None:
            try:
                self.bus.close_sync(None)
            except GLib.Error:
                pass
            self.bus = None
        for attr in ("_watcher", "_dbus", "_xvfb"):
            _stop_child(getattr(self, attr))
        self._watcher = self._dbus = self._xvfb = None
        if self._watcher_lines is not None:
            self._watcher_lines.close(STOP_TIMEOUT)
            self._watcher_lines = None
        if self.root and not os.environ.get("ZANDORIN_DESKTOP_KEEP"):
            shutil.rmtree(self.root, ignore_errors=True)
        elif self.root:
            print(f"desktop session kept in {self.root}", file=sys.stderr)
        self.root = None

    # -- bus -------------------------------------------------------------------------------
    def call(self, bus_name, path, interface, method, params=None, timeout_ms=CALL_TIMEOUT_MS):
        return self.bus.call_sync(bus_name, path, interface, method, params, None,
                                  Gio.DBusCallFlags.NO_AUTO_START, timeout_ms, None)

    def _bus_call(self, method, *args, signature="(s)"):
        return self.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", method, GLib.Variant(signature, args)).unpack()[0]

    def name_pid(self, name):
        return self._bus_call("GetConnectionUnixProcessID", name)

    def name_has_owner(self, name):
        return self._bus_call("NameHasOwner", name)

    def _wait_for_name(self, name, timeout):
        end = _deadline(timeout)
        while time.monotonic() < end:
            if self.name_has_owner(name):
                return True
            time.sleep(0.05)
        return False

    def registered_items(self):
        reply = self.call("org.kde.StatusNotifierWatcher", "/StatusNotifierWatcher",
                          "org.freedesktop.DBus.Properties", "Get",
                          GLib.Variant("(ss)", ("org.kde.StatusNotifierWatcher",
                                                "RegisteredStatusNotifierItems")))
        return list(reply.unpack()[0])

    def wait_for_item(self, pid=None, timeout=START_TIMEOUT):
        """Waits for a StatusNotifierItem registration (by `pid` when given)."""
        def matches(line):
            if not line.startswith("REGISTERED "):
                return False
            if pid is None:
                return True
            try:
                return self.name_pid(line.split()[1]) == pid
            except GLib.Error:
                return False  # that registrant has gone again

        found = self._watcher_lines.wait_for(matches, timeout)
        if found is None:
            raise HarnessError(f"no StatusNotifierItem registered within {timeout:.0f} s")
        index, line = found
        _, bus_name, path = line.split()
        reply = self.call(bus_name, path, "org.freedesktop.DBus.Properties", "Get",
                          GLib.Variant("(ss)", (ITEM_INTERFACE, "Menu")))
        return TrayItem(bus_name, path, reply.unpack()[0], self._watcher_lines.times[index])

    # -- processes -------------------------------------------------------------------------
    def start_app(self, path, env=None, args=(), unset=()):
        """Starts `path` in this session. `env` adds or overrides variables; names in `unset`
        are removed (e.g. DISPLAY, to start without a display)."""
        child_env = dict(self.env)
        child_env.update(env or {})
        for name in unset:
            child_env.pop(name, None)
        n = len(self._apps)
        stdout_path = os.path.join(self.logs, f"app{n}.out")
        stderr_path = os.path.join(self.logs, f"app{n}.err")
        with open(stdout_path, "wb") as out, open(stderr_path, "wb") as err:
            started_at = time.monotonic()
            proc = subprocess.Popen([path, *args], stdin=subprocess.DEVNULL, stdout=out,
                                    stderr=err, env=child_env, cwd=self.env["HOME"])
        app = App(self, proc, started_at, stdout_path, stderr_path)
        self._apps.append(app)
        return app

    # -- keyring ---------------------------------------------------------------------------
    @staticmethod
    def _account(key):
        return key if key.startswith(SECRET_SERVICE + ".") else f"{SECRET_SERVICE}.{key}"

    def store_secret(self, key, value):
        """Stores an item the way the application does (label = account), from another
        process. The value travels on stdin only."""
        account = self._account(key)
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
            ["secret-tool", "lookup", "service", SECRET_SERVICE, "account", self._account(key)],
            stdin=subprocess.DEVNULL, capture_output=True, env=self.env, timeout=START_TIMEOUT,
            check=False)
        return result.stdout.decode() if result.returncode == 0 else None

    def clear_secret(self, key):
        subprocess.run(
            ["secret-tool", "clear", "service", SECRET_SERVICE, "account", self._account(key)],
            stdin=subprocess.DEVNULL, capture_output=True, env=self.env, timeout=START_TIMEOUT,
            check=False)

    # -- display ---------------------------------------------------------------------------
    def viewable_windows(self):
        """Ids of the windows mapped on the display, or None without xwininfo (x11-utils)."""
        if shutil.which("xwininfo") is None:
            return None
        tree = subprocess.run(["xwininfo", "-root", "-tree"], capture_output=True, text=True,
                              env=self.env, timeout=START_TIMEOUT, check=True).stdout
        ids = [line.split()[0] for line in tree.splitlines()
               if line.strip().startswith("0x")]
        viewable = []
        for wid in ids:
            info = subprocess.run(["xwininfo", "-id", wid], capture_output=True, text=True,
                                  env=self.env, timeout=START_TIMEOUT, check=False).stdout
            if "Map State: IsViewable" in info:
                viewable.append(wid)
        return viewable
