#!/usr/bin/python3
"""A UnifiedPush distributor and its push server in one process, for tests.

Usage: test_distributor.py [--name zandorintest] [--interface 1|2|both] [--refuse REASON]

Owns org.unifiedpush.Distributor.<name> on the bus of DBUS_SESSION_BUS_ADDRESS and answers at
/org/unifiedpush/Distributor through Distributor2, Distributor1 or both. With --refuse every
Register fails with that reason. Otherwise each (service, token) gets one endpoint on a loopback
HTTP server, handed to the connector through NewEndpoint after Register has been answered, on
the Connector interface of the same version as the Distributor interface the app used.

HTTP, on 127.0.0.1 and the port of the "ready" line:
  POST /push/<id>             a message (1..4096 bytes) for that endpoint: 201, delivered
                              through Message; 404 unknown endpoint, 400 empty, 413 too large
  POST /control/unregister    {"service": name}: drops that service's registrations and tells
                              its connector through Unregistered; answers {"count": n}
  GET  /control/registrations [{service, endpoint, description, interface}]

Stdout has one JSON object per line: "ready" (port, name), then registered, refused,
unregistered, endpoint (NewEndpoint's outcome) and delivered (message id, the connector's error
if any). Connection tokens never appear, only a short hash of them. Ends on SIGTERM, SIGINT or
when stdin closes.
"""

import argparse
import base64
import hashlib
import http.server
import json
import os
import secrets
import signal
import sys
import threading

import dbus
import dbus.bus
import dbus.lowlevel
import dbus.mainloop.glib
import dbus.service
from gi.repository import GLib

DISTRIBUTOR_PREFIX = "org.unifiedpush.Distributor."
DISTRIBUTOR_PATH = "/org/unifiedpush/Distributor"
DISTRIBUTOR = {"1": "org.unifiedpush.Distributor1", "2": "org.unifiedpush.Distributor2"}
CONNECTOR_PATH = "/org/unifiedpush/Connector"
CONNECTOR = {"1": "org.unifiedpush.Connector1", "2": "org.unifiedpush.Connector2"}
SUCCEEDED, FAILED = "REGISTRATION_SUCCEEDED", "REGISTRATION_FAILED"
MAX_MESSAGE = 4096
CALL_TIMEOUT = 10.0  # seconds a Connector2 call may take to be answered
LOOP_HANDOVER = 5.0  # seconds an HTTP request waits for the main loop


def say(**event):
    print(json.dumps(event, ensure_ascii=False), flush=True)


def token_hash(token):
    return hashlib.sha256(token.encode()).hexdigest()[:12]


def error_text(error):
    return f"{error.get_dbus_name()}: {error.get_dbus_message()}"


