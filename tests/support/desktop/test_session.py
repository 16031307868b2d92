#!/usr/bin/python3
"""Checks the desktop harness itself against the bare tray baseline (bench/bare_tray).

Usage: test_session.py <path to bare-tray> [unittest options]
"""

import os
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from session import SEPARATOR, DesktopSession, _pid_alive, entry  # noqa: E402

BARE_TRAY = None

BARE_LAYOUT = [
    entry("Mirrowen", enabled=False),
    SEPARATOR,
    entry("  Tirrel知識庫", enabled=False),
    entry("    載入中…", enabled=False),
    SEPARATOR,
    entry("登入 Kestrune 帳號…"),
    SEPARATOR,
    entry("結束", shortcut=(("Control", "Q"),)),
]


class HarnessTest(unittest.TestCase):
    def test_tray_is_exported_readable_and_clickable(self):
        with DesktopSession(keyring=False) as session:
            app = session.start_app(BARE_TRAY)
            item = app.wait_for_item()
            self.assertEqual((item.path, item.menu_path), ("/StatusNotifierItem", "/MenuBar"))
            self.assertIn(item.bus_name + item.path, session.registered_items())
            self.assertEqual(app.wait_for_layout(BARE_LAYOUT), BARE_LAYOUT)
            self.assertEqual(session.viewable_windows() or [], [])

            app.click("結束")
            self.assertEqual(app.wait(10), 0)
            gone = session._watcher_lines.wait_for(
                lambda line: line == f"UNREGISTERED {item.bus_name} {item.path}", 5)
            self.assertIsNotNone(gone, "the watcher kept an item whose owner left the bus")
            self.assertEqual(session.registered_items(), [])

    def test_second_instance_is_told_apart_by_pid(self):
        with DesktopSession(keyring=False) as session:
            first = session.start_app(BARE_TRAY)
            first_item = first.wait_for_item()
            second = session.start_app(BARE_TRAY)
            second_item = second.wait_for_item()
            self.assertNotEqual(first_item.bus_name, second_item.bus_name)
            self.assertEqual(session.name_pid(second_item.bus_name), second.pid)

    def test_keyring_round_trip(self):
        with DesktopSession() as session:
            self.assertIsNone(session.lookup_secret("access_token"))
            cases = [("access_token", "header.payload.sig"),
                     ("refresh_token", "ünïcødé 值"),
                     ("com.zandorin.auth.access_token", "replaced")]
            for key, value in cases:
                with self.subTest(key=key):
                    session.store_secret(key, value)
                    self.assertEqual(session.lookup_secret(key), value)
            self.assertEqual(session.lookup_secret("refresh_token"), "ünïcødé 值")
            session.clear_secret("access_token")
            self.assertIsNone(session.lookup_secret("access_token"))

    def test_stop_leaves_nothing_behind(self):
        with DesktopSession() as session:
            app = session.start_app(BARE_TRAY)
            app.wait_for_item()
            pids = [session._xvfb.pid, session._dbus.pid, session._watcher.pid,
                    session._keyring_pid, app.pid]
            root = session.root
        deadline = time.monotonic() + 5
        while any(_pid_alive(p) for p in pids) and time.monotonic() < deadline:
            time.sleep(0.05)
        self.assertEqual([p for p in pids if _pid_alive(p)], [])
        self.assertFalse(os.path.exists(root))


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: test_session.py <bare-tray> [unittest options]")
    BARE_TRAY = sys.argv.pop(1)
    unittest.main()
