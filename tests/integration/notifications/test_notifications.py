#!/usr/bin/python3
"""User notifications through org.freedesktop.Notifications, against the tests' notification
server on a private session bus, through a probe: that nothing blocks or fails without a working
server, what Notify carries where the end-to-end tests do not look, and which clicks count.

Usage: test_notifications.py <zandorin_notifications_probe> [unittest options]
"""

import os
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "support", "desktop"))
from gi.repository import GLib  # noqa: E402
from session import DesktopSession, EventProcess  # noqa: E402

PROBE = None
SESSION = None
STEP = 10.0  # seconds any one step may take
NO_BUS = {"DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/bus"}


def setUpModule():
    global SESSION
    if not PROBE or not os.access(PROBE, os.X_OK):
        raise unittest.SkipTest(f"no probe executable: {PROBE!r}")
    SESSION = DesktopSession(keyring=False, watcher=False)
    SESSION.__enter__()


def tearDownModule():
    if SESSION is not None:
        SESSION.__exit__(None, None, None)


class NotificationsTest(unittest.TestCase):
    def setUp(self):
        self.children = []
        self.addCleanup(self.stop_children)

    def stop_children(self):
        while self.children:
            self.children.pop().stop()

    def child(self, argv, env):
        self.children.append(EventProcess(argv, env, STEP))
        return self.children[-1]

    def daemon(self, *options):
        return self.child(["/usr/bin/python3", os.path.join(HERE, "fake_notification_daemon.py"),
                           SESSION.bus_address, *options], SESSION.env)

    def probe(self, env=None):
        return self.child([PROBE], dict(SESSION.env, QT_QPA_PLATFORM="offscreen", **(env or {})))

    def test_permission_and_adding_never_block_whatever_the_server(self):
        # Server options (None: no server), environment, whether granted, the error's start.
        for case, server, env, granted, error in (
                ("server", (), None, True, ""),
                ("hung server", ("--silent",), None, True, ""),
                ("no server", None, None, False, "no notification server: "),
                ("no bus", None, NO_BUS, False, "no D-Bus session bus: ")):
            with self.subTest(case):
                daemon = self.daemon(*server) if server is not None else None
                probe = self.probe(env)
                answer = probe.ask("authorization", cmd="authorize")
                self.assertEqual((answer["granted"], answer["main"]), (granted, True))
                self.assertEqual((answer["error"] or "")[:len(error)], error)
                for n in range(5):  # add() returns at once, whatever the server does
                    self.assertLess(probe.ask("added", cmd="add", id=f"n{n}")["us"], 50_000)
                if daemon:
                    self.assertEqual(len(daemon.wait_for("notify", 5)), 5)
                self.assertEqual(probe.stop(), 0)
            self.stop_children()

    def test_a_body_is_shown_as_text_even_by_a_server_that_reads_markup(self):
        body = "R&D <b>台北</b> 完成"
        for caps, sent_body in (("actions,body", body),
                                ("actions,body,body-markup", "R&amp;D &lt;b&gt;台北&lt;/b&gt; 完成")):
            with self.subTest(caps):
                daemon = self.daemon(f"--caps={caps}")
                probe = self.probe()
                probe.ask("authorization", cmd="authorize")  # learns the capabilities
                probe.send(cmd="add", id="n1", title="登入成功", body=body)
                note = daemon.wait_for("notify", 1)[0]
                del note["event"], note["id"]
                self.assertEqual(note, {
                    "app_name": "ZandorinAuth", "replaces_id": 0, "app_icon": "",
                    "summary": "登入成功", "body": sent_body, "actions": ["default", "開啟"],
                    "hints": {"desktop-entry": "zandorin-auth",
                              "sound-name": "message-new-instant"},
                    "expire_timeout": -1})
            self.stop_children()

    def test_a_click_reaches_the_delegate_once_and_only_for_our_notifications(self):
        daemon = self.daemon()
        probe = self.probe()
        for n in (1, 2, 3):
            probe.ask("added", cmd="add", id=f"n{n}", title=f"t{n}",
                      userInfo={"url": f"https://x/{n}"})
        first, second, third = (note["id"] for note in daemon.wait_for("notify", 3))
        daemon.send_line(str(first))
        index, _ = probe.expect("didReceive")
        # The same id from someone who is not the server.
        SESSION.bus.emit_signal(None, "/org/freedesktop/Notifications",
                                "org.freedesktop.Notifications", "ActionInvoked",
                                GLib.Variant("(us)", (second, "default")))
        SESSION.bus.flush_sync(None)
        for nid in (first, 999, third):  # answered already, another application's, ours
            daemon.send_line(str(nid))
        probe.expect("didReceive", index + 1)
        probe.ask("pong", cmd="ping")
        self.assertEqual([(e["id"], e["action"], e["userInfo"], e["main"])
                          for e in probe.events("didReceive")],
                         [("n1", "default", {"url": "https://x/1"}, True),
                          ("n3", "default", {"url": "https://x/3"}, True)])


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        PROBE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
