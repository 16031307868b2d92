"""A private desktop session for tests of tray applications (DesktopSession): a fresh home, a
session bus, an unlocked gnome-keyring and a panel. ZANDORIN_DESKTOP_KEEP=1 keeps its directory and
logs/. `session.py --run [--system-bus] COMMAND...` runs COMMAND in one without a tray."""

import json
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

SECRET_SERVICE = "com.zandorin.auth"
SECRET_NAME = "org.freedesktop.secrets"
WATCHER_NAME = "org.kde.StatusNotifierWatcher"
ITEM_INTERFACE = "org.kde.StatusNotifierItem"
MENU_INTERFACE = "com.canonical.dbusmenu"
PROPERTIES = "org.freedesktop.DBus.Properties"
START_TIMEOUT = 10.0
STOP_TIMEOUT = 5.0
BUS_FLAGS = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
             | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
# All a child takes from the caller's environment: nothing that leads to the developer's own
# desktop, bus, keyring or proxy.
KEPT_VARIABLES = ("PATH", "LANG", "LC_ALL", "TZ", "TMPDIR", "USER", "LOGNAME", "XDG_DATA_DIRS",
                  "ASAN_OPTIONS", "LSAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS")
BUS_CONFIG = """<busconfig><type>{}</type><keep_umask/><listen>unix:path={}</listen>
  <auth>EXTERNAL</auth><policy context="default"><allow send_destination="*" eavesdrop="true"/>
  <allow eavesdrop="true"/><allow own="*"/></policy></busconfig>"""
WATCHER_XML = f"""<node><interface name="{WATCHER_NAME}">
  <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
  <property name="IsStatusNotifierHostRegistered" type="b" access="read"/></interface></node>"""
APPINDICATOR = "ubuntu-appindicators@ubuntu.com"  # Debian's gnome-shell-extension-appindicator
SHELL_START_TIMEOUT = 60.0  # a first start compiles its shaders and styles on a busy machine
NOTIFICATIONS = "org.freedesktop.Notifications"
NOTIFICATIONS_PATH = "/org/freedesktop/Notifications"
NOTIFICATIONS_XML = f"""<node><interface name="{NOTIFICATIONS}">
  <method name="GetCapabilities"><arg direction="out" type="as"/></method>
  <method name="GetServerInformation"><arg direction="out" type="s"/>
    <arg direction="out" type="s"/><arg direction="out" type="s"/><arg direction="out" type="s"/>
  </method>
  <method name="Notify"><arg type="s"/><arg type="u"/><arg type="s"/><arg type="s"/>
    <arg type="s"/><arg type="as"/><arg type="a{{sv}}"/><arg type="i"/>
    <arg direction="out" type="u"/></method></interface></node>"""
NOTIFY_ARGS = ("app_name", "replaces_id", "app_icon", "summary", "body", "actions", "hints",
               "expire_timeout")


class MenuEntry(NamedTuple):
    type: str  # "standard" or "separator"
    label: str  # as sent: mnemonics in dbusmenu form ("_"), leading spaces kept
    enabled: bool
    visible: bool
    shortcut: Optional[tuple]  # e.g. (("Control", "q"),), None when absent


def entry(label, enabled=True, shortcut=None):
    return MenuEntry("standard", label, enabled, True, shortcut)


SEPARATOR = MenuEntry("separator", "", True, True, None)


class TrayItem(NamedTuple):
    bus_name: str
    path: str
    menu_path: str
    registered_at: float  # time.monotonic() at which the watcher took it


