#!/usr/bin/python3
"""The UnifiedPush connector against the tests' distributor (tests/support/push) on a private
session bus, through a probe: what the end-to-end push test does not reach (refusals, the older
Distributor1 interface, bytes that are not text, a restart, an unregistration by the
distributor, calls for another token).

Usage: test_unifiedpush.py <zandorin_unifiedpush_probe> [unittest options]
"""

import os
import stat
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..",
                                "support", "push"))
from distributor import TestDistributor  # noqa: E402
from gi.repository import Gio, GLib  # noqa: E402
from session import DesktopSession, EventProcess  # noqa: E402 (on the path through distributor)

PROBE = None
STEP = 10.0  # seconds any one step may take
SERVICE = "com.zandorin.auth.probe"  # the bus name the probe owns
PAYLOADS = (bytes(range(256)), bytes(range(256)) * 16)  # not text; the largest a server takes


class UnifiedPushTest(unittest.TestCase):
    def setUp(self):
        if not PROBE or not os.access(PROBE, os.X_OK):
            self.skipTest(f"no probe executable: {PROBE!r}")
        self.session = DesktopSession(keyring=False, watcher=False).__enter__()
        self.addCleanup(self.session.__exit__)
        # In a directory that does not exist yet, as on a first start.
        self.token_file = os.path.join(tempfile.mkdtemp(dir=self.session.root), "new", "token")

    def start(self, child):
        self.addCleanup(child.stop)
        return child

    def probe(self, env=None):
        return self.start(EventProcess([PROBE, SERVICE, self.token_file],
                                       dict(self.session.env, QT_QPA_PLATFORM="offscreen",
                                            **(env or {})), STEP))

    def register(self, probe, distributor):
        """Registers; the device token as text, which is the endpoint of our registration."""
        answer = probe.ask("didRegister", cmd="register")
        self.assertEqual(bytes.fromhex(answer["hex"]).decode(), answer["text"])
        self.assertTrue(answer["main"])
        ours = [r for r in distributor.registrations() if r["service"] == SERVICE]
        self.assertEqual([r["endpoint"] for r in ours], [answer["text"]])
        return ours[0]

    def test_a_failed_registration_reaches_the_delegate_once_on_the_main_thread(self):
        # Distributor options (None: none), probe environment, what the description must say.
        no_bus = {"DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/bus"}
        for options, env, says in (({"refuse": "ACTION_REQUIRED"}, None, "action_required"),
                                   ({"refuse": "NETWORK", "interface": "1"}, None, "network"),
                                   (None, None, "no unifiedpush distributor found"),
                                   (None, no_bus, "no d-bus session bus"),
                                   ({}, None, "is taken")):
            with self.subTest(says):
                if says == "is taken":  # by another connection
                    self.session.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                      "org.freedesktop.DBus", "RequestName",
                                      GLib.Variant("(su)", (SERVICE, 4)))
                distributor = None if options is None else \
                    self.start(TestDistributor(self.session.env, timeout=STEP, **options))
                probe = self.probe(env)
                probe.send(cmd="register")
                _, failure = probe.expect("didFail")
                self.assertTrue(failure["main"])
                self.assertIn(says, failure["description"].lower())
                probe.ask("pong", cmd="ping")
                self.assertEqual((len(probe.events("didFail")), probe.events("didRegister")),
                                 (1, []))
                if options and "refuse" in options:
                    self.assertEqual(len(distributor.wait_for("refused")), 1)
                for child in (probe, distributor):
                    if child:
                        child.stop()

    def test_either_interface_delivers_bytes_unchanged_and_survives_restarts(self):
        # The distributor's interfaces, the one the connector is to use.
        for interfaces, used in (("1", "1"), ("both", "2")):
            with self.subTest(interfaces):
                distributor = self.start(TestDistributor(self.session.env, interfaces, timeout=STEP))
                probe = self.probe()
                registration = self.register(probe, distributor)
                self.assertEqual((registration["description"], registration["interface"]),
                                 ("ZandorinAuth probe", used))
                self.assertEqual(stat.S_IMODE(os.stat(self.token_file).st_mode), 0o600)
                for payload in PAYLOADS:
                    start = len(probe.out.lines)
                    self.assertEqual(distributor.push(registration["endpoint"], payload), 201)
                    _, received = probe.expect("didReceive", start)
                    self.assertEqual(bytes.fromhex(received["hex"]), payload)
                    self.assertTrue(received["main"])
                delivered = distributor.wait_for("delivered", len(PAYLOADS))
                self.assertEqual([e["identifier"] for e in probe.events("didReceive")],
                                 [e["id"] for e in delivered])
                if used == "2":  # Connector2 calls are answered, a message with its id
                    self.assertEqual([(e["error"], e["reply_id"]) for e in delivered],
                                     [(None, e["id"]) for e in delivered])
                    self.assertIsNone(distributor.wait_for("endpoint")[0]["error"])

                # The connection token is kept: a restart registers the same endpoint.
                probe.stop()
                probe = self.probe()
                self.assertEqual(self.register(probe, distributor), registration)
                # Unregistered by the distributor: a failure; registering again recovers.
                self.assertEqual(distributor.unregister(SERVICE), 1)
                self.assertTrue(probe.expect("didFail")[1]["description"])
                second = self.register(probe, distributor)["endpoint"]
                self.assertNotEqual(second, registration["endpoint"])
                start = len(probe.out.lines)
                self.assertEqual(distributor.push(second, b"again"), 201)
                self.assertEqual(probe.expect("didReceive", start)[1]["hex"], b"again".hex())
                with open(self.token_file) as f:
                    token = f.read().strip()
                for process in (probe, distributor):
                    self.assertNotIn(token, process.output())
                probe.stop()
                distributor.stop()
                os.remove(self.token_file)

    def test_calls_for_another_token_are_ignored(self):
        distributor = self.start(TestDistributor(self.session.env, "both", timeout=STEP))
        probe = self.probe()
        endpoint = self.register(probe, distributor)["endpoint"]
        wrong, message = GLib.Variant("s", "not-our-token"), GLib.Variant("ay", b"forged")
        forged = GLib.Variant("s", "http://127.0.0.1:1/push/forged")
        for interface, method, args in (
                ("2", "Message", {"token": wrong, "message": message, "id": wrong}),
                ("2", "Message", {"message": message}),
                ("2", "NewEndpoint", {"token": wrong, "endpoint": forged}),
                ("2", "Unregistered", {"token": wrong}),
                ("1", "Message", GLib.Variant("(says)", ("not-our-token", b"forged", "m2"))),
                ("1", "NewEndpoint", GLib.Variant("(ss)", ("not-our-token", forged.unpack()))),
                ("1", "Unregistered", GLib.Variant("(s)", ("not-our-token",)))):
            with self.subTest(f"Connector{interface}.{method}"):
                call = Gio.DBusMessage.new_method_call(
                    SERVICE, "/org/unifiedpush/Connector", f"org.unifiedpush.Connector{interface}",
                    method)
                if interface == "1":  # Connector1 calls want no answer
                    call.set_body(args)
                    call.set_flags(Gio.DBusMessageFlags.NO_REPLY_EXPECTED)
                    self.session.bus.send_message(call, Gio.DBusSendMessageFlags.NONE)
                else:  # Connector2 calls get one, of any kind, at once
                    call.set_body(GLib.Variant("(a{sv})", (args,)))
                    self.session.bus.send_message_with_reply_sync(
                        call, Gio.DBusSendMessageFlags.NONE, int(STEP * 1000), None)
        # The calls above reached the probe before this one, from the same connection.
        self.session.call(SERVICE, "/org/unifiedpush/Connector",
                          "org.freedesktop.DBus.Introspectable", "Introspect")
        self.assertEqual(distributor.push(endpoint, b"genuine"), 201)
        probe.expect("didReceive")
        probe.ask("pong", cmd="ping")
        self.assertEqual([bytes.fromhex(e["hex"]) for e in probe.events("didReceive")],
                         [b"genuine"])
        self.assertEqual((len(probe.events("didRegister")), probe.events("didFail")), (1, []))


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        PROBE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
