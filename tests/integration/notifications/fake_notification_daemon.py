#!/usr/bin/python3
"""A notification server for tests, on the bus at the address given.

Usage: fake_notification_daemon.py <bus address> [--caps=a,b] [--silent]
(--silent: never answers Notify, as a server that hangs). Writes JSON lines on stdout: "ready",
then "notify" with the arguments and the id of each notification. Each line on stdin is the id
of a notification to signal ActionInvoked for, with the "default" key.
"""

import json
import sys
import threading

import gi

gi.require_version("Gio", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

NAME, PATH = "org.freedesktop.Notifications", "/org/freedesktop/Notifications"
XML = f"""<node><interface name="{NAME}">
  <method name="GetCapabilities"><arg direction="out" type="as"/></method>
  <method name="GetServerInformation"><arg direction="out" type="s"/>
    <arg direction="out" type="s"/><arg direction="out" type="s"/><arg direction="out" type="s"/>
  </method>
  <method name="Notify"><arg type="s"/><arg type="u"/><arg type="s"/><arg type="s"/>
    <arg type="s"/><arg type="as"/><arg type="a{{sv}}"/><arg type="i"/>
    <arg direction="out" type="u"/></method></interface></node>"""
NOTIFY_ARGS = ("app_name", "replaces_id", "app_icon", "summary", "body", "actions", "hints",
               "expire_timeout")


def main(address, *options):
    caps = next((o.split("=", 1)[1] for o in options if o.startswith("--caps=")), "actions,body")
    held = []  # every Notify call, unanswered with --silent

    def on_call(_conn, _sender, _path, _iface, method, params, invocation):
        if method == "GetCapabilities":
            invocation.return_value(GLib.Variant("(as)", (caps.split(","),)))
        elif method == "GetServerInformation":
            invocation.return_value(GLib.Variant("(ssss)", ("fake", "tests", "1", "1.2")))
        else:
            held.append(invocation)
            if "--silent" not in options:
                invocation.return_value(GLib.Variant("(u)", (len(held),)))
            print(json.dumps(dict(zip(NOTIFY_ARGS, params.unpack()), event="notify",
                                  id=len(held)), ensure_ascii=False), flush=True)

    def click(nid):
        bus.emit_signal(None, PATH, NAME, "ActionInvoked", GLib.Variant("(us)", (nid, "default")))

    def read_clicks():
        for line in sys.stdin:
            GLib.idle_add(click, int(line))
        GLib.idle_add(loop.quit)

    loop = GLib.MainLoop()
    bus = Gio.DBusConnection.new_for_address_sync(
        address, Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
        | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION, None, None)
    bus.register_object(PATH, Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0], on_call, None,
                        None)
    Gio.bus_own_name_on_connection(bus, NAME, Gio.BusNameOwnerFlags.DO_NOT_QUEUE,
                                   lambda *_: print('{"event": "ready"}', flush=True),
                                   lambda *_: loop.quit())
    threading.Thread(target=read_clicks, daemon=True).start()
    loop.run()


if __name__ == "__main__":
    main(*sys.argv[1:])
