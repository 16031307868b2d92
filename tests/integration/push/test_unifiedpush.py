#!/usr/bin/python3
"""The UnifiedPush connector against the tests' distributor (tests/support/push) on a private
session bus, through a probe: refusals, the older Distributor1 interface, bytes that are not
text, the connection token kept across starts, calls for another token, and an unregistration
by the distributor. The end-to-end push test covers a plain registration and a JSON message.

Usage: test_unifiedpush.py <zandorin_unifiedpush_probe> [unittest options]
"""

import os
import shutil
import stat
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "support", "push"))
from distributor import TestDistributor  # noqa: E402
from gi.repository import Gio, GLib  # noqa: E402
from session import DesktopSession, EventProcess  # noqa: E402 (on the path through distributor)

PROBE = None
SESSION = None
STEP = 10.0  # seconds any one step may take
SERVICE = "com.zandorin.auth.probe"  # the bus name the probe owns
PAYLOADS = (bytes(range(256)), bytes(range(256)) * 16)  # not text; the largest a server takes


def setUpModule():
    global SESSION
    if not PROBE or not os.access(PROBE, os.X_OK):
        raise unittest.SkipTest(f"no probe executable: {PROBE!r}")
    SESSION = DesktopSession(keyring=False, watcher=False)
    SESSION.__enter__()


def tearDownModule():
    if SESSION is not None:
        SESSION.__exit__(None, None, None)


def bus_name_call(method, *args):
    return SESSION.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                        method, GLib.Variant("(su)" if len(args) == 2 else "(s)", args))


