#!/usr/bin/python3
"""Remote notifications through UnifiedPush, against a distributor and push server of our own
(tests/support/push) on a private session bus: how registration succeeds and fails, that the
endpoint is the device token and survives a restart, that pushed bytes arrive unchanged, and
that only the distributor's messages for our token count.

Usage: test_unifiedpush.py <zandorin_unifiedpush_probe> [unittest options]
"""

import json
import os
import shutil
import stat
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SUPPORT = os.path.join(HERE, "..", "..", "support")
sys.path.insert(0, os.path.join(SUPPORT, "desktop"))
sys.path.insert(0, os.path.join(SUPPORT, "push"))
from distributor import TestDistributor  # noqa: E402
from gi.repository import Gio, GLib  # noqa: E402
from session import DesktopSession, EventProcess  # noqa: E402

PROBE = None
SESSION = None
STEP = 10.0  # seconds any one step may take
SERVICE = "com.zandorin.auth.probe"  # the bus name the probe owns
DESCRIPTION = "ZandorinAuth probe"  # what the probe registers with
CONNECTOR_PATH = "/org/unifiedpush/Connector"
NO_BUS = {"DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/bus"}
PAYLOADS = (
    b"hello",
    "登入成功 ✓ café 🚀".encode(),
    json.dumps({"title": "知識庫已更新", "count": 3, "url": "https://x.example/a?b=c&d=é"},
               ensure_ascii=False).encode(),
    bytes(range(256)),  # not text at all, NUL first
    b"\x00",
    bytes(range(256)) * 16,  # the largest message a push server takes
)


def setUpModule():
    global SESSION
    if not PROBE or not os.access(PROBE, os.X_OK):
        raise unittest.SkipTest(f"no probe executable: {PROBE!r}")
    SESSION = DesktopSession(keyring=False, watcher=False)
    SESSION.__enter__()


def tearDownModule():
    if SESSION is not None:
        SESSION.__exit__(None, None, None)


class Probe(EventProcess):
    """The probe process; the end of its input ends it."""

    def __init__(self, token_file, env=None):
        super().__init__([PROBE, SERVICE, token_file],
                         dict(SESSION.env, QT_QPA_PLATFORM="offscreen", **(env or {})), STEP)

    def settle(self):
        """Returns once the probe has handled what reached it before: its main thread has
        answered a ping sent now."""
        self.ask("pong", cmd="ping")


def call_connector(interface, method, signature, args, reply=True):
    """Calls the probe's connector from the test's own connection; the reply, the D-Bus error
    name, or None when no reply was asked for."""
    message = Gio.DBusMessage.new_method_call(SERVICE, CONNECTOR_PATH, interface, method)
    message.set_body(GLib.Variant(signature, args))
    if not reply:
        message.set_flags(Gio.DBusMessageFlags.NO_REPLY_EXPECTED)
        SESSION.bus.send_message(message, Gio.DBusSendMessageFlags.NONE)
        return None
    try:
        answer, _serial = SESSION.bus.send_message_with_reply_sync(
            message, Gio.DBusSendMessageFlags.NONE, int(STEP * 1000), None)
    except GLib.Error as error:
        return f"no answer: {error.message}"
    if answer.get_message_type() == Gio.DBusMessageType.ERROR:
        return answer.get_error_name()
    return answer.get_body()


def bus_call(method, *args):
    return SESSION.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                        method, GLib.Variant("(su)" if len(args) == 2 else "(s)", args))


