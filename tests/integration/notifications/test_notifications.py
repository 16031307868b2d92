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
STEP = 10.0  # seconds any one step may take


class NotificationsTest(unittest.TestCase):
    def setUp(self):
        if not PROBE or not os.access(PROBE, os.X_OK):
            self.skipTest(f"no probe executable: {PROBE!r}")
        self.session = DesktopSession(keyring=False, watcher=False).__enter__()
        self.addCleanup(self.session.__exit__)

    def child(self, argv, **env):
        process = EventProcess(argv, dict(self.session.env, QT_QPA_PLATFORM="offscreen", **env),
                               STEP)
        self.addCleanup(process.stop)
        return process

    def daemon(self, *options):
        return self.child(["/usr/bin/python3", os.path.join(HERE, "fake_notification_daemon.py"),
                           self.session.bus_address, *options])

    def test_permission_and_adding_never_block_whatever_the_server(self):
        # Server options (None: no server), environment, whether granted, the error's start.
        for server, env, granted, error in (
                ((), {}, True, ""),
                (("--silent",), {}, True, ""),  # a server that never answers
                (None, {}, False, "no notification server: "),
                (None, {"DBUS_SESSION_BUS_ADDRESS": "unix:path=/nonexistent/bus"}, False,
                 "no D-Bus session bus: ")):
            with self.subTest(server=server, env=env):
                daemon = self.daemon(*server) if server is not None else None
                probe = self.child([PROBE], **env)
                answer = probe.ask("authorization", cmd="authorize")
                self.assertEqual((answer["granted"], answer["main"]), (granted, True))
                self.assertTrue((answer["error"] or "").startswith(error), answer["error"])
                for n in range(5):  # add() returns at once, whatever the server does
                    self.assertLess(probe.ask("added", cmd="add", id=f"n{n}")["us"], 50_000)
                if daemon:
                    self.assertEqual(len(daemon.wait_for("notify", 5)), 5)
                    daemon.stop()
                self.assertEqual(probe.stop(), 0)

    def test_a_body_is_shown_as_text_even_by_a_server_that_reads_markup(self):
        body = "R&D <b>台北</b> 完成"
        for caps, sent_body in (("actions,body", body),
                                ("actions,body,body-markup", "R&amp;D &lt;b&gt;台北&lt;/b&gt; 完成")):
            with self.subTest(caps):
                daemon = self.daemon(f"--caps={caps}")
                probe = self.child([PROBE])
                probe.ask("authorization", cmd="authorize")  # learns the capabilities
                probe.send(cmd="add", id="n1", title="登入成功", body=body)
                note = daemon.wait_for("notify")[0]
                del note["event"], note["id"]
                self.assertEqual(note, {
                    "app_name": "ZandorinAuth", "replaces_id": 0, "app_icon": "",
                    "summary": "登入成功", "body": sent_body, "actions": ["default", "開啟"],
                    "hints": {"desktop-entry": "zandorin-auth",
                              "sound-name": "message-new-instant"},
                    "expire_timeout": -1})
                daemon.stop()
                probe.stop()

    def test_a_click_reaches_the_delegate_once_and_only_for_our_notifications(self):
        daemon = self.daemon()
        probe = self.child([PROBE])
        for n in (1, 2, 3):
            probe.ask("added", cmd="add", id=f"n{n}", title=f"t{n}",
                      userInfo={"url": f"https://x/{n}"})
        first, second, third = (note["id"] for note in daemon.wait_for("notify", 3))
        daemon.send_line(str(first))
        index, _ = probe.expect("didReceive")
        # The same id from someone who is not the server.
        self.session.bus.emit_signal(None, "/org/freedesktop/Notifications",
                                     "org.freedesktop.Notifications", "ActionInvoked",
                                     GLib.Variant("(us)", (second, "default")))
        self.session.bus.flush_sync(None)
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
