#!/usr/bin/python3
"""User notifications through org.freedesktop.Notifications, against a server of our own on a
private session bus: what Notify carries, which clicks reach the delegate, and that nothing
blocks or fails without a server.

Usage: test_notifications.py <zandorin_notifications_probe> [unittest options]
"""

import json
import os
import subprocess
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "support", "desktop"))
from gi.repository import GLib  # noqa: E402
from session import DesktopSession, LineReader  # noqa: E402

PROBE = None
SESSION = None
STEP = 10.0  # seconds any one step may take
BANNER, SOUND = 16, 2
HINTS = {"desktop-entry": "zandorin-auth"}
SOUND_HINTS = dict(HINTS, **{"sound-name": "message-new-instant"})
NO_BUS = {"DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/bus"}


def setUpModule():
    global SESSION
    if not PROBE or not os.access(PROBE, os.X_OK):
        raise unittest.SkipTest(f"no probe executable: {PROBE!r}")
    SESSION = DesktopSession(keyring=False)
    SESSION.__enter__()


def tearDownModule():
    if SESSION is not None:
        SESSION.__exit__(None, None, None)


class Child:
    """A process that takes and gives JSON lines; the end of its input ends it."""

    def __init__(self, argv, env):
        self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.DEVNULL, env=env)
        self.out = LineReader(self.proc.stdout)

    def send(self, **command):
        self.proc.stdin.write((json.dumps(command) + "\n").encode())
        self.proc.stdin.flush()

    def events(self, kind):
        return [e for e in map(json.loads, list(self.out.lines)) if e["event"] == kind]

    def expect(self, kind, start=0):
        found = self.out.wait_for(lambda line: json.loads(line)["event"] == kind, STEP, start)
        if found is None:
            raise AssertionError(f"no {kind!r} event in {self.out.lines!r}")
        return found[0], json.loads(found[1])

    def ask(self, kind, **command):
        """Sends a command and waits for the event it brings."""
        start = len(self.out.lines)
        self.send(**command)
        return self.expect(kind, start)[1]

    def wait_for(self, kind, count):
        end = time.monotonic() + STEP
        while len(self.events(kind)) < count and time.monotonic() < end:
            time.sleep(0.02)
        return self.events(kind)

    def stop(self):
        try:
            self.proc.stdin.close()
            self.proc.wait(STEP)
        except (BrokenPipeError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait(STEP)
        self.out.close(STEP)
        return self.proc.returncode


class NotificationsTest(unittest.TestCase):
    def setUp(self):
        self.children = []
        self.addCleanup(self.stop_children)

    def stop_children(self):
        while self.children:
            self.children.pop().stop()

    def child(self, argv, env):
        self.children.append(Child(argv, env))
        self.children[-1].expect("ready")
        return self.children[-1]

    def daemon(self, first_id=1, caps="actions,body", silent=False):
        return self.child(["/usr/bin/python3", os.path.join(HERE, "fake_notification_daemon.py"),
                           SESSION.bus_address, f"--first-id={first_id}", f"--caps={caps}"]
                          + (["--silent"] if silent else []), SESSION.env)

    def probe(self, env=None):
        return self.child([PROBE], dict(SESSION.env, QT_QPA_PLATFORM="offscreen", **(env or {})))

    def clicks(self, probe):
        probe.ask("pong", cmd="ping")
        return [(e["id"], e["action"], e["userInfo"], e["main"])
                for e in probe.events("didReceive")]

    def test_permission_is_granted_only_when_a_server_answers(self):
        for case, server, env, granted, error in (
                ("server", True, None, True, None),
                ("no server", False, None, False, "no notification server: "),
                ("no bus", False, NO_BUS, False, "no D-Bus session bus: ")):
            with self.subTest(case):
                if server:
                    self.daemon()
                probe = self.probe(env)
                started = time.monotonic()
                answer = probe.ask("authorization", cmd="authorize")
                self.assertLess(time.monotonic() - started, 3.0)
                self.assertEqual((answer["granted"], answer["main"]), (granted, True))
                self.assertEqual((answer["error"] or "")[:len(error or "")], error or "")
            self.stop_children()

    def test_notify_carries_the_request_a_default_action_and_the_chosen_hints(self):
        body = "R&D <b>台北</b> 完成"
        # Server capabilities, delegate, the body the server gets, hints (None: not shown).
        for caps, delegate, sent_body, hints in (
                ("actions,body", {"options": BANNER | SOUND}, body, SOUND_HINTS),
                ("actions,body,body-markup", {"options": BANNER},
                 "R&amp;D &lt;b&gt;台北&lt;/b&gt; 完成", HINTS),
                ("actions,body", {}, body, HINTS),
                ("actions,body", {"options": SOUND}, body, None),
                ("actions,body", {"options": BANNER, "late": True}, body, HINTS)):
            with self.subTest(caps=caps, delegate=delegate):
                daemon = self.daemon(caps=caps)
                probe = self.probe()
                probe.ask("authorization", cmd="authorize")  # learns the capabilities
                probe.send(cmd="delegate", **delegate)
                probe.send(cmd="add", id="n1", title="登入成功", body=body, userInfo={"a": 1})
                if hints:
                    daemon.wait_for("notify", 1)
                # After a second answer from the delegate, or n1 when it is not to be shown.
                probe.send(cmd="delegate")
                probe.send(cmd="add", id="marker", title="marker")
                notes = daemon.wait_for("notify", 2 if hints else 1)
                probe.ask("pong", cmd="ping")
                self.assertEqual([n["summary"] for n in daemon.events("notify")],
                                 (["登入成功"] if hints else []) + ["marker"])
                self.assertEqual(len(probe.events("willPresent")), 1 if delegate else 0)
                if hints:
                    self.assertEqual(
                        {k: notes[0][k] for k in ("app_name", "replaces_id", "app_icon", "body",
                                                  "actions", "hints", "expire_timeout")},
                        {"app_name": "ZandorinAuth", "replaces_id": 0, "app_icon": "",
                         "body": sent_body, "actions": ["default", "開啟"], "hints": hints,
                         "expire_timeout": -1})
            self.stop_children()

    def test_a_click_reaches_the_delegate_once_and_only_for_our_notifications(self):
        daemon = self.daemon()
        probe = self.probe()
        probe.send(cmd="delegate", options=BANNER)
        for n in (1, 2, 3):
            probe.send(cmd="add", id=f"n{n}", title=f"t{n}", userInfo={"url": f"https://x/{n}"})
        first, second, third = (note["id"] for note in daemon.wait_for("notify", 3))

        def emit(signal, nid):
            start = len(daemon.out.lines)
            daemon.send(emit=signal, id=nid)
            daemon.expect("emitted", start)

        emit("ActionInvoked", first)
        probe.expect("didReceive")
        # The same id from someone who is not the server.
        SESSION.bus.emit_signal(None, "/org/freedesktop/Notifications",
                                "org.freedesktop.Notifications", "ActionInvoked",
                                GLib.Variant("(us)", (second, "default")))
        SESSION.bus.flush_sync(None)
        emit("ActionInvoked", first)  # answered already
        emit("ActionInvoked", 999)  # another application's
        emit("NotificationClosed", second)
        emit("ActionInvoked", second)  # closed
        emit("ActionInvoked", third)
        probe.expect("didReceive", probe.expect("didReceive")[0] + 1)
        self.assertEqual(self.clicks(probe), [("n1", "default", {"url": "https://x/1"}, True),
                                              ("n3", "default", {"url": "https://x/3"}, True)])

        # 64 are remembered: of n1 … n70 (ids after `third`), n7 … n70.
        for n in range(1, 71):
            probe.send(cmd="add", id=f"m{n}", title="m")
        ids = {n: third + n for n in range(1, 71)}
        daemon.wait_for("notify", 73)
        for n in (6, 7, 70):
            emit("ActionInvoked", ids[n])
        probe.wait_for("didReceive", 4)
        self.assertEqual([c[0] for c in self.clicks(probe)[2:]], ["m7", "m70"])

    def test_a_new_server_starts_afresh(self):
        old = self.daemon(first_id=1)
        probe = self.probe()
        probe.send(cmd="delegate", options=BANNER)
        probe.send(cmd="add", id="before", title="before")
        old.wait_for("notify", 1)
        old.stop()
        new = self.daemon(first_id=1, caps="actions,body,body-markup")
        new.send(emit="ActionInvoked", id=1)  # its own 1, never ours
        new.expect("emitted")
        new.expect("call")  # asked, unprompted, what it can do
        time.sleep(0.2)  # the answer goes over the bus, our next command over stdin
        probe.send(cmd="add", id="after", title="after", body="a&b")
        note = new.wait_for("notify", 1)[0]
        self.assertEqual((note["id"], note["body"]), (1, "a&amp;b"))
        new.send(emit="ActionInvoked", id=1)
        probe.expect("didReceive")
        self.assertEqual([c[0] for c in self.clicks(probe)], ["after"])

    def test_nothing_blocks_or_fails_without_a_working_server(self):
        for case, hung, env in (("no server", False, None), ("hung server", True, None),
                                ("no bus", False, NO_BUS)):
            with self.subTest(case):
                daemon = self.daemon(silent=True) if hung else None
                probe = self.probe(env)
                probe.send(cmd="delegate", options=BANNER | SOUND)
                for n in range(5):
                    self.assertLess(probe.ask("added", cmd="add", id=f"n{n}")["us"], 50_000)
                started = time.monotonic()
                probe.ask("pong", cmd="ping")
                self.assertLess(time.monotonic() - started, 1.0)
                if daemon:
                    self.assertEqual(len(daemon.wait_for("notify", 5)), 5)
                self.assertEqual(probe.stop(), 0)
            self.stop_children()


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        PROBE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
