#!/usr/bin/python3
"""A UnifiedPush distributor and its push server in one process, for tests and trials; in tests,
TestDistributor runs it as a child on a test's session bus.

Usage: distributor.py [--interface 1|2|both] [--refuse REASON]

Owns org.unifiedpush.Distributor.zandorintest on the bus of DBUS_SESSION_BUS_ADDRESS and takes
Register through Distributor2, Distributor1 or both; with --refuse every Register fails with that
reason. Each (service, token) gets an endpoint, http://127.0.0.1:<port>/push/<id>, handed on
through NewEndpoint once Register has been answered; a body POSTed there reaches the connector
through Message, on the Connector interface of the version it registered through. Stdout has one
JSON event per line: "ready" (port), "registered", "refused"; connection tokens never appear.
Stdin, unless a terminal, takes JSON commands, {"cmd": "ping"} (answered "pong") and
{"cmd": "unregister", "service": name} (answered "dropped"); its end ends it.
"""

import argparse
import http.client
import http.server
import json
import os
import secrets
import sys
import threading

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "desktop"))
from session import EventProcess  # noqa: E402 (it also picks the versions of gi's modules)
from gi.repository import Gio, GLib  # noqa: E402

NAME = "org.unifiedpush.Distributor.zandorintest"
XML = """<node>
<interface name="org.unifiedpush.Distributor2"><method name="Register">
  <arg direction="in" type="a{sv}"/><arg direction="out" type="a{sv}"/></method></interface>
<interface name="org.unifiedpush.Distributor1"><method name="Register">
  <arg direction="in" type="s"/><arg direction="in" type="s"/><arg direction="in" type="s"/>
  <arg direction="out" type="s"/><arg direction="out" type="s"/></method></interface>
</node>"""
MAX_MESSAGE = 4096


class TestDistributor(EventProcess):
    """The distributor on the bus of `env`, each wait bounded by `timeout`."""

    __test__ = False  # not a test case, whatever the name says

    def __init__(self, env, interface="2", refuse=None, timeout=10.0):
        argv = ["/usr/bin/python3", os.path.abspath(__file__), "--interface", interface]
        super().__init__(argv + (["--refuse", refuse] if refuse else []), env, timeout)
        self.port = self.events("ready")[0]["port"]

    def registrations(self):
        """The "registered" events so far, the last one per endpoint."""
        self.ask("pong", cmd="ping")  # every event before the answer has arrived
        return list({e["endpoint"]: e for e in self.events("registered")}.values())

    def push(self, endpoint, body):
        """POSTs `body` (bytes) to an endpoint of this distributor; the HTTP status."""
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=self.step)
        connection.request("POST", endpoint.split(str(self.port), 1)[1], body=bytes(body))
        status = connection.getresponse().status
        connection.close()
        return status

    def unregister(self, service):
        """Unregisters `service` on the distributor's own initiative; how many it had."""
        return self.ask("dropped", cmd="unregister", service=service)["count"]


def say(**event):
    print(json.dumps(event, ensure_ascii=False), flush=True)