class UnifiedPushTest(unittest.TestCase):
    def setUp(self):
        self.root = tempfile.mkdtemp(prefix="zandorin-push-")
        self.addCleanup(shutil.rmtree, self.root, True)
        self.fresh_files()
        self.probes = []
        self.distributors = []
        self.addCleanup(self.stop_all)

    def stop_all(self):
        while self.probes:
            self.probes.pop().stop()
        while self.distributors:
            self.distributors.pop().stop()

    def fresh_files(self):
        """A new directory for the token files, as for a new user."""
        self.dir = tempfile.mkdtemp(dir=self.root)

    def token_file(self, name="unifiedpush-token"):
        # In a directory that does not exist yet, as on a first start.
        return os.path.join(self.dir, "zandorin-auth", name)

    def probe(self, token_file=None, env=None):
        self.probes.append(Probe(token_file or self.token_file(), env))
        return self.probes[-1]

    def distributor(self, **options):
        self.distributors.append(TestDistributor(env=SESSION.env, timeout=STEP, **options))
        return self.distributors[-1].__enter__()

    def register(self, probe, distributor):
        """Registers; the device token as text and our registration at the distributor."""
        answer = probe.ask("didRegister", cmd="register")
        self.assertEqual(bytes.fromhex(answer["hex"]).decode(), answer["text"])
        self.assertTrue(answer["main"])
        ours = [r for r in distributor.registrations() if r["service"] == SERVICE]
        self.assertEqual(len(ours), 1, ours)
        return answer["text"], ours[0]

    def assert_token_kept_secret(self, *processes):
        with open(self.token_file()) as f:
            token = f.read().strip()
        self.assertTrue(token)
        for process in processes:
            self.assertNotIn(token, process.output() if isinstance(process, Probe)
                             else json.dumps(process.events()) + process.stderr())

    def test_registration_failures_reach_the_delegate_at_once(self):
        # Distributor options (None: none on the bus), probe environment, whether another
        # connection holds our bus name, what the description must say.
        for case, options, env, name_taken, says in (
                ("no distributor", None, None, False, "no unifiedpush distributor"),
                ("refused through Distributor2", {"refuse": "ACTION_REQUIRED"}, None, False,
                 "action_required"),
                ("refused through Distributor1", {"refuse": "NETWORK", "interface": "1"}, None,
                 False, "network"),
                ("no bus", None, NO_BUS, False, ""),
                ("our bus name taken", {}, None, True, "")):
            with self.subTest(case):
                if name_taken:
                    self.assertEqual(bus_call("RequestName", SERVICE, 4).unpack(), (1,))
                    self.addCleanup(bus_call, "ReleaseName", SERVICE)
                distributor = self.distributor(**options) if options is not None else None
                probe = self.probe(env=env)
                started = time.monotonic()
                probe.send(cmd="register")
                probe.settle()
                self.assertLess(time.monotonic() - started, 1.0, "register blocked")
                _, failure = probe.expect("didFail")
                self.assertTrue(failure["main"])
                self.assertIn(says, failure["description"].lower())
                self.assertTrue(failure["description"])
                probe.settle()
                self.assertEqual((len(probe.events("didFail")), probe.events("didRegister")),
                                 (1, []))
                if distributor and not name_taken:
                    self.assertEqual(len(distributor.wait_for("refused")), 1)
                if name_taken:
                    bus_call("ReleaseName", SERVICE)
            self.stop_all()

    def test_the_endpoint_is_the_device_token(self):
        # The distributor's interfaces, the one the connector is to use.
        for interfaces, used in (("2", "2"), ("1", "1"), ("both", "2")):
            with self.subTest(interfaces):
                distributor = self.distributor(interface=interfaces)
                probe = self.probe()
                token, registration = self.register(probe, distributor)
                self.assertEqual(registration, {"service": SERVICE, "endpoint": token,
                                                "description": DESCRIPTION, "interface": used})
                self.assertTrue(token.startswith(f"http://127.0.0.1:{distributor.port}/push/"))
                if used == "2":  # only Connector2 calls are answered
                    self.assertIsNone(distributor.wait_for("endpoint")[0]["error"])
                self.assertEqual(stat.S_IMODE(os.stat(self.token_file()).st_mode), 0o600)
                self.assert_token_kept_secret(probe, distributor)
            self.stop_all()
            self.fresh_files()

    def test_the_connection_token_survives_a_restart(self):
        for interface in ("2", "1"):
            with self.subTest(interface):
                distributor = self.distributor(interface=interface)
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
                # The distributor's own account arrives on another pipe: wait for it.
                self.assertEqual([e["again"] for e in distributor.wait_for("registered", 3)],
                                 [False, True, True])
                probe.stop()
                # Another token file is another registration.
                other = self.probe(self.token_file("other"))
                self.assertNotEqual(other.ask("didRegister", cmd="register")["text"], first)
            self.stop_all()
            self.fresh_files()

    def test_pushed_messages_arrive_byte_for_byte(self):
        for interface in ("2", "1"):
            with self.subTest(interface):
                distributor = self.distributor(interface=interface)
                probe = self.probe()
                endpoint, _ = self.register(probe, distributor)
                for payload in PAYLOADS:
                    start = len(probe.out.lines)
                    self.assertEqual(distributor.push(endpoint, payload), 201)
                    _, received = probe.expect("didReceive", start)
                    self.assertEqual(bytes.fromhex(received["hex"]), payload)
                    self.assertTrue(received["main"])
                delivered = distributor.wait_for("delivered", len(PAYLOADS))
                self.assertEqual([e["identifier"] for e in probe.events("didReceive")],
                                 [e["id"] for e in delivered])
                if interface == "2":  # Connector2 answers each message with its id
                    self.assertEqual([(e["error"], e["reply_id"]) for e in delivered],
                                     [(None, e["id"]) for e in delivered])
                self.assert_token_kept_secret(probe, distributor)
            self.stop_all()

    def test_only_the_calls_for_our_token_count(self):
        distributor = self.distributor(interface="both")
        probe = self.probe()
        endpoint, _ = self.register(probe, distributor)
        probe.settle()
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
                # Connector1 calls want no reply; Connector2 calls get one, of any kind, at once.
                answer = call_connector(f"org.unifiedpush.Connector{interface}", method,
                                        signature, args, reply=interface == "2")
                self.assertFalse(str(answer).startswith("no answer"), answer)
        # The calls above reached the probe before this one, from the same connection.
        call_connector("org.freedesktop.DBus.Introspectable", "Introspect", "()", ())
        probe.settle()
        self.assertEqual(distributor.push(endpoint, b"genuine"), 201)
        probe.expect("didReceive")
        probe.settle()
        self.assertEqual([bytes.fromhex(e["hex"]) for e in probe.events("didReceive")],
                         [b"genuine"])
        self.assertEqual((len(probe.events("didRegister")), probe.events("didFail")), (1, []))

    def test_an_unregistration_by_the_distributor_reaches_the_delegate(self):
        for interface in ("2", "1"):
            with self.subTest(interface):
                distributor = self.distributor(interface=interface)
                probe = self.probe()
                first, _ = self.register(probe, distributor)
                self.assertEqual(distributor.unregister(SERVICE), 1)
                _, failure = probe.expect("didFail")
                self.assertTrue(failure["main"])
                self.assertTrue(failure["description"])
                # Registering again recovers, with a new endpoint.
                second, _ = self.register(probe, distributor)
                self.assertNotEqual(second, first)
                self.assertEqual(distributor.push(second, b"again"), 201)
                self.assertEqual(bytes.fromhex(probe.expect("didReceive")[1]["hex"]), b"again")
            self.stop_all()
            self.fresh_files()


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        PROBE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