class Distributor:
    """Registrations and the calls to connectors. Used on the main loop only."""

    def __init__(self, bus, refuse):
        self.bus = bus
        self.refuse = refuse
        self.port = None
        self.by_key = {}  # (service, token) -> registration
        self.by_id = {}  # endpoint id -> registration

    def register(self, version, sender, service, token, description):
        """(succeeded, reason)."""
        service, token, description = str(service), str(token), str(description)
        if self.refuse or not service or not token:
            reason = self.refuse or "INTERNAL_ERROR"
            say(event="refused", interface=version, service=service, sender=sender,
                reason=reason)
            return False, reason
        registration = self.by_key.get((service, token))
        again = registration is not None
        if not again:
            endpoint_id = base64.urlsafe_b64encode(secrets.token_bytes(20)).rstrip(b"=").decode()
            registration = {"service": service, "token": token, "id": endpoint_id}
            self.by_key[(service, token)] = registration
            self.by_id[endpoint_id] = registration
        # A later Register may come through the other interface or with a new description.
        registration.update(interface=version, description=description, sender=sender)
        say(event="registered", interface=version, service=service, sender=sender,
            description=description, token=token_hash(token), again=again)
        # Idle: the reply to Register leaves before NewEndpoint does.
        GLib.idle_add(self._new_endpoint, registration)
        return True, ""

    def endpoint(self, registration):
        return f"http://127.0.0.1:{self.port}/push/{registration['id']}"

    def unregister(self, version, sender, token):
        """The connector asks: forget its registrations for this token and confirm."""
        token = str(token)
        found = [r for r in self.by_key.values() if r["token"] == token]
        for registration in found:
            self._forget(registration, f"connector (Distributor{version})")
        if not found:
            say(event="unregistered", interface=version, sender=sender, by="connector",
                token=token_hash(token), count=0)

    def drop_service(self, service):
        """Unregisters on the distributor's own initiative; the number dropped."""
        found = [r for r in self.by_key.values() if r["service"] == service]
        for registration in found:
            self._forget(registration, "distributor")
        return len(found)

    def _forget(self, registration, by):
        del self.by_key[(registration["service"], registration["token"])]
        del self.by_id[registration["id"]]
        say(event="unregistered", interface=registration["interface"],
            service=registration["service"], by=by, token=token_hash(registration["token"]))
        self._call(registration, "Unregistered", {"token": registration["token"]},
                   [registration["token"]], "s", lambda error, _reply=None: say(
                       event="unregistered_call", service=registration["service"],
                       error=error))

    def deliver(self, endpoint_id, body):
        """The message id, or None for an unknown endpoint."""
        registration = self.by_id.get(endpoint_id)
        if registration is None:
            return None
        message_id = secrets.token_hex(8)

        def done(error, reply=None):
            say(event="delivered", id=message_id, service=registration["service"],
                interface=registration["interface"], size=len(body), error=error,
                reply_id=None if reply is None else str(reply.get("id", "")))

        self._call(registration, "Message",
                   {"token": registration["token"], "message": dbus.ByteArray(body),
                    "id": message_id},
                   [registration["token"], dbus.ByteArray(body), message_id], "says", done)
        return message_id

    def _new_endpoint(self, registration):
        if self.by_key.get((registration["service"], registration["token"])) is registration:
            self._call(registration, "NewEndpoint",
                       {"token": registration["token"], "endpoint": self.endpoint(registration)},
                       [registration["token"], self.endpoint(registration)], "ss",
                       lambda error, _reply=None: say(event="endpoint",
                                                      service=registration["service"],
                                                      interface=registration["interface"],
                                                      error=error))
        return False

    def _call(self, registration, method, args2, args1, signature1, done):
        """Calls the connector without waiting: Connector2 with a dictionary, answered
        (done(error, reply) once it is); Connector1 with plain arguments and no reply wanted
        (done(None) once sent)."""
        service, version = registration["service"], registration["interface"]
        if version == "2":
            self.bus.call_async(
                service, CONNECTOR_PATH, CONNECTOR["2"], method, "a{sv}",
                (dbus.Dictionary(args2, signature="sv"),),
                lambda reply: done(None, reply), lambda error: done(error_text(error)),
                timeout=CALL_TIMEOUT)
        else:
            message = dbus.lowlevel.MethodCallMessage(service, CONNECTOR_PATH, CONNECTOR["1"],
                                                      method)
            message.append(*args1, signature=signature1)
            message.set_no_reply(True)
            self.bus.send_message(message)
            done(None)


class Distributor1(dbus.service.Object):
    @dbus.service.method(DISTRIBUTOR["1"], in_signature="sss", out_signature="ss",
                         sender_keyword="sender")
    def Register(self, service, token, description, sender=None):
        succeeded, reason = self.distributor.register("1", sender, service, token, description)
        return (SUCCEEDED, "") if succeeded else (FAILED, reason)

    @dbus.service.method(DISTRIBUTOR["1"], in_signature="s", out_signature="",
                         sender_keyword="sender")
    def Unregister(self, token, sender=None):
        self.distributor.unregister("1", sender, token)


class Distributor2(dbus.service.Object):
    @dbus.service.method(DISTRIBUTOR["2"], in_signature="a{sv}", out_signature="a{sv}",
                         sender_keyword="sender")
    def Register(self, args, sender=None):
        succeeded, reason = self.distributor.register(
            "2", sender, args.get("service", ""), args.get("token", ""),
            args.get("description", ""))
        reply = {"success": SUCCEEDED if succeeded else FAILED}
        if not succeeded:
            reply["reason"] = reason
        return dbus.Dictionary(reply, signature="sv")

    @dbus.service.method(DISTRIBUTOR["2"], in_signature="a{sv}", out_signature="a{sv}",
                         sender_keyword="sender")
    def Unregister(self, args, sender=None):
        self.distributor.unregister("2", sender, args.get("token", ""))
        return dbus.Dictionary({}, signature="sv")


# dbus-python finds a method by walking the class hierarchy for one on the called interface,
# so one object can carry both Register methods.
class DistributorBoth(Distributor2, Distributor1):
    pass


OBJECT_CLASSES = {"1": Distributor1, "2": Distributor2, "both": DistributorBoth}


def on_loop(function, *args):
    """Runs function(*args) on the main loop and returns its result; raises TimeoutError when
    the loop does not get to it in time."""
    done = threading.Event()
    result = {}

    def run():
        try:
            result["value"] = function(*args)
        finally:
            done.set()
        return False

    GLib.idle_add(run)
    if not done.wait(LOOP_HANDOVER):
        raise TimeoutError("main loop busy")
    return result.get("value")