def text(value):
    return GLib.Variant("s", value)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--interface", choices=("1", "2", "both"), default="2")
    parser.add_argument("--refuse", metavar="REASON")
    args = parser.parse_args()
    loop = GLib.MainLoop()
    bus = Gio.bus_get_sync(Gio.BusType.SESSION)
    by_key, by_id = {}, {}  # (service, token) and endpoint id -> registration

    def endpoint(registration):
        return f"http://127.0.0.1:{server.server_address[1]}/push/{registration['id']}"

    def call(registration, method, **values):
        """Calls the connector, answer unwanted: Connector2 with a dictionary, Connector1 with
        the values in this order."""
        variants = {k: GLib.Variant("ay" if isinstance(v, bytes) else "s", v)
                    for k, v in values.items()}
        message = Gio.DBusMessage.new_method_call(
            registration["service"], "/org/unifiedpush/Connector",
            "org.unifiedpush.Connector" + registration["interface"], method)
        message.set_body(GLib.Variant("(a{sv})", (variants,)) if registration["interface"] == "2"
                         else GLib.Variant.new_tuple(*variants.values()))
        message.set_flags(Gio.DBusMessageFlags.NO_REPLY_EXPECTED)
        bus.send_message(message, Gio.DBusSendMessageFlags.NONE)

    def new_endpoint(registration):
        if by_id.get(registration["id"]) is registration:
            call(registration, "NewEndpoint", token=registration["token"],
                 endpoint=endpoint(registration))

    def deliver(registration, body):
        if by_id.get(registration["id"]) is registration:
            call(registration, "Message", token=registration["token"], message=body,
                 id=secrets.token_hex(8))

    def on_register(_bus, _sender, _path, interface, _method, params, invocation):
        version = interface[-1]
        if version == "2":
            fields = params.unpack()[0]
            service, token, description = (str(fields.get(k, ""))
                                           for k in ("service", "token", "description"))
        else:
            service, token, description = params.unpack()
        reason = args.refuse or ("" if service and token else "INTERNAL_ERROR")
        if reason:
            say(event="refused", interface=version, service=service, reason=reason)
        else:
            registration = by_key.setdefault((service, token), {
                "id": secrets.token_urlsafe(20), "service": service, "token": token})
            by_id[registration["id"]] = registration
            # A later Register may come through the other interface or with a new description.
            registration.update(interface=version, description=description)
            say(event="registered", service=service, endpoint=endpoint(registration),
                description=description, interface=version)
            GLib.idle_add(new_endpoint, registration)  # after the answer to Register
        result = "REGISTRATION_FAILED" if reason else "REGISTRATION_SUCCEEDED"
        if version == "1":
            invocation.return_value(GLib.Variant("(ss)", (result, reason)))
        else:
            answer = {"success": text(result), **({"reason": text(reason)} if reason else {})}
            invocation.return_value(GLib.Variant("(a{sv})", (answer,)))

    def command(line):
        order = json.loads(line)
        if order["cmd"] != "unregister":
            return say(event="pong")
        found = [r for r in by_id.values() if r["service"] == order["service"]]
        for registration in found:
            token = registration["token"]
            del by_id[registration["id"]], by_key[(registration["service"], token)]
            call(registration, "Unregistered", token=token)
        say(event="dropped", service=order["service"], count=len(found))

    def read_commands():
        for line in sys.stdin:
            GLib.idle_add(command, line)
        GLib.idle_add(loop.quit)

    class Push(http.server.BaseHTTPRequestHandler):
        def do_POST(self):  # noqa: N802 (the handler's name)
            length = int(self.headers.get("Content-Length") or 0)
            body = self.rfile.read(length) if 0 < length <= MAX_MESSAGE else b""
            registration = by_id.get(self.path.removeprefix("/push/"))
            status = 404 if registration is None else 201 if body else 400
            if status == 201:
                GLib.idle_add(deliver, registration, body)
            self.send_response(status)
            self.send_header("Content-Length", "0")
            self.end_headers()

        def log_message(self, *args):
            pass  # stdout carries events only

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Push)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    for info in Gio.DBusNodeInfo.new_for_xml(XML).interfaces:
        if args.interface in ("both", info.name[-1]):
            bus.register_object("/org/unifiedpush/Distributor", info, on_register, None, None)
    Gio.bus_own_name_on_connection(bus, NAME, Gio.BusNameOwnerFlags.DO_NOT_QUEUE,
                                   lambda *_: say(event="ready", port=server.server_address[1]),
                                   lambda *_: loop.quit())
    if not sys.stdin.isatty():
        threading.Thread(target=read_commands, daemon=True).start()
    loop.run()
    server.shutdown()


if __name__ == "__main__":
    main()
