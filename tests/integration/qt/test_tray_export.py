#!/usr/bin/python3
"""The Qt status item as a desktop shell sees it: a StatusNotifierItem with a dbusmenu menu,
read and clicked over a private session bus, and how start-up copes with a tray that is late
or missing.

Usage: test_tray_export.py <zandorin_qt_tray_probe> [unittest options]
"""

import os
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "support", "desktop"))
from gi.repository import GLib  # noqa: E402
from session import ITEM_INTERFACE, SEPARATOR, DesktopSession, entry  # noqa: E402

PROBE = None

# Qt 6.4 turns the first "&&" of a label into "_&" (dbusmenu's mnemonic marker before a
# literal "&"): shells show "R&D".
LAYOUT = [entry("Mirrowen — ada@example.com", enabled=False), SEPARATOR,
          entry("    點數\t1,234", enabled=False), entry("    R_&D 載入中…", enabled=False),
          entry("結束", shortcut=(("Control", "Q"),))]


def wait_until(predicate, timeout):
    end = time.monotonic() + timeout
    while not (value := predicate()) and time.monotonic() < end:
        time.sleep(0.05)
    return value


class TrayExportTest(unittest.TestCase):
    def start(self, patience_ms, watcher=True):
        session = DesktopSession(keyring=False, watcher=watcher)
        session.__enter__()
        self.addCleanup(session.__exit__, None, None, None)
        return session, session.start_app(PROBE, args=(str(patience_ms),))

    def test_menu_icon_and_item_as_a_shell_reads_them(self):
        session, app = self.start(5000)
        self.assertEqual(app.wait_for_layout(LAYOUT), LAYOUT)
        props = app.item_properties()
        self.assertEqual((props["Id"], props["Status"], props["Menu"]),
                         ("zandorin-auth", "Active", "/MenuBar"))
        sizes = {(w, h) for w, h, _ in props["IconPixmap"]}
        self.assertTrue({(16, 16), (22, 22), (24, 24)} <= sizes, sizes)
        for w, h, argb in props["IconPixmap"]:
            alphas = bytes(argb)[0::4]  # ARGB32 in network byte order
            self.assertGreater(sum(a > 128 for a in alphas), w * h // 20, (w, h))
        self.assertEqual(session.viewable_windows(), [], "a window was mapped")

        # A plain click on the icon opens the menu.
        item = app.wait_for_item()
        session.call(item.bus_name, item.path, ITEM_INTERFACE, "Activate",
                     GLib.Variant("(ii)", (200, 10)))
        self.assertTrue(wait_until(session.viewable_windows, 5), "no menu appeared")

    def test_a_panel_that_starts_after_the_app_still_gets_the_item(self):
        session, app = self.start(15000, watcher=False)
        time.sleep(1.5)  # the probe is polling for a tray by now
        self.assertIsNone(app.poll())
        session.start_watcher()
        self.assertEqual(app.wait_for_layout(LAYOUT), LAYOUT)

    def test_without_any_tray_start_up_gives_up_after_its_patience(self):
        started = time.monotonic()
        _, app = self.start(1000, watcher=False)
        self.assertEqual(app.wait(10), 2)
        self.assertGreaterEqual(time.monotonic() - started, 0.9)
        self.assertEqual(app.stdout().splitlines(),
                         ["NO TRAY no system tray: the desktop offers neither a "
                          "StatusNotifierItem host (org.kde.StatusNotifierWatcher) nor an "
                          "XEmbed tray"])


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(f"usage: {os.path.basename(sys.argv[0])} <zandorin_qt_tray_probe> "
                 "[unittest options]")
    PROBE = os.path.abspath(sys.argv.pop(1))
    unittest.main()