def stop_child(proc):
    if proc.poll() is None:
        proc.send_signal(signal.SIGTERM)
        try:
            proc.wait(STOP_TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.wait(STOP_TIMEOUT)


def wait_until(predicate, timeout=START_TIMEOUT, interval=0.05):
    """The predicate's first true value, or its last value once the time is up."""
    end = time.monotonic() + timeout
    while not (value := predicate()) and time.monotonic() < end:
        time.sleep(interval)
    return value


def first_line(proc, timeout=START_TIMEOUT):
    """What a child reports on stdout once it is ready (its display, address or port)."""
    line = select.select([proc.stdout], [], [], timeout)[0] and proc.stdout.readline()
    if not line:
        raise RuntimeError(f"{proc.args[0]} did not start")
    return line.decode().rstrip("\n")


class BusService:
    """A D-Bus service of the tests' own, in this process: a connection of its own to the bus
    at `address`, whose calls a thread of its own answers through on_call() and get_property().
    It records what it saw as dicts with "event" and "time" (time.monotonic())."""

    def __init__(self, address, name, xml, path):
        self.log = []
        self.bus = Gio.DBusConnection.new_for_address_sync(address, BUS_FLAGS, None, None)
        self.bus.set_exit_on_close(False)
        context = GLib.MainContext.new()
        context.push_thread_default()  # where the connection dispatches the calls
        for info in Gio.DBusNodeInfo.new_for_xml(xml).interfaces:
            self.bus.register_object(path, info, self.on_call, self.get_property, None)
        context.pop_thread_default()
        self._loop = GLib.MainLoop(context)
        threading.Thread(target=self._loop.run, daemon=True).start()
        owner = self.bus.call_sync("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                   "org.freedesktop.DBus", "RequestName",
                                   GLib.Variant("(su)", (name, 4)), None,  # 4: do not queue
                                   Gio.DBusCallFlags.NONE, 2000, None)
        if owner.unpack()[0] != 1:
            self.stop()
            raise RuntimeError(f"{name} is taken")

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.stop()

    get_property = None

    def record(self, event, **values):
        self.log.append(dict(values, event=event, time=time.monotonic()))

    def events(self, event):
        return [e for e in list(self.log) if e["event"] == event]

    def wait_for(self, event, count=1, timeout=START_TIMEOUT):
        """The `event` records once there are `count` of them, or those there are in time."""
        wait_until(lambda: len(self.events(event)) >= count, timeout)
        return self.events(event)

    def stop(self):
        try:
            self.bus.close_sync(None)  # its names go with it
        except GLib.Error:
            pass  # closed already, or the bus went first
        self._loop.quit()


class Watcher(BusService):
    """The panel's StatusNotifierWatcher: a "registered" event (service, path) per item."""

    def __init__(self, address):
        super().__init__(address, WATCHER_NAME, WATCHER_XML, "/StatusNotifierWatcher")

    def get_property(self, *args):
        return GLib.Variant("b", True)  # IsStatusNotifierHostRegistered: we are the host

    def on_call(self, connection, sender, path, interface, method, params, invocation):
        # The bus name of an item at the well-known path: the form the application uses.
        self.record("registered", service=params.unpack()[0], path="/StatusNotifierItem")
        invocation.return_value(None)


class NotificationServer(BusService):
    """The desktop's notification server: a "notify" event (its arguments and id) per Notify,
    which `silent` never answers, as a server that hangs; `caps=None` refuses GetCapabilities."""

    def __init__(self, address, caps=("actions", "body"), silent=False):
        self.caps, self.silent, self._held = None if caps is None else list(caps), silent, []
        super().__init__(address, NOTIFICATIONS, NOTIFICATIONS_XML, NOTIFICATIONS_PATH)

    def on_call(self, connection, sender, path, interface, method, params, invocation):
        if method == "GetCapabilities" and self.caps is None:
            invocation.return_dbus_error("org.freedesktop.DBus.Error.Failed", "not telling")
        elif method == "GetCapabilities":
            invocation.return_value(GLib.Variant("(as)", (self.caps,)))
        elif method == "GetServerInformation":
            invocation.return_value(GLib.Variant("(ssss)", ("fake", "tests", "1", "1.2")))
        else:
            self._held.append(invocation)
            self.record("notify", id=len(self._held), **dict(zip(NOTIFY_ARGS, params.unpack())))
            if not self.silent:
                invocation.return_value(GLib.Variant("(u)", (len(self._held),)))

    def click(self, nid):
        """What the server sends when notification `nid` is clicked."""
        self.bus.emit_signal(None, NOTIFICATIONS_PATH, NOTIFICATIONS, "ActionInvoked",
                             GLib.Variant("(us)", (nid, "default")))


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
        self.pid, self.poll = self.proc.pid, self.proc.poll

    def wait(self, timeout):
        try:
            return self.proc.wait(timeout)
        except subprocess.TimeoutExpired:
            return None

    def stdout(self, index=0):
        with open(self._logs[index], encoding="utf-8", errors="replace") as f:
            return f.read()

    def stderr(self):
        return self.stdout(1)

    def wait_for_item(self, timeout=START_TIMEOUT, interval=0.05):
        """The StatusNotifierItem this process registered with the watcher, once found."""
        def mine(event):
            try:
                return self.session.bus_call("GetConnectionUnixProcessID", event["service"]) \
                    == self.pid
            except GLib.Error:
                return False  # that registrant has gone again

        if not self.item:
            found = wait_until(lambda: next(filter(mine, self.session.registered()), None),
                               timeout, interval)
            if not found:
                raise RuntimeError(f"no StatusNotifierItem registered within {timeout:.0f} s")
            menu = self.session.call(found["service"], found["path"], PROPERTIES, "Get",
                                     GLib.Variant("(ss)", (ITEM_INTERFACE, "Menu"))).unpack()[0]
            self.item = TrayItem(found["service"], found["path"], menu, found["time"])
        return self.item

    def item_properties(self):
        item = self.wait_for_item()
        return self.session.call(item.bus_name, item.path, PROPERTIES, "GetAll",
                                 GLib.Variant("(s)", (ITEM_INTERFACE,))).unpack()[0]

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
        last = []

        def read():
            try:
                last[:] = [self.menu_layout()]
            except GLib.Error:
                last[:] = [None]  # not exported yet
            return last[0] == list(expected) or self.poll() is not None
        wait_until(read, timeout)
        return last[0]

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
    `wayland=True` runs applications under kwin_wayland instead of on an X display;
    `system_bus=True` gives them a private system bus (DBUS_SYSTEM_BUS_ADDRESS);
    `host="gnome-shell"` makes GNOME Shell the panel, nested in the Xvfb screen (whose pixels
    screenshot() takes), its widgets readable through shown(); `data_dir` comes first in
    everyone's XDG_DATA_DIRS (an application's share/, as an installed package's is)."""

    def __init__(self, watcher=True, wayland=False, system_bus=False, host=None, data_dir=None):
        self.wayland, self.root = wayland, tempfile.mkdtemp(prefix="zandorin-desktop-")
        self.apps, self._daemons, self.bus, self.watcher = [], [], None, None
        try:
            if host not in (None, "gnome-shell"):
                raise ValueError(f"unknown host {host!r}")
            self._start(watcher and not host, system_bus or bool(host), data_dir)
            if host:
                self._start_gnome_shell()
        except BaseException:
            self.__exit__()
            raise

    def __enter__(self):
        return self

    def _start(self, watcher, system_bus, data_dir):
        home, runtime, self.logs = (os.path.join(self.root, d) for d in ("home", "run", "logs"))
        for path in (home, runtime, self.logs):
            os.mkdir(path, 0o700)
        self.env = {k: os.environ[k] for k in KEPT_VARIABLES if k in os.environ}
        self.env.update(HOME=home, XDG_RUNTIME_DIR=runtime, NO_AT_BRIDGE="1",
                        XDG_DATA_HOME=os.path.join(home, ".local", "share"),
                        XDG_CONFIG_HOME=os.path.join(home, ".config"),
                        XDG_CACHE_HOME=os.path.join(home, ".cache"))
        self.env.setdefault("LANG", "C.UTF-8")
        if data_dir:
            self.env["XDG_DATA_DIRS"] = ":".join([data_dir, self.env.get(
                "XDG_DATA_DIRS", "/usr/local/share:/usr/share")])
        if not self.wayland:
            xvfb = self._spawn("xvfb", ["Xvfb", "-nolisten", "tcp", "-screen", "0", "1024x768x24",
                                        "-displayfd", "1"], stdout=subprocess.PIPE)
            self.env.update(DISPLAY=":" + first_line(xvfb), QT_QPA_PLATFORM="xcb")
        self.bus_address = self.env["DBUS_SESSION_BUS_ADDRESS"] = self._start_bus("session")
        session_bus = self._daemons[-1]
        self.stop_bus = lambda: stop_child(session_bus)  # as when the session ends under its apps
        if system_bus:
            self.env["DBUS_SYSTEM_BUS_ADDRESS"] = self._start_bus("system")
        self.bus = Gio.DBusConnection.new_for_address_sync(self.bus_address, BUS_FLAGS, None, None)
        self.bus.set_exit_on_close(False)
        if self.wayland:
            # kwin_wayland carries a file capability (CAP_SYS_RESOURCE), which containers
            # without it refuse to exec; a plain copy is the same program without it.
            self._spawn("kwin", [shutil.copy("/usr/bin/kwin_wayland", self.root), "--virtual",
                                 "--no-lockscreen", "--socket", "wayland-0", "--width", "1024",
                                 "--height", "768"])
            self._started(lambda: os.path.exists(os.path.join(runtime, "wayland-0"))
                          and self.name_has_owner("org.kde.KWin"), "kwin_wayland")
            self.env.update(WAYLAND_DISPLAY="wayland-0", QT_QPA_PLATFORM="wayland")
        if watcher:
            self.start_watcher()
        self._start_keyring()

    def _start_keyring(self):
        self._keyring = self._spawn("keyring", ["gnome-keyring-daemon", "--foreground",
                                                "--unlock", "--components=secrets"],
                                    stdin=subprocess.PIPE)
        self._keyring.stdin.write(b"pw")  # unlocks the login keyring it creates or finds
        self._keyring.stdin.close()
        self._started(lambda: self.name_has_owner(SECRET_NAME), "gnome-keyring")

    def restart_keyring(self):
        """Stops the keyring daemon this session started and starts another on the same
        keyring files, unlocked, as after a crash and a restart."""
        self._stop(self._keyring, SECRET_NAME, stop_child)
        self._start_keyring()

    def _stop(self, proc, name, how):
        how(proc)
        proc.wait(STOP_TIMEOUT)
        self._daemons.remove(proc)
        if not wait_until(lambda: not self.name_has_owner(name)):
            raise RuntimeError(f"{name} outlived its owner")

    def _start_bus(self, kind):
        with open(os.path.join(self.root, f"{kind}.conf"), "w") as f:
            f.write(BUS_CONFIG.format(kind, os.path.join(self.env["XDG_RUNTIME_DIR"],
                                                         "bus" if kind == "session" else kind)))
        return first_line(self._spawn(f"{kind}-bus", [
            "dbus-daemon", "--config-file=" + f.name, "--nofork", "--nopidfile",
            "--print-address"], stdout=subprocess.PIPE))

    def _spawn(self, name, argv, stdin=subprocess.DEVNULL, stdout=None, env=None):
        """A daemon stopped with the session, its output in logs/<name>.log but for a pipe."""
        with open(os.path.join(self.logs, name + ".log"), "ab") as log:
            proc = subprocess.Popen(argv, stdin=stdin, stdout=stdout or log, stderr=log,
                                    env=env or self.env)
        self._daemons.append(proc)
        return proc

    def _started(self, ready, what, timeout=START_TIMEOUT):
        if not wait_until(ready, timeout):
            raise RuntimeError(f"{what} did not start")

    def _start_gnome_shell(self):
        # Settings go to a key file in the session's home: no dconf service to start.
        self.env["GSETTINGS_BACKEND"] = "keyfile"
        self.run("gsettings", "set", "org.gnome.desktop.interface", "toolkit-accessibility",
                 "true")
        self.set_shell_extension(True)
        self._spawn("a11y", ["/usr/libexec/at-spi-bus-launcher"])
        self._started(lambda: self.name_has_owner("org.a11y.Bus"), "the accessibility bus")
        self.start_shell()

    def start_shell(self):
        """GNOME Shell, nested in the Xvfb screen. Applications stay clients of Xvfb, as in an
        X11 session, so that the shell can go and come back under them."""
        env = {k: v for k, v in self.env.items() if k != "NO_AT_BRIDGE"}
        env.update(MUTTER_DEBUG_DUMMY_MODE_SPECS="1024x768", XDG_CURRENT_DESKTOP="GNOME")
        argv = ["gnome-shell", "--nested", "--wayland"]
        if os.geteuid() == 0 and os.path.isdir("/run/systemd"):
            # With logind in sight the shell asks it for a seat and session this desktop
            # does not have; hidden, it manages without. Only root may hide it.
            empty = os.path.join(self.root, "no-systemd")
            os.makedirs(empty, exist_ok=True)
            argv = ["unshare", "--mount", "sh", "-c",
                    'mount --bind "$0" /run/systemd && exec "$@"', empty, *argv]
        self.shell = self._spawn("gnome-shell", argv, env=env)  # unshare and sh exec it
        self._started(lambda: self.name_has_owner(WATCHER_NAME), "gnome-shell",
                      SHELL_START_TIMEOUT)

    def kill_shell(self):
        """Kills the shell this session started, as a crash does."""
        self._stop(self.shell, WATCHER_NAME, subprocess.Popen.kill)

    def set_shell_extension(self, enabled):
        """Turns the AppIndicator extension on or off, as the Extensions application does."""
        self.run("gsettings", "set", "org.gnome.shell", "enabled-extensions",
                 f"['{APPINDICATOR}']" if enabled else "@as []")

    def screenshot(self):
        from PIL import ImageGrab  # only the tests of a real panel need it
        return ImageGrab.grab(xdisplay=self.env["DISPLAY"]).convert("RGB")

    def shown(self, application="gnome-shell"):
        """a11y.py's nodes, as tuples."""
        out = self.run(sys.executable, os.path.join(os.path.dirname(__file__), "a11y.py"),
                       application, timeout=SHELL_START_TIMEOUT)
        return [tuple(node) for node in json.loads(out)]

    def run(self, *argv, timeout=START_TIMEOUT):
        return subprocess.run(argv, env=self.env, check=True, capture_output=True, text=True,
                              timeout=timeout).stdout

    def start_watcher(self):
        self.watcher = Watcher(self.bus_address)

    def registered(self):
        if self.watcher:
            return self.watcher.events("registered")
        try:  # a real panel's: "<bus name>@/<path>" (GNOME), "<bus name>/<path>" (Plasma)
            ids = self.call(WATCHER_NAME, "/StatusNotifierWatcher", PROPERTIES, "Get",
                            GLib.Variant("(ss)", (WATCHER_NAME, "RegisteredStatusNotifierItems"))
                            ).unpack()[0]
        except GLib.Error:
            return []  # no panel now
        return [dict(service=service.rstrip("@"), path="/" + (path or "StatusNotifierItem"),
                     time=time.monotonic()) for service, _, path in (i.partition("/") for i in ids)]

    def __exit__(self, *exc):
        for proc in [app.proc for app in self.apps]:
            stop_child(proc)
        if self.watcher:
            self.watcher.stop()
        try:
            self.bus and self.bus.close_sync(None)
        except GLib.Error:
            pass  # the bus went first
        for proc in reversed(self._daemons):
            stop_child(proc)
            if proc.stdout:
                proc.stdout.close()
        if os.environ.get("ZANDORIN_DESKTOP_KEEP"):
            print(f"desktop session kept in {self.root}", file=sys.stderr)
        else:
            shutil.rmtree(self.root, ignore_errors=True)

    def call(self, bus_name, path, interface, method, params=None):
        return self.bus.call_sync(bus_name, path, interface, method, params, None,
                                  Gio.DBusCallFlags.NO_AUTO_START, 2000, None)

    def bus_call(self, method, name):
        return self.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                         method, GLib.Variant("(s)", (name,))).unpack()[0]

    def name_has_owner(self, name):
        return self.bus_call("NameHasOwner", name)

    def start_app(self, path, env=None, args=(), unset=()):
        """Starts `path` in this session; `env` adds variables, `unset` removes some."""
        env = {k: v for k, v in dict(self.env, **(env or {})).items() if k not in unset}
        self.apps.append(App(self, [os.path.abspath(path), *args], env))  # it runs in HOME
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
        self._spawn("prompter", ["/usr/libexec/gcr-prompter"])
        self._started(lambda: self.name_has_owner("org.gnome.keyring.SystemPrompter"),
                      "gcr-prompter")

    def viewable_windows(self):
        def xwininfo(*args):
            return subprocess.run(["xwininfo", *args], capture_output=True, text=True,
                                  env=self.env, timeout=START_TIMEOUT).stdout
        ids = [line.split()[0] for line in xwininfo("-root", "-tree").splitlines()
               if line.strip().startswith("0x")]
        return [wid for wid in ids if "Map State: IsViewable" in xwininfo("-id", wid)]


if __name__ == "__main__":
    system = sys.argv[2:3] == ["--system-bus"]
    if len(sys.argv) < 3 + system or sys.argv[1] != "--run":
        sys.exit(__doc__)
    with DesktopSession(watcher=False, system_bus=system) as session:
        sys.exit(subprocess.run(sys.argv[2 + system:], env=session.env, check=False).returncode)
