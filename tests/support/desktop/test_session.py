#!/usr/bin/python3
"""Smoke check of the desktop harness against the bare tray baseline (bench/bare_tray): its
menu is read and clicked, and stopping the session leaves no process and no directory behind.

Usage: test_session.py <path to bare-tray> [unittest options]
"""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from session import SEPARATOR, DesktopSession, entry  # noqa: E402

BARE_TRAY = None
BARE_LAYOUT = [entry("Mirrowen", enabled=False), SEPARATOR,
               entry("  Tirrel知識庫", enabled=False), entry("    載入中…", enabled=False),
               SEPARATOR, entry("登入 Kestrune 帳號…"), SEPARATOR,
               entry("結束", shortcut=(("Control", "Q"),))]


class HarnessTest(unittest.TestCase):
    def test_tray_read_and_clicked_then_everything_stopped(self):
        with DesktopSession() as session:
            app = session.start_app(BARE_TRAY)
            self.assertEqual(app.wait_for_layout(BARE_LAYOUT), BARE_LAYOUT)
            self.assertEqual(session.viewable_windows(), [])
            app.click("結束")
            self.assertEqual(app.wait(10), 0)
            running = session.start_app(BARE_TRAY)
            running.wait_for_item()
            # The keyring daemon is the one our child started, not one it handed over to.
            self.assertEqual(session.name_pid("org.freedesktop.secrets"), session._keyring.pid)
            procs = [session._xvfb, session._dbus, session._watcher, session._keyring,
                     running.proc]
            root = session.root
        self.assertEqual([p.args[0] for p in procs if p.poll() is None], [])
        self.assertFalse(os.path.exists(root))


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit("usage: test_session.py <bare-tray> [unittest options]")
    BARE_TRAY = sys.argv.pop(1)
    unittest.main()
