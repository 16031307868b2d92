"""A private desktop session for tests of tray applications: in a fresh temporary home, an Xvfb
display (or KWin's Wayland compositor), a session bus of its own (no service activation), a
StatusNotifierWatcher (this file, run with --watcher) and an unlocked gnome-keyring, all stopped
again by PID with bounded waits; ZANDORIN_DESKTOP_KEEP=1 keeps its directory and logs/.
`session.py --run COMMAND...` runs COMMAND in a session without a tray (its exit status)."""

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

SECRET_SERVICE = "com.zandorin.auth"
SECRET_NAME = "org.freedesktop.secrets"
WATCHER_NAME = "org.kde.StatusNotifierWatcher"
ITEM_INTERFACE = "org.kde.StatusNotifierItem"
MENU_INTERFACE = "com.canonical.dbusmenu"
START_TIMEOUT = 10.0
STOP_TIMEOUT = 5.0
BUS_FLAGS = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
             | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
# All a child takes from the caller's environment: nothing that leads to the developer's own
# desktop, bus, keyring or proxy.
KEPT_VARIABLES = ("PATH", "LANG", "LC_ALL", "TZ", "TMPDIR", "USER", "LOGNAME", "XDG_DATA_DIRS",
                  "ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS")
BUS_CONFIG = """<busconfig><type>session</type><keep_umask/><listen>unix:path={}</listen>
  <auth>EXTERNAL</auth><policy context="default"><allow send_destination="*" eavesdrop="true"/>
  <allow eavesdrop="true"/><allow own="*"/></policy></busconfig>"""
WATCHER_XML = f"""<node><interface name="{WATCHER_NAME}">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
  <property name="ProtocolVersion" type="i" access="read"/>
  <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal></interface></node>"""


class MenuEntry(NamedTuple):
    type: str  # "standard" or "separator"
    label: str  # as sent: mnemonics in dbusmenu form ("_"), leading spaces kept
    enabled: bool
    visible: bool
    shortcut: Optional[tuple]  # e.g. (("Control", "q"),), None when absent


def entry(label, enabled=True, shortcut=None, visible=True):
    return MenuEntry("standard", label, enabled, visible, shortcut)


SEPARATOR = MenuEntry("separator", "", True, True, None)


class TrayItem(NamedTuple):
    bus_name: str
    path: str
    menu_path: str
    registered_at: float  # time.monotonic() at which the watcher reported it


def stop_child(proc):
    """SIGTERM, then SIGKILL, each wait bounded."""
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(STOP_TIMEOUT)


def poll_until(done, what, proc=None, timeout=START_TIMEOUT):
    end = time.monotonic() + timeout
    while not done():
        if time.monotonic() >= end or (proc and proc.poll() is not None):
            raise RuntimeError(f"{what} did not come")
        time.sleep(0.05)


class LineReader:
    """A child's output lines, collected on a thread so that waits can be bounded."""

    def __init__(self, stream):
        self.lines, self.times, self.closed = [], [], False  # times: when each line came
        self.thread = threading.Thread(target=self._run, args=(stream,), daemon=True)
        self.thread.start()

    def _run(self, stream):
        for raw in stream:
            self.times.append(time.monotonic())
            self.lines.append(raw.decode(errors="replace").rstrip("\n"))
        self.closed = True
        stream.close()

    def wait_for(self, predicate, timeout=START_TIMEOUT, start=0):
        """(index, line) of the first line at or after `start` matching, or None."""
        end = time.monotonic() + timeout
        while True:
            closed, count = self.closed, len(self.lines)
            for index in range(start, count):
                if predicate(self.lines[index]):
                    return index, self.lines[index]
            if closed or time.monotonic() >= end:
                return None
            start = count
            time.sleep(0.01)


class EventProcess:
    """A child that reports JSON lines with an "event" member on stdout and takes lines on
    stdin; the end of its input ends it. Every wait is bounded by `step` seconds."""

    def __init__(self, argv, env, step, ready="ready"):
        self.step = step
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     env=env)
        self.out = LineReader(self.proc.stdout)
        self.expect(ready)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    def send_line(self, line):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()

    def events(self, kind):
        return [e for e in map(json.loads, list(self.out.lines)) if e["event"] == kind]

    def expect(self, kind, start=0):
        """(index, event) of the first `kind` event at or after line `start`."""
        found = self.out.wait_for(lambda line: json.loads(line)["event"] == kind, self.step,
                                  start)
        if found is None:
            raise AssertionError(f"no {kind!r} event after line {start} in {self.out.lines!r}")
        return found[0], json.loads(found[1])

    def ask(self, kind, **command):
        """Sends a command and waits for the first `kind` event after it."""
        start = len(self.out.lines)
        self.send_line(json.dumps(command))
        return self.expect(kind, start)[1]

    def wait_for(self, kind, count=1, timeout=None):
        """The `kind` events once there are `count` of them, or those there are in time."""
        self.out.wait_for(lambda _: len(self.events(kind)) >= count, timeout or self.step)
        return self.events(kind)

    def stop(self):
        if not self.proc.stdin.closed:
            self.proc.stdin.close()
        try:
            self.proc.wait(self.step)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(self.step)
        return self.proc.returncode


