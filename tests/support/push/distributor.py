#!/usr/bin/python3
"""A UnifiedPush distributor (org.unifiedpush.Distributor.zandorintest, versions 1 and 2) and its
push server on loopback, for tests (Distributor) and trials (`distributor.py` in a desktop
session): a body POSTed to an endpoint reaches the connector through Message, on the interface
it registered through. Its "registered" events never carry connection tokens."""

import http.server
import os
import secrets
import signal
import sys
import threading
import urllib.request

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "desktop"))
from session import BusService  # noqa: E402 (it also picks the versions of gi's modules)
from gi.repository import Gio, GLib  # noqa: E402

NAME = "org.unifiedpush.Distributor.zandorintest"
INTERFACES = {"2": """<interface name="org.unifiedpush.Distributor2"><method name="Register">
  <arg direction="in" type="a{sv}"/><arg direction="out" type="a{sv}"/></method></interface>""",
              "1": """<interface name="org.unifiedpush.Distributor1"><method name="Register">
  <arg direction="in" type="s"/><arg direction="in" type="s"/><arg direction="in" type="s"/>
  <arg direction="out" type="s"/><arg direction="out" type="s"/></method></interface>"""}


class Distributor(BusService):
    def __init__(self, address, interface="2", refuse=None):
        self.refuse, self.by_key, self.by_id = refuse, {}, {}  # (service, token), endpoint id
        distributor = self

        class Push(http.server.BaseHTTPRequestHandler):
            def do_POST(self):  # noqa: N802 (the handler's name)
                body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
                registration = distributor.by_id.get(self.path.removeprefix("/push/"))
                status = 404 if registration is None else 201 if body else 400
                if status == 201:
                    distributor.call(registration, "Message", token=registration["token"],
                                     message=body, id=secrets.token_hex(8))
                self.send_response(status)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Push)
        self.port = self.server.server_address[1]
        threading.Thread(target=self.server.serve_forever, daemon=True).start()
        xml = "".join(x for v, x in INTERFACES.items() if interface in ("both", v))
        super().__init__(address, NAME, f"<node>{xml}</node>", "/org/unifiedpush/Distributor")

    def stop(self):
        super().stop()
        self.server.shutdown()
        self.server.server_close()

    def call(self, registration, method, **values):
        variants = {k: GLib.Variant("ay" if isinstance(v, bytes) else "s", v)
                    for k, v in values.items()}
        message = Gio.DBusMessage.new_method_call(
            registration["service"], "/org/unifiedpush/Connector",
            "org.unifiedpush.Connector" + registration["interface"], method)
        message.set_body(GLib.Variant("(a{sv})", (variants,)) if registration["interface"] == "2"
                         else GLib.Variant.new_tuple(*variants.values()))
        message.set_flags(Gio.DBusMessageFlags.NO_REPLY_EXPECTED)
        self.bus.send_message(message, Gio.DBusSendMessageFlags.NONE)

    def on_call(self, connection, sender, path, interface, method, params, invocation):
        version = interface[-1]
        if version == "2":
            fields = params.unpack()[0]
            service, token = (str(fields.get(k, "")) for k in ("service", "token"))
        else:
            service, token, _ = params.unpack()
        reason = self.refuse or ("" if service and token else "INTERNAL_ERROR")
        result = "REGISTRATION_FAILED" if reason else "REGISTRATION_SUCCEEDED"
        if version == "1":
            invocation.return_value(GLib.Variant("(ss)", (result, reason)))
        else:
            answer = {"success": GLib.Variant("s", result),
                      **({"reason": GLib.Variant("s", reason)} if reason else {})}
            invocation.return_value(GLib.Variant("(a{sv})", (answer,)))
        if reason:
            return
        registration = self.by_key.setdefault((service, token), {
            "id": secrets.token_urlsafe(20), "service": service, "token": token})
        self.by_id[registration["id"]] = registration
        registration["interface"] = version  # a later Register may come through the other one
        endpoint = f"http://127.0.0.1:{self.port}/push/{registration['id']}"
        self.record("registered", service=service, endpoint=endpoint, interface=version)
        self.call(registration, "NewEndpoint", token=token, endpoint=endpoint)

    def registrations(self):
        """The "registered" events so far, the last one per endpoint."""
        return list({e["endpoint"]: e for e in self.events("registered")}.values())

    def push(self, endpoint, body):
        """POSTs `body` (bytes) to an endpoint of this distributor; the HTTP status."""
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        try:
            with opener.open(urllib.request.Request(endpoint, data=body), timeout=10) as answer:
                return answer.status
        except urllib.request.HTTPError as refused:
            return refused.code

    def unregister(self, service):
        """Unregisters `service` on the distributor's own initiative; how many it had."""
        found = [r for r in list(self.by_id.values()) if r["service"] == service]
        for registration in found:
            del self.by_id[registration["id"]], self.by_key[(service, registration["token"])]
            self.call(registration, "Unregistered", token=registration["token"])
        return len(found)


if __name__ == "__main__":
    address = Gio.dbus_address_get_for_bus_sync(Gio.BusType.SESSION, None)
    with Distributor(address) as distributor:
        print(f"{NAME}: push server on 127.0.0.1:{distributor.port}", flush=True)
        signal.pause()  # until a signal ends it
