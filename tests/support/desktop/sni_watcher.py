#!/usr/bin/python3
"""A minimal StatusNotifierWatcher for a private session bus.

Qt exports its tray icon as a StatusNotifierItem (with a dbusmenu menu) only when a watcher
that reports a registered host is on the bus, so the harness starts this before the
application. It writes "READY", then "REGISTERED <bus name> <object path>" per item, to stdout.

Usage: sni_watcher.py BUS_ADDRESS
"""

import signal
import sys

import gi

gi.require_version("Gio", "2.0")
gi.require_version("GLib", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

WATCHER_NAME = "org.kde.StatusNotifierWatcher"
WATCHER_PATH = "/StatusNotifierWatcher"

INTROSPECTION = """
<node>
  <interface name="org.kde.StatusNotifierWatcher">
    <method name="RegisterStatusNotifierItem"><arg type="s" direction="in"/></method>
    <method name="RegisterStatusNotifierHost"><arg type="s" direction="in"/></method>
    <property name="RegisteredStatusNotifierItems" type="as" access="read"/>
    <property name="IsStatusNotifierHostRegistered" type="b" access="read"/>
    <property name="ProtocolVersion" type="i" access="read"/>
    <signal name="StatusNotifierItemRegistered"><arg type="s"/></signal>
    <signal name="StatusNotifierItemUnregistered"><arg type="s"/></signal>
    <signal name="StatusNotifierHostRegistered"/>
  </interface>
</node>
"""


def report(line):
    sys.stdout.write(line + "\n")
    sys.stdout.flush()


def main():
    connection = Gio.DBusConnection.new_for_address_sync(
        sys.argv[1], Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
    connection.set_exit_on_close(False)
    items = []  # "<bus name><path>", as KDE's watcher spells an item

    def on_call(connection, sender, path, interface, method, params, invocation):
        (argument,) = params.unpack()
        if method == "RegisterStatusNotifierItem":
            # A bus name (the object at the well-known path) or a path on the caller's connection.
            service, item_path = ((sender, argument) if argument.startswith("/")
                                  else (argument, "/StatusNotifierItem"))
            if service + item_path not in items:
                items.append(service + item_path)
                report(f"REGISTERED {service} {item_path}")
                connection.emit_signal(None, WATCHER_PATH, WATCHER_NAME,
                                       "StatusNotifierItemRegistered",
                                       GLib.Variant("(s)", (service + item_path,)))
        invocation.return_value(None)

    def on_get_property(connection, sender, path, interface, name):
        # We are the host as far as applications can tell.
        return {"RegisteredStatusNotifierItems": GLib.Variant("as", items),
                "IsStatusNotifierHostRegistered": GLib.Variant("b", True),
                "ProtocolVersion": GLib.Variant("i", 0)}.get(name)

    info = Gio.DBusNodeInfo.new_for_xml(INTROSPECTION).interfaces[0]
    connection.register_object(WATCHER_PATH, info, on_call, on_get_property, None)
    loop = GLib.MainLoop()
    Gio.bus_own_name_on_connection(connection, WATCHER_NAME, Gio.BusNameOwnerFlags.DO_NOT_QUEUE,
                                   lambda *_: report("READY"), lambda *_: loop.quit())
    connection.connect("closed", lambda *_: loop.quit())
    for signum in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_DEFAULT, signum, lambda *_: loop.quit() or False)
    loop.run()


if __name__ == "__main__":
    main()