def _flatten(node, out):
    for child_id, props, children in node[2]:
        shortcut = props.get("shortcut")
        out.append((child_id, MenuEntry(
            props.get("type", "standard"), props.get("label", ""), props.get("enabled", True),
            props.get("visible", True), tuple(map(tuple, shortcut)) if shortcut else None)))
        _flatten((child_id, props, children), out)


class App:
    """An application started inside a session; stdout and stderr go to files."""

    def __init__(self, session, argv, env):
        self.session, self.item = session, None
        self._logs = [os.path.join(session.logs, f"app{len(session.apps)}.{s}")
                      for s in ("out", "err")]
        with open(self._logs[0], "wb") as out, open(self._logs[1], "wb") as err:
            self.started_at = time.monotonic()
            self.proc = subprocess.Popen(argv, stdin=subprocess.DEVNULL, stdout=out, stderr=err,
                                         env=env, cwd=env["HOME"])
        self.pid = self.proc.pid

    def poll(self):
        return self.proc.poll()

    def wait(self, timeout):
        """Exit status, or None if the process is still running after `timeout` seconds."""
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stdout(self):
        with open(self._logs[0], encoding="utf-8", errors="replace") as f:
            return f.read()

    def stderr(self):
        with open(self._logs[1], encoding="utf-8", errors="replace") as f:
            return f.read()

    def wait_for_item(self, timeout=START_TIMEOUT):
        """The StatusNotifierItem this process registered with the watcher."""
        self.item = self.item or self.session.wait_for_item(self.pid, timeout)
        return self.item

    def item_properties(self):
        item = self.wait_for_item()
        return self.session.call(item.bus_name, item.path, "org.freedesktop.DBus.Properties",
                                 "GetAll", GLib.Variant("(s)", (ITEM_INTERFACE,))).unpack()[0]

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
        while True:
            try:
                layout = self.menu_layout()
            except GLib.Error:
                layout = None  # not exported yet
            if layout == list(expected) or time.monotonic() >= end or self.poll() is not None:
                return layout
            time.sleep(0.05)

    def click(self, label):
        """Sends dbusmenu "clicked" to the one entry with exactly this label."""
        matches = [i for i, e in self.menu_layout(with_ids=True) if e.label == label]
        if len(matches) != 1:
            raise RuntimeError(f"{len(matches)} menu entries labelled {label!r}")
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
        self.wayland = wayland
        self.root = tempfile.mkdtemp(prefix="zandorin-desktop-")
        self.apps, self._daemons, self.bus, self._watcher = [], [], None, None
        try:
            self._start(keyring, watcher)
        except BaseException:
            self.__exit__()
            raise

    def __enter__(self):
        return self

    def _start(self, keyring, watcher):
        home, runtime, self.logs = (os.path.join(self.root, d) for d in ("home", "run", "logs"))
        for path in (home, runtime, self.logs):
            os.mkdir(path, 0o700)
        self.env = {k: os.environ[k] for k in KEPT_VARIABLES if k in os.environ}
        self.env.update(HOME=home, XDG_RUNTIME_DIR=runtime, NO_AT_BRIDGE="1",
                        XDG_DATA_HOME=os.path.join(home, ".local", "share"),
                        XDG_CONFIG_HOME=os.path.join(home, ".config"),
                        XDG_CACHE_HOME=os.path.join(home, ".cache"))
        self.env.setdefault("LANG", "C.UTF-8")
        if not self.wayland:
            xvfb = self._spawn("xvfb", ["Xvfb", "-nolisten", "tcp", "-screen", "0", "1024x768x24",
                                        "-displayfd", "1"], piped=True)
            self.env.update(DISPLAY=":" + self._first_line(xvfb), QT_QPA_PLATFORM="xcb")
        with open(os.path.join(self.root, "bus.conf"), "w") as f:
            f.write(BUS_CONFIG.format(os.path.join(runtime, "bus")))
        dbus = self._spawn("dbus", ["dbus-daemon", "--config-file=" + f.name, "--nofork",
                                    "--nopidfile", "--print-address"], piped=True)
        self.bus_address = self.env["DBUS_SESSION_BUS_ADDRESS"] = self._first_line(dbus)
        self.bus = Gio.DBusConnection.new_for_address_sync(self.bus_address, BUS_FLAGS, None, None)
        self.bus.set_exit_on_close(False)
        if self.wayland:
            # kwin_wayland carries a file capability (CAP_SYS_RESOURCE), which containers
            # without it refuse to exec; a plain copy is the same program without it.
            kwin = self._spawn("kwin", [shutil.copy("/usr/bin/kwin_wayland", self.root),
                                        "--virtual", "--no-lockscreen", "--socket", "wayland-0",
                                        "--width", "1024", "--height", "768"])
            poll_until(lambda: os.path.exists(os.path.join(runtime, "wayland-0"))
                       and self.name_has_owner("org.kde.KWin"), "kwin_wayland", kwin)
            self.env.update(WAYLAND_DISPLAY="wayland-0", QT_QPA_PLATFORM="wayland")
        if watcher:
            self.start_watcher()
        if keyring:
            daemon = self._spawn("keyring", ["gnome-keyring-daemon", "--foreground", "--unlock",
                                             "--components=secrets"], stdin=subprocess.PIPE)
            daemon.stdin.write(b"pw")  # unlocks the login keyring it creates
            daemon.stdin.close()
            poll_until(lambda: self.name_has_owner(SECRET_NAME), "gnome-keyring", daemon)

    def _spawn(self, name, argv, piped=False, stdin=subprocess.DEVNULL):
        """A daemon stopped with the session, its output in logs/<name>.log unless `piped`,
        where a LineReader (proc.lines) takes its stdout."""
        with open(os.path.join(self.logs, name + ".log"), "ab") as log:
            proc = subprocess.Popen(argv, stdin=stdin, stdout=subprocess.PIPE if piped else log,
                                    stderr=log, env=self.env)
        proc.lines = LineReader(proc.stdout) if piped else None
        self._daemons.append(proc)
        return proc

    @staticmethod
    def _first_line(daemon):
        """What a daemon reports on stdout once it is ready (its display, its address)."""
        found = daemon.lines.wait_for(lambda line: True)
        if found is None:
            raise RuntimeError(f"{daemon.args[0]} did not start")
        return found[1]

    def start_watcher(self):
        self._watcher = self._spawn("watcher", ["/usr/bin/python3", os.path.abspath(__file__),
                                                "--watcher"], piped=True)
        if self._watcher.lines.wait_for(lambda line: line == "READY") is None:
            raise RuntimeError("the StatusNotifierWatcher did not take its name")

    def stop_watcher(self):
        stop_child(self._watcher)

    def __exit__(self, *exc):
        for proc in [app.proc for app in self.apps]:
            stop_child(proc)
        if self.bus is not None:
            try:
                self.bus.close_sync(None)
            except GLib.Error:
                pass  # the bus went first
        for proc in reversed(self._daemons):
            stop_child(proc)
            if proc.lines:
                proc.lines.thread.join(STOP_TIMEOUT)
        if os.environ.get("ZANDORIN_DESKTOP_KEEP"):
            print(f"desktop session kept in {self.root}", file=sys.stderr)
        else:
            shutil.rmtree(self.root, ignore_errors=True)

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

        found = self._watcher.lines.wait_for(matches, timeout) if self._watcher else None
        if found is None:
            raise RuntimeError(f"no StatusNotifierItem registered within {timeout:.0f} s")
        _, bus_name, path = found[1].split()
        menu = self.call(bus_name, path, "org.freedesktop.DBus.Properties", "Get",
                         GLib.Variant("(ss)", (ITEM_INTERFACE, "Menu"))).unpack()[0]
        return TrayItem(bus_name, path, menu, self._watcher.lines.times[found[0]])

    def start_app(self, path, env=None, args=(), unset=()):
        """Starts `path` in this session; `env` adds variables, `unset` removes some."""
        env = {k: v for k, v in dict(self.env, **(env or {})).items() if k not in unset}
        self.apps.append(App(self, [path, *args], env))
        return self.apps[-1]

    def store_secret(self, key, value):
        """Stores an item the way the application does (label = account), from another
        process. The value travels on stdin only."""
        account = f"{SECRET_SERVICE}.{key}"
        subprocess.run(["secret-tool", "store", f"--label={account}", "service", SECRET_SERVICE,
                        "account", account], input=value.encode(), env=self.env,
                       timeout=START_TIMEOUT, check=True)

    def lookup_secret(self, key):
        """The stored value, or None when there is no such item; two of them are an error."""
        found = subprocess.run(["secret-tool", "search", "--all", "service", SECRET_SERVICE,
                                "account", f"{SECRET_SERVICE}.{key}"], capture_output=True,
                               text=True, env=self.env, timeout=START_TIMEOUT).stdout
        values = [line[9:] for line in found.splitlines() if line.startswith("secret = ")]
        if len(values) > 1:
            raise RuntimeError(f"{len(values)} keyring items for {key}")
        return values[0] if values else None

    def set_keyring_locked(self, locked):
        """Locks the default collection, or unlocks it with its password without a prompt."""
        service, path = "/org/freedesktop/secrets", "/org/freedesktop/secrets/aliases/default"
        if locked:
            self.call(SECRET_NAME, service, "org.freedesktop.Secret.Service", "Lock",
                      GLib.Variant("(ao)", ([path],)))
            return
        session = self.call(SECRET_NAME, service, "org.freedesktop.Secret.Service",
                            "OpenSession", GLib.Variant("(sv)", ("plain", GLib.Variant("s", ""))))
        self.call(SECRET_NAME, service, "org.gnome.keyring.InternalUnsupportedGuiltRiddenInterface",
                  "UnlockWithMasterPassword", GLib.Variant(
                      "(o(oayays))", (path, (session.unpack()[1], b"", b"pw", "text/plain"))))

    def start_prompter(self):
        """gcr-prompter, which gnome-keyring asks to show its unlock prompt, as on a desktop."""
        proc = self._spawn("prompter", ["/usr/libexec/gcr-prompter"])
        poll_until(lambda: self.name_has_owner("org.gnome.keyring.SystemPrompter"),
                   "gcr-prompter", proc)

    def viewable_windows(self):
        """Ids of the windows mapped on the X display."""
        def xwininfo(*args):
            return subprocess.run(["xwininfo", *args], capture_output=True, text=True,
                                  env=self.env, timeout=START_TIMEOUT).stdout
        ids = [line.split()[0] for line in xwininfo("-root", "-tree").splitlines()
               if line.strip().startswith("0x")]
        return [wid for wid in ids if "Map State: IsViewable" in xwininfo("-id", wid)]