def handler_for(distributor):
    class Handler(http.server.BaseHTTPRequestHandler):
        protocol_version = "HTTP/1.1"

        def log_message(self, *args):
            pass  # stdout carries events only

        def answer(self, status, body=b"", content_type="text/plain", headers=()):
            self.send_response(status)
            for name, value in headers:
                self.send_header(name, value)
            self.send_header("Content-Type", content_type)
            self.send_header("Content-Length", str(len(body)))
            self.end_headers()
            self.wfile.write(body)

        def answer_json(self, status, value):
            self.answer(status, json.dumps(value).encode(), "application/json")

        def read_body(self, limit):
            """The body, or None (after answering) when it cannot or should not be read."""
            if "chunked" in self.headers.get("Transfer-Encoding", "").lower():
                self.close_connection = True
                self.answer(411, b"Content-Length required\n")
                return None
            try:
                length = int(self.headers.get("Content-Length", "0"))
            except ValueError:
                length = -1
            if length < 0 or length > limit:
                self.close_connection = True  # the body stays unread
                self.answer(400 if length < 0 else 413, b"bad length\n")
                return None
            return self.rfile.read(length)

        def do_GET(self):
            if self.path == "/control/registrations":
                self.answer_json(200, on_loop(lambda: [
                    {"service": r["service"], "endpoint": distributor.endpoint(r),
                     "description": r["description"], "interface": r["interface"]}
                    for r in distributor.by_key.values()]))
            else:
                self.answer(404, b"not found\n")

        def do_POST(self):
            if self.path.startswith("/push/"):
                self.push(self.path[len("/push/"):])
            elif self.path == "/control/unregister":
                body = self.read_body(64 * 1024)
                if body is None:
                    return
                try:
                    service = json.loads(body)["service"]
                except (ValueError, KeyError, TypeError):
                    self.answer(400, b"expected {\"service\": name}\n")
                    return
                self.answer_json(200, {"count": on_loop(distributor.drop_service, service)})
            else:
                self.answer(404, b"not found\n")

        def push(self, endpoint_id):
            if not on_loop(lambda: endpoint_id in distributor.by_id):
                self.close_connection = True
                self.answer(404, b"no such endpoint\n")
                return
            body = self.read_body(MAX_MESSAGE)
            if body is None:
                return
            if not body:
                self.answer(400, b"empty message\n")
                return
            message_id = on_loop(distributor.deliver, endpoint_id, body)
            if message_id is None:  # unregistered meanwhile
                self.answer(404, b"no such endpoint\n")
            else:
                self.answer(201, headers=[("Location", f"/message/{message_id}")])

    return Handler


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--name", default="zandorintest")
    parser.add_argument("--interface", choices=sorted(OBJECT_CLASSES), default="2")
    parser.add_argument("--refuse", metavar="REASON")
    args = parser.parse_args()

    dbus.mainloop.glib.DBusGMainLoop(set_as_default=True)
    loop = GLib.MainLoop()
    bus = dbus.SessionBus()
    bus_name = DISTRIBUTOR_PREFIX + args.name
    if bus.request_name(bus_name, dbus.bus.NAME_FLAG_DO_NOT_QUEUE) not in (
            dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER, dbus.bus.REQUEST_NAME_REPLY_ALREADY_OWNER):
        print(f"{bus_name} is taken", file=sys.stderr)
        return 2
    distributor = Distributor(bus, args.refuse)
    exported = OBJECT_CLASSES[args.interface](bus, DISTRIBUTOR_PATH)
    exported.distributor = distributor

    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), handler_for(distributor))
    server.daemon_threads = True
    distributor.port = server.server_address[1]
    threading.Thread(target=server.serve_forever, daemon=True).start()

    def on_stdin(fd, _condition):
        # Read on the loop, not on a thread: a thread blocked in stdin at exit aborts Python.
        try:
            if os.read(fd, 4096):
                return True
        except OSError:
            pass
        loop.quit()
        return False

    GLib.io_add_watch(sys.stdin.fileno(), GLib.PRIORITY_DEFAULT, GLib.IO_IN | GLib.IO_HUP,
                      on_stdin)
    for signum in (signal.SIGTERM, signal.SIGINT):
        GLib.unix_signal_add(GLib.PRIORITY_HIGH, signum, loop.quit)

    say(event="ready", port=distributor.port, name=bus_name)
    loop.run()
    server.shutdown()
    server.server_close()
    exported.remove_from_connection()
    bus.release_name(bus_name)
    return 0


if __name__ == "__main__":
    sys.exit(main())
