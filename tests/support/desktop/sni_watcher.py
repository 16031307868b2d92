#!/usr/bin/python3
"""A minimal StatusNotifierWatcher for a private session bus.

Qt exports its tray icon as a StatusNotifierItem (with a dbusmenu menu) only when a watcher
that reports a registered host is on the bus when the icon is created, so the harness starts
this before the application. It reports on stdout, one flushed line per event:

    READY
    REGISTERED <bus name> <object path>
    UNREGISTERED <bus name> <object path>

Usage: sni_watcher.py [BUS_ADDRESS]   (default: $DBUS_SESSION_BUS_ADDRESS)
"""

import os
import signal
import sys

import gi

gi.require_version("Gio", "2.0")
gi.require_version("GLib", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

WATCHER_NAME = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"
ITEM_PATH = "/StatusNotifierItem"

INTROSPECTION = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem">
      <arg name="service" type="s" direction="in"/>
    </method>
    <method name="RegisterStatusNotifierHost">
      <arg name="service" type="s" direction="in"/>
    </method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered">
      <arg type="s"/>
    </signal>
    <signal name="StatusNotifierItemUnregistered">
      <arg type="s"/>
    </signal>
    <signal name="StatusNotifierHostRegistered"/>
    <signal name="StatusNotifierHostUnregistered"/>
  </interface>
</node>
"""


def report(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


class Watcher:
    def __init__(self, connection, loop):
        self.connection = connection
        self.loop = loop
        # Ordered: id ("<bus name><path>", as KDE's watcher spells it) -> (bus name, path).
        self.items = {}
        self.hosts = set()
        info = Gio.DBusNodeInfo.new_for_xml(INTROSPECTION).interfaces[0]
        connection.register_object(WATCHER_PATH, info, self.on_call, self.on_get_property, None)
        connection.signal_subscribe(
            "org.freedesktop.DBus", "org.freedesktop.DBus", "NameOwnerChanged",
            "/org/freedesktop/DBus", None, Gio.DBusSignalFlags.NONE, self.on_owner_changed)

    def emit(self, name, args=None):
        self.connection.emit_signal(None, WATCHER_PATH, WATCHER_NAME, name, args)

    def on_call(self, connection, sender, path, interface, method, params, invocation):
        (argument,) = params.unpack()
        if method == "RegisterStatusNotifierItem":
            # Items register either a bus name (object at the well-known path) or an object
            # path on their own connection.
            if argument.startswith("/"):
                service, item_path = sender, argument
            else:
                service, item_path = argument, ITEM_PATH
            item_id = service + item_path
            if item_id not in self.items:
                self.items[item_id] = (service, item_path, sender)
                report(f"REGISTERED {service} {item_path}")
                self.emit("StatusNotifierItemRegistered", GLib.Variant("(s)", (item_id,)))
        elif method == "RegisterStatusNotifierHost":
            if argument not in self.hosts:
                self.hosts.add(argument)
                self.emit("StatusNotifierHostRegistered")
        invocation.return_value(None)

    def on_get_property(self, connection, sender, path, interface, name):
        if name == "RegisteredStatusNotifierItems":
            return GLib.Variant("as", list(self.items))
        if name == "IsStatusNotifierHostRegistered":
            # We are the host as far as applications can tell.
            return GLib.Variant("b", True)
        if name == "ProtocolVersion":
            return GLib.Variant("i", 0)
        return None

    def on_owner_changed(self, connection, sender, path, interface, signal_name, params):
        name, _old, new = params.unpack()
        if new:
            return
        for item_id, (service, item_path, owner) in list(self.items.items()):
            if name in (service, owner):
                del self.items[item_id]
                report(f"UNREGISTERED {service} {item_path}")
                self.emit("StatusNotifierItemUnregistered", GLib.Variant("(s)", (item_id,)))
        if name in self.hosts:
            self.hosts.discard(name)
            self.emit("StatusNotifierHostUnregistered")


def main():
    address = sys.argv[1] if len(sys.argv) > 1 else os.environ.get("DBUS_SESSION_BUS_ADDRESS")
    if not address:
        print("sni_watcher: no bus address (argument or DBUS_SESSION_BUS_ADDRESS)", file=sys.stderr)
        return 2
    flags = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
             | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
    connection = Gio.DBusConnection.new_for_address_sync(address, flags, None, None)
    connection.set_exit_on_close(False)
    loop = GLib.MainLoop()
    status = {"code": 0}

    def lost(*_):
        report("LOST")
        status["code"] = 1
        loop.quit()

    Watcher(connection, loop)
    Gio.bus_own_name_on_connection(
        connection, WATCHER_NAME, Gio.BusNameOwnerFlags.DO_NOT_QUEUE,
        lambda *_: report("READY"), lost)
    connection.connect("closed", lambda *_: loop.quit())
    for signum in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signum, lambda *_: loop.quit() or False)
    loop.run()
    return status["code"]


if __name__ == "__main__":
    sys.exit(main())