def _watch():
    """The StatusNotifierWatcher: "READY", then "REGISTERED <bus name> <path>" per item."""
    bus = Gio.DBusConnection.new_for_address_sync(os.environ["DBUS_SESSION_BUS_ADDRESS"],
                                                  BUS_FLAGS, None, None)
    items = []  # "<bus name><path>", as KDE's watcher spells an item

    def on_call(connection, sender, path, interface, method, params, invocation):
        (argument,) = params.unpack()
        # A bus name (the object at the well-known path) or a path on the caller's connection.
        service, item = (sender, argument) if argument.startswith("/") else \
            (argument, "/StatusNotifierItem")
        if service + item not in items:
            items.append(service + item)
            print(f"REGISTERED {service} {item}", flush=True)
            connection.emit_signal(None, "/StatusNotifierWatcher", WATCHER_NAME,
                                   "StatusNotifierItemRegistered",
                                   GLib.Variant("(s)", (service + item,)))
        invocation.return_value(None)

    def on_get_property(connection, sender, path, interface, name):
        # We are the host as far as applications can tell.
        return {"RegisteredStatusNotifierItems": GLib.Variant("as", items),
                "IsStatusNotifierHostRegistered": GLib.Variant("b", True),
                "ProtocolVersion": GLib.Variant("i", 0)}.get(name)

    bus.register_object("/StatusNotifierWatcher",
                        Gio.DBusNodeInfo.new_for_xml(WATCHER_XML).interfaces[0], on_call,
                        on_get_property, None)
    loop = GLib.MainLoop()
    Gio.bus_own_name_on_connection(bus, WATCHER_NAME, Gio.BusNameOwnerFlags.DO_NOT_QUEUE,
                                   lambda *_: print("READY", flush=True), lambda *_: loop.quit())
    GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signal.SIGTERM, loop.quit)
    loop.run()


def _run(argv):
    """Runs a command in a session without a tray; a keyring daemon the command started in
    place of the session's is stopped too."""
    with DesktopSession(watcher=False) as session:
        status = subprocess.run(argv, env=session.env, check=False).returncode
        try:
            pid = session.name_pid(SECRET_NAME)
            if pid > 1 and pid not in [d.pid for d in session._daemons]:
                os.kill(pid, signal.SIGCONT)
                os.kill(pid, signal.SIGTERM)
        except (GLib.Error, ProcessLookupError):
            pass  # no keyring runs
    return status


if __name__ == "__main__":
    if sys.argv[1:] == ["--watcher"]:
        _watch()
    elif sys.argv[1:2] == ["--run"] and len(sys.argv) > 2:
        sys.exit(_run(sys.argv[2:]))
    else:
        sys.exit(__doc__)
