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

NO_TRAY = ("NO TRAY no system tray: the desktop offers neither a StatusNotifierItem host "
           "(org.kde.StatusNotifierWatcher) nor an XEmbed tray")
QUIT = entry("結束", shortcut=(("Control", "Q"),))

# Qt 6.4 turns the first "&&" of a label into "_&" (dbusmenu's mnemonic marker before a
# literal "&"): shells show "R&D".
FIRST_LAYOUT = [
    entry("Mirrowen — ada@example.com", enabled=False),
    SEPARATOR,
    entry("  Tirrel知識庫", enabled=False),
    entry("    點數\t1,234", enabled=False),
    entry("    R_&D 載入中…", enabled=False),
    SEPARATOR,
    entry("重新連線", shortcut=(("Control", "R"),)),
    entry("登出"),
    SEPARATOR,
    QUIT,
]


def wait_until(predicate, timeout, interval=0.05):
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= end:
            return value
        time.sleep(interval)


class LatePanelSession(DesktopSession):
    """A session whose panel (the StatusNotifierWatcher) starts only when asked to."""

    def _start_watcher(self):
        pass

    def start_panel(self):
        DesktopSession._start_watcher(self)


class XEmbedTray:
    """Owns the XEmbed tray selection of screen 0, as an old-style panel does; it never
    docks anything, which is enough for an application to see a tray."""

    def __init__(self, display):
        x11 = ctypes.CDLL("libX11.so.6")
        x11.XOpenDisplay.restype = ctypes.c_void_p
        x11.XOpenDisplay.argtypes = [ctypes.c_char_p]
        x11.XDefaultRootWindow.restype = ctypes.c_ulong
        x11.XDefaultRootWindow.argtypes = [ctypes.c_void_p]
        x11.XCreateSimpleWindow.restype = ctypes.c_ulong
        x11.XCreateSimpleWindow.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_int,
                                            ctypes.c_int, ctypes.c_uint, ctypes.c_uint,
                                            ctypes.c_uint, ctypes.c_ulong, ctypes.c_ulong]
        x11.XInternAtom.restype = ctypes.c_ulong
        x11.XInternAtom.argtypes = [ctypes.c_void_p, ctypes.c_char_p, ctypes.c_int]
        x11.XSetSelectionOwner.argtypes = [ctypes.c_void_p, ctypes.c_ulong, ctypes.c_ulong,
                                           ctypes.c_ulong]
        x11.XFlush.argtypes = [ctypes.c_void_p]
        x11.XSync.argtypes = [ctypes.c_void_p, ctypes.c_int]
        x11.XCloseDisplay.argtypes = [ctypes.c_void_p]
        self.x11 = x11
        self.dpy = x11.XOpenDisplay(display.encode())
        if not self.dpy:
            raise RuntimeError(f"cannot open display {display}")
        window = x11.XCreateSimpleWindow(self.dpy, x11.XDefaultRootWindow(self.dpy), 0, 0, 1, 1,
                                         0, 0, 0)
        selection = x11.XInternAtom(self.dpy, b"_NET_SYSTEM_TRAY_S0", 0)
        x11.XSetSelectionOwner(self.dpy, selection, window, 0)
        x11.XSync(self.dpy, 0)

    def close(self):
        if self.dpy:
            self.x11.XCloseDisplay(self.dpy)
            self.dpy = None


class TrayExportTest(unittest.TestCase):
    def setUp(self):
        if not PROBE or not os.access(PROBE, os.X_OK):
            self.skipTest(f"no probe executable: {PROBE!r}")

    def session(self, cls=DesktopSession):
        session = cls(keyring=False)
        session.__enter__()
        self.addCleanup(session.__exit__, None, None, None)
        return session

    def wait_for_output(self, app, line, timeout=10):
        found = wait_until(lambda: line in app.stdout().splitlines(), timeout)
        self.assertTrue(found, f"no {line!r} from the probe; it wrote {app.stdout()!r}, "
                               f"{app.stderr()[-2000:]!r}")

    def raw_layout(self, session, app):
        item = app.wait_for_item()
        reply = session.call(item.bus_name, item.menu_path, MENU_INTERFACE, "GetLayout",
                             GLib.Variant("(iias)", (0, -1, [])))
        return reply.unpack()[1][2]

    def test_menu_icon_and_item_as_a_shell_reads_them(self):
        session = self.session()
        app = session.start_app(PROBE)
        app.wait_for_item()
        self.assertEqual(app.wait_for_layout(FIRST_LAYOUT), FIRST_LAYOUT)

        with_icons = [props["label"] for _, props, _ in self.raw_layout(session, app)
                      if props.get("icon-data")]
        self.assertEqual(with_icons, ["Mirrowen — ada@example.com", "    點數\t1,234"])

        props = app.item_properties()
        self.assertEqual((props["Id"], props["Status"], props["Menu"]),
                         ("zandorin-auth", "Active", "/MenuBar"))
        sizes = {(w, h) for w, h, _ in props["IconPixmap"]}
        self.assertTrue({(16, 16), (22, 22), (24, 24)} <= sizes, sizes)
        for w, h, argb in props["IconPixmap"]:
            alphas = bytes(argb)[0::4]  # ARGB32 in network byte order
            self.assertGreater(sum(a > 128 for a in alphas), w * h // 20, (w, h))
        self.assertEqual(session.viewable_windows() or [], [], "a window was mapped")

    def test_a_plain_click_on_the_icon_opens_the_menu(self):
        session = self.session()
        if session.viewable_windows() is None:
            self.skipTest("xwininfo (x11-utils) is not installed")
        app = session.start_app(PROBE)
        item = app.wait_for_item()
        app.wait_for_layout(FIRST_LAYOUT)
        self.assertEqual(session.viewable_windows(), [])
        session.call(item.bus_name, item.path, ITEM_INTERFACE, "Activate",
                     GLib.Variant("(ii)", (200, 10)))
        self.assertTrue(wait_until(session.viewable_windows, 5), "no menu appeared")

    def test_a_panel_that_starts_after_the_app_still_gets_the_item(self):
        session = self.session(LatePanelSession)
        app = session.start_app(PROBE, args=("15000",))
        time.sleep(1.5)  # the probe is polling for a tray by now
        self.assertIsNone(app.poll())
        session.start_panel()
        app.wait_for_item(timeout=10)
        self.assertEqual(app.wait_for_layout(FIRST_LAYOUT), FIRST_LAYOUT)

    def test_without_any_tray_start_up_gives_up_after_its_patience(self):
        session = self.session(LatePanelSession)
        started = time.monotonic()
        app = session.start_app(PROBE, args=("1000",))
        self.assertEqual(app.wait(10), 2)
        self.assertGreaterEqual(time.monotonic() - started, 0.9)
        self.assertEqual(app.stdout().splitlines(), [NO_TRAY])

    def test_an_xembed_tray_is_found_at_once(self):
        session = self.session(LatePanelSession)
        tray = XEmbedTray(session.display)
        self.addCleanup(tray.close)
        started = time.monotonic()
        app = session.start_app(PROBE, args=("15000",))
        self.wait_for_output(app, "LAUNCHED")
        self.assertLess(time.monotonic() - started, 10, "it waited for its patience to run out")


if __name__ == "__main__":
    if len(sys.argv) < 2:
        sys.exit(f"usage: {os.path.basename(sys.argv[0])} <zandorin_qt_tray_probe> "
                 "[unittest options]")
    PROBE = os.path.abspath(sys.argv.pop(1))
    unittest.main()
