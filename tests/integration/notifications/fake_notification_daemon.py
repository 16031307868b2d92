#!/usr/bin/python3
"""A notification server for tests, on the bus at the address given.

Usage: fake_notification_daemon.py <bus address> [--first-id N] [--caps a,b] [--silent]
(--silent: never answers Notify, as a server that hangs). Writes JSON lines on stdout: "ready",
"notify" with the arguments, the id and the sender, "call" for the other methods (after the
answer), "emitted" once a signal has left. Reads JSON lines on stdin, e.g.
{"emit": "ActionInvoked", "id": 3, "key": "default"} or {"emit": "NotificationClosed", "id": 3};
like real servers it signals only the connection that asked for that notification.
"""

import argparse
import json
import os

import gi

gi.require_version("Gio", "2.0")
gi.require_version("GLib", "2.0")
from gi.repository import Gio, GLib  # noqa: E402

NAME = "org.freedesktop.Notifications"
PATH = "/org/freedesktop/Notifications"
XML = f"""
<node><interface name="{NAME}">
  <method name="GetCapabilities"><arg direction="out" type="as"/></method>
  <method name="Notify">
    <arg type="s"/><arg type="u"/><arg type="s"/><arg type="s"/><arg type="s"/>
    <arg type="as"/><arg type="a{{sv}}"/><arg type="i"/><arg direction="out" type="u"/>
  </method>
  <method name="CloseNotification"><arg type="u"/></method>
  <method name="GetServerInformation">
    <arg direction="out" type="s"/><arg direction="out" type="s"/>
    <arg direction="out" type="s"/><arg direction="out" type="s"/>
  </method>
  <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
  <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
</interface></node>
"""
ANSWERS = {
    "GetServerInformation": lambda caps: GLib.Variant("(ssss)", ("fake", "tests", "1", "1.2")),
    "GetCapabilities": lambda caps: GLib.Variant("(as)", (caps,)),
    "CloseNotification": lambda caps: None,
}


def say(**event):
    print(json.dumps(event, ensure_ascii=False), flush=True)


class Server:
    def __init__(self, args):
        self.args = args
        self.next_id = args.first_id
        self.senders = {}  # notification id -> the connection that asked for it
        self.held = []  # unanswered calls (--silent)
        self.pending = b""  # stdin up to the next newline
        self.loop = GLib.MainLoop()
        flags = (Gio.DBusConnectionFlags.AUTHENTICATION_CLIENT
                 | Gio.DBusConnectionFlags.MESSAGE_BUS_CONNECTION)
        self.bus = Gio.DBusConnection.new_for_address_sync(args.address, flags, None, None)
        self.bus.register_object(PATH, Gio.DBusNodeInfo.new_for_xml(XML).interfaces[0],
                                 self.on_call, None, None)
        Gio.bus_own_name_on_connection(self.bus, NAME, Gio.BusNameOwnerFlags.DO_NOT_QUEUE,
                                       lambda *_: say(event="ready"),
                                       lambda *_: self.loop.quit())
        GLib.io_add_watch(GLib.IOChannel.unix_new(0), GLib.PRIORITY_DEFAULT,
                          GLib.IO_IN | GLib.IO_HUP, self.on_stdin)

    def on_call(self, _conn, sender, _path, _iface, method, params, invocation):
        if method != "Notify":
            invocation.return_value(ANSWERS[method]([c for c in self.args.caps.split(",") if c]))
            say(event="call", method=method)
            return
        nid, self.next_id = self.next_id, self.next_id + 1
        self.senders[nid] = sender
        if self.args.silent:
            self.held.append(invocation)
        else:
            invocation.return_value(GLib.Variant("(u)", (nid,)))
        keys = ("app_name", "replaces_id", "app_icon", "summary", "body", "actions", "hints",
                "expire_timeout")
        say(event="notify", id=nid, sender=sender, **dict(zip(keys, params.unpack())))

    def on_stdin(self, _channel, condition):
        chunk = os.read(0, 4096) if condition & GLib.IO_IN else b""
        if not chunk:
            self.loop.quit()
            return False
        *lines, self.pending = (self.pending + chunk).split(b"\n")
        for command in map(json.loads, lines):
            nid = command["id"]
            params = (GLib.Variant("(us)", (nid, command.get("key", "default")))
                      if command["emit"] == "ActionInvoked"
                      else GLib.Variant("(uu)", (nid, command.get("reason", 2))))
            self.bus.emit_signal(self.senders.get(nid), PATH, NAME, command["emit"], params)
            self.bus.flush_sync(None)
            say(event="emitted")
        return True


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    parser.add_argument("address")
    parser.add_argument("--first-id", type=int, default=1)
    parser.add_argument("--caps", default="actions,body")
    parser.add_argument("--silent", action="store_true")
    Server(parser.parse_args()).loop.run()
