#!/usr/bin/python3
"""The Qt status item as a desktop shell sees it: a StatusNotifierItem with a dbusmenu menu,
read and clicked over a private session bus, and how start-up copes with a tray that is late,
missing, or of the older XEmbed kind.

Usage: test_tray_export.py <zandorin_qt_tray_probe> [unittest options]
"""

import ctypes
import os
import sys
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "support", "desktop"))
from gi.repository import GLib  # noqa: E402
from session import (ITEM_INTERFACE, MENU_INTERFACE, SEPARATOR, DesktopSession,  # noqa: E402
                     entry)

PROBE = None

# Qt 6.4 turns the first "&&" of a label into "_&" (dbusmenu's mnemonic marker before a
# literal "&"): shells show "R&D".
LAYOUT = [
    entry("Mirrowen — ada@example.com", enabled=False),
    SEPARATOR,
    entry("    點數\t1,234", enabled=False),
    entry("    R_&D 載入中…", enabled=False),
    SEPARATOR,
    entry("重新連線", shortcut=(("Control", "R"),)),
    entry("結束", shortcut=(("Control", "Q"),)),
]


def wait_until(predicate, timeout):
    end = time.monotonic() + timeout
    while not (value := predicate()) and time.monotonic() < end:
        time.sleep(0.05)
    return value


class TrayExportTest(unittest.TestCase):
    def session(self, watcher=True):
        session = DesktopSession(keyring=False, watcher=watcher)
        session.__enter__()
        self.addCleanup(session.__exit__, None, None, None)
        return session

    def test_menu_icon_and_item_as_a_shell_reads_them(self):
        session = self.session()
        app = session.start_app(PROBE)
        self.assertEqual(app.wait_for_layout(LAYOUT), LAYOUT)
        item = app.wait_for_item()
        layout = session.call(item.bus_name, item.menu_path, MENU_INTERFACE, "GetLayout",
                              GLib.Variant("(iias)", (0, -1, []))).unpack()[1][2]
        self.assertEqual([props["label"] for _, props, _ in layout if props.get("icon-data")],
                         ["Mirrowen — ada@example.com", "    點數\t1,234"])

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
        session.call(item.bus_name, item.path, ITEM_INTERFACE, "Activate",
                     GLib.Variant("(ii)", (200, 10)))
        self.assertTrue(wait_until(session.viewable_windows, 5), "no menu appeared")

    def test_a_panel_that_starts_after_the_app_still_gets_the_item(self):
        session = self.session(watcher=False)
        app = session.start_app(PROBE, args=("15000",))
        time.sleep(1.5)  # the probe is polling for a tray by now
        self.assertIsNone(app.poll())
        session.start_watcher()
        self.assertEqual(app.wait_for_layout(LAYOUT), LAYOUT)

    def test_without_any_tray_start_up_gives_up_after_its_patience(self):
        session = self.session(watcher=False)
        started = time.monotonic()
        app = session.start_app(PROBE, args=("1000",))
        self.assertEqual(app.wait(10), 2)
        self.assertGreaterEqual(time.monotonic() - started, 0.9)
        self.assertEqual(app.stdout().splitlines(),
                         ["NO TRAY no system tray: the desktop offers neither a "
                          "StatusNotifierItem host (org.kde.StatusNotifierWatcher) nor an "
                          "XEmbed tray"])

    def test_an_xembed_tray_is_found_at_once(self):
        session = self.session(watcher=False)
        # Owns the tray selection of screen 0 as an old-style panel does; never docks anything.
        x11 = ctypes.CDLL("libX11.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XDefaultRootWindow.restype = x11.XCreateSimpleWindow.restype = ctypes.c_ulong
        x11.XInternAtom.restype = ctypes.c_ulong
        display = ctypes.c_void_p(x11.XOpenDisplay(session.display.encode()))
        self.assertTrue(display.value, "cannot open the display")
        self.addCleanup(x11.XCloseDisplay, display)
        window = ctypes.c_ulong(x11.XCreateSimpleWindow(
            display, ctypes.c_ulong(x11.XDefaultRootWindow(display)), 0, 0, 1, 1, 0,
            ctypes.c_ulong(0), ctypes.c_ulong(0)))
        selection = ctypes.c_ulong(x11.XInternAtom(display, b"_NET_SYSTEM_TRAY_S0", 0))
        x11.XSetSelectionOwner(display, selection, window, ctypes.c_ulong(0))
        x11.XSync(display, 0)

        started = time.monotonic()
        app = session.start_app(PROBE, args=("15000",))
        self.assertTrue(wait_until(lambda: "LAUNCHED" in app.stdout().splitlines(), 10),
                        f"the probe wrote {app.stdout()!r}, {app.stderr()[-2000:]!r}")
        self.assertLess(time.monotonic() - started, 10, "it waited for its patience to run out")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(f"usage: {os.path.basename(sys.argv[0])} <zandorin_qt_tray_probe> "
                 "[unittest options]")
    PROBE = os.path.abspath(sys.argv.pop(1))
    unittest.main()