class UnifiedPushTest(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="zandorin-push-")
        self.addCleanup(shutil.rmtree, self.dir, True)
        self.children = []
        self.addCleanup(self.stop_all)

    def stop_all(self):
        while self.children:
            self.children.pop().stop()

    def token_file(self, name="unifiedpush-token"):
        # In a directory that does not exist yet, as on a first start.
        return os.path.join(self.dir, "zandorin-auth", name)

    def probe(self, token_file=None, env=None):
        self.children.append(EventProcess(
            [PROBE, SERVICE, token_file or self.token_file()],
            dict(SESSION.env, QT_QPA_PLATFORM="offscreen", **(env or {})), STEP))
        return self.children[-1]

    def distributor(self, **options):
        self.children.append(TestDistributor(env=SESSION.env, timeout=STEP, **options))
        return self.children[-1]

    def register(self, probe, distributor):
        """Registers; the device token as text and our registration at the distributor."""
        answer = probe.ask("didRegister", cmd="register")
        self.assertEqual(bytes.fromhex(answer["hex"]).decode(), answer["text"])
        self.assertTrue(answer["main"])
        ours = [r for r in distributor.registrations() if r["service"] == SERVICE]
        self.assertEqual(len(ours), 1, ours)
        return answer["text"], ours[0]

    def test_a_failed_registration_reaches_the_delegate_once_on_the_main_thread(self):
        # Distributor options (None: none), probe environment, whether another connection
        # holds our bus name, what the description must say.
        no_bus = {"DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/bus"}
        for case, options, env, name_taken, says in (
                ("refused through Distributor2", {"refuse": "ACTION_REQUIRED"}, None, False,
                 "action_required"),
                ("refused through Distributor1", {"refuse": "NETWORK", "interface": "1"}, None,
                 False, "network"),
                ("no bus", None, no_bus, False, "no d-bus session bus"),
                ("our bus name taken", {}, None, True, "is taken")):
            with self.subTest(case):
                if name_taken:
                    self.assertEqual(bus_name_call("RequestName", SERVICE, 4).unpack(), (1,))
                distributor = self.distributor(**options) if options is not None else None
                probe = self.probe(env=env)
                probe.send(cmd="register")
                _, failure = probe.expect("didFail")
                self.assertTrue(failure["main"])
                self.assertIn(says, failure["description"].lower())
                probe.ask("pong", cmd="ping")
                self.assertEqual((len(probe.events("didFail")), probe.events("didRegister")),
                                 (1, []))
                if distributor and not name_taken:
                    self.assertEqual(len(distributor.wait_for("refused")), 1)
                if name_taken:
                    bus_name_call("ReleaseName", SERVICE)
            self.stop_all()

    def test_either_interface_registers_delivers_bytes_unchanged_and_hears_unregistration(self):
        # The distributor's interfaces, the one the connector is to use.
        for interfaces, used in (("1", "1"), ("both", "2")):
            with self.subTest(interfaces):
                distributor = self.distributor(interface=interfaces)
                probe = self.probe()
                endpoint, registration = self.register(probe, distributor)
                self.assertEqual(registration, {"service": SERVICE, "endpoint": endpoint,
                                                "description": "ZandorinAuth probe",
                                                "interface": used})
                self.assertEqual(stat.S_IMODE(os.stat(self.token_file()).st_mode), 0o600)

                for payload in PAYLOADS:
                    start = len(probe.out.lines)
                    self.assertEqual(distributor.push(endpoint, payload), 201)
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

                self.assertEqual(distributor.unregister(SERVICE), 1)
                _, failure = probe.expect("didFail")
                self.assertTrue(failure["main"] and failure["description"])
                # Registering again recovers, with a new endpoint.
                second, _ = self.register(probe, distributor)
                self.assertNotEqual(second, endpoint)
                start = len(probe.out.lines)
                self.assertEqual(distributor.push(second, b"again"), 201)
                self.assertEqual(bytes.fromhex(probe.expect("didReceive", start)[1]["hex"]),
                                 b"again")

                with open(self.token_file()) as f:
                    token = f.read().strip()
                for process in (probe, distributor):
                    self.assertNotIn(token, process.output())
            self.stop_all()
            shutil.rmtree(os.path.dirname(self.token_file()))

    def test_the_connection_token_survives_a_restart(self):
        distributor = self.distributor()
        probe = self.probe()
        first, _ = self.register(probe, distributor)
        self.assertEqual(self.register(probe, distributor)[0], first)  # asked again
        with open(self.token_file()) as f:
            token = f.read()
        probe.stop()
        probe = self.probe()
        self.assertEqual(self.register(probe, distributor)[0], first)
        with open(self.token_file()) as f:
            self.assertEqual(f.read(), token)
        self.assertEqual([e["again"] for e in distributor.events("registered")],
                         [False, True, True])
        # Another token file is another registration.
        probe.stop()
        other = self.probe(self.token_file("other"))
        self.assertNotEqual(other.ask("didRegister", cmd="register")["text"], first)

    def test_calls_for_another_token_are_ignored(self):
        distributor = self.distributor(interface="both")
        probe = self.probe()
        endpoint, _ = self.register(probe, distributor)
        wrong = "not-our-token"
        message = GLib.Variant("ay", b"forged")
        for interface, method, signature, args in (
                ("2", "Message", "(a{sv})",
                 ({"token": GLib.Variant("s", wrong), "message": message,
                   "id": GLib.Variant("s", "m1")},)),
                ("2", "Message", "(a{sv})", ({"message": message},)),
                ("2", "NewEndpoint", "(a{sv})",
                 ({"token": GLib.Variant("s", wrong),
                   "endpoint": GLib.Variant("s", "http://127.0.0.1:1/push/forged")},)),
                ("2", "Unregistered", "(a{sv})", ({"token": GLib.Variant("s", wrong)},)),
                ("1", "Message", "(says)", (wrong, b"forged", "m2")),
                ("1", "NewEndpoint", "(ss)", (wrong, "http://127.0.0.1:1/push/forged")),
                ("1", "Unregistered", "(s)", (wrong,))):
            with self.subTest(f"Connector{interface}.{method}{signature}"):
                call = Gio.DBusMessage.new_method_call(
                    SERVICE, "/org/unifiedpush/Connector", f"org.unifiedpush.Connector{interface}",
                    method)
                call.set_body(GLib.Variant(signature, args))
                if interface == "1":  # Connector1 calls want no answer
                    call.set_flags(Gio.DBusMessageFlags.NO_REPLY_EXPECTED)
                    SESSION.bus.send_message(call, Gio.DBusSendMessageFlags.NONE)
                else:  # Connector2 calls get one, of any kind, at once
                    SESSION.bus.send_message_with_reply_sync(
                        call, Gio.DBusSendMessageFlags.NONE, int(STEP * 1000), None)
        # The calls above reached the probe before this one, from the same connection.
        SESSION.call(SERVICE, "/org/unifiedpush/Connector", "org.freedesktop.DBus.Introspectable",
                     "Introspect")
        probe.ask("pong", cmd="ping")
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
