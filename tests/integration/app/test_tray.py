#!/usr/bin/python3
"""The tray entry of the built app as a desktop shell sees it: a StatusNotifierItem with a
dbusmenu menu, read and clicked over the session bus, on X11 and under KWin's Wayland compositor,
and a panel that comes late or restarts."""

from appcase import CHECKING, SIGNED_OUT, AppTestCase, access_token, main, wait_until
from gi.repository import Gio, GLib
from session import ITEM_INTERFACE, MENU_INTERFACE, WATCHER_NAME

INVALID = "org.freedesktop.DBus.Error.InvalidArgs"

# Shells read a single "_" as a mnemonic marker and "__" as an underscore.
NAMED = [CHECKING[0]._replace(label="Mirrowen — ada__l@example.com"), *CHECKING[1:]]
# WCAG 2.1 asks 3:1 of a graphical object against what surrounds it (1.4.11, non-text
# contrast). The glyph must reach it on a black panel and its ring on a white one.
MIN_CONTRAST = 3.0


def contrasting(argb, background):
    """Indices of the ARGB32 pixels that, laid over a grey of `background` (0 or 255), reach
    MIN_CONTRAST against it."""
    def linear(c):
        return c / 12.92 if c <= 0.04045 else ((c + 0.055) / 1.055) ** 2.4
    under = background / 255
    out = set()
    for i in range(0, len(argb), 4):
        a = argb[i] / 255
        lum = sum(k * linear(a * c / 255 + (1 - a) * under)
                  for k, c in zip((0.2126, 0.7152, 0.0722), argb[i + 1:i + 4]))
        if (max(lum, under) + 0.05) / (min(lum, under) + 0.05) >= MIN_CONTRAST:
            out.add(i // 4)
    return out


class TrayTest(AppTestCase):
    def check_icon(self, props):
        self.assert_symbolic(props["IconName"], props["IconThemePath"])
        sizes = {(w, h) for w, h, _ in props["IconPixmap"]}
        self.assertTrue({(16, 16), (22, 22), (24, 24), (32, 32)} <= sizes, sizes)
        for w, h, argb in props["IconPixmap"]:
            light, dark = contrasting(bytes(argb), 0), contrasting(bytes(argb), 255)
            self.assertGreater(min(len(light), len(dark)), w * h // 20, (w, h))
            either = light | dark
            # The ring encloses the glyph: nowhere does the light glyph meet the panel.
            for i in light:
                x, y = i % w, i // w
                for nx, ny in ((x + 1, y), (x - 1, y), (x, y + 1), (x, y - 1)):
                    self.assertTrue(0 <= nx < w and 0 <= ny < h and ny * w + nx in either,
                                    f"{w}x{h}: the glyph meets the panel at {(x, y)}")

    def test_item_menu_and_clicks(self):
        self.store_token("access_token", access_token(3600, "ada_l@example.com"))
        app = self.start_app()
        self.assertEqual(app.wait_for_layout(NAMED), NAMED)
        props = app.item_properties()
        self.assertEqual(
            (props["Id"], props["Title"], props["Status"], props["Menu"], props["ItemIsMenu"]),
            ("zandorin-auth", "ZandorinAuth", "Active", "/MenuBar", True))
        self.check_icon(props)

        # A left click: Plasma opens the menu itself for ItemIsMenu, or when Activate fails;
        # GNOME's extension stops asking for an Activate the item does not know.
        item = app.wait_for_item()
        with self.assertRaisesRegex(GLib.Error, "org.freedesktop.DBus.Error.UnknownMethod"):
            self.session.call(item.bus_name, item.path, ITEM_INTERFACE, "Activate",
                              GLib.Variant("(ii)", (200, 10)))
        if not self.session.wayland:
            self.assertFalse(wait_until(self.session.viewable_windows, 1), "a window appeared")

        # A command that rebuilds the menu: panels learn of it from LayoutUpdated, and the new
        # entries have new ids, or a panel keeping properties by id would show the old ones.
        updates = []
        self.session.bus.signal_subscribe(None, MENU_INTERFACE, "LayoutUpdated", item.menu_path,
                                          None, Gio.DBusSignalFlags.NONE,
                                          lambda *_: updates.append(1))
        old = app.menu_layout(with_ids=True)
        app.click(NAMED[0].label)  # disabled: answered, and nothing happens
        self.assertEqual(app.menu_layout(with_ids=True), old)
        self.check_requests(item, old[0][0], old[0][1].label)
        app.click("登出")
        self.assertTrue(wait_until(lambda: GLib.MainContext.default().iteration(False)
                                   or updates, 5), "no LayoutUpdated")
        self.assertEqual(app.wait_for_layout(SIGNED_OUT), SIGNED_OUT)
        self.assertFalse({i for i, _ in old} & {i for i, _ in app.menu_layout(with_ids=True)})

    def check_requests(self, item, row, label):
        """Any process may ask the menu anything: every answer names an entry once, and an
        unknown id or an oversized request is refused, so no reply outgrows what the bus
        carries (the bus would drop the app, and the icon with it)."""
        gone, no_data = row + 10000, GLib.Variant("i", 0)
        for method, signature, args, expected in (
                ("GetGroupProperties", "(aias)", ([row] * 3, ["label"]),
                 ([(row, {"label": label})],)),
                ("GetGroupProperties", "(aias)", ([row] * 200000, []), INVALID),
                ("GetGroupProperties", "(aias)", ([row, gone], []), INVALID),
                ("GetProperty", "(is)", (row, "label"), (label,)),
                ("GetProperty", "(is)", (gone, "label"), INVALID),
                ("GetProperty", "(is)", (row, "no-such-property"), INVALID),
                ("GetLayout", "(iias)", (gone, -1, []), INVALID),
                ("Event", "(isvu)", (gone, "clicked", no_data, 0), INVALID),
                ("EventGroup", "(a(isvu))", ([(row, "hovered", no_data, 0)] +
                                             [(gone, "clicked", no_data, 0)] * 2,), ([gone],)),
                ("EventGroup", "(a(isvu))", ([(gone, "clicked", no_data, 0)],), INVALID),
                ("AboutToShowGroup", "(ai)", ([row, gone, gone],), ([], [gone])),
                ("AboutToShowGroup", "(ai)", ([gone],), INVALID)):
            with self.subTest(method=method, args=str(args)[:40]):
                def ask():
                    return self.session.call(item.bus_name, item.menu_path, MENU_INTERFACE,
                                             method, GLib.Variant(signature, args)).unpack()
                if expected == INVALID:
                    self.assertRaisesRegex(GLib.Error, INVALID, ask)
                else:
                    self.assertEqual(ask(), expected)


class WaylandTrayTest(TrayTest):
    WAYLAND = True


class LatePanelTest(AppTestCase):
    WATCHER = False

    def test_a_late_or_restarting_panel_gets_the_item_and_the_bus_going_ends_the_app(self):
        looked = []  # the app's questions for a panel, read as they pass on the bus

        def spy(_, message, incoming):
            if incoming and message.get_member() == "NameHasOwner":
                looked.append(1)
                return None  # not ours to answer
            return message
        self.session.bus.add_filter(spy)
        self.session.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          "AddMatch", GLib.Variant("(s)", (
                              f"type='method_call',member='NameHasOwner',arg0='{WATCHER_NAME}',"
                              "eavesdrop=true",)))
        app = self.start_app()
        self.assertTrue(wait_until(lambda: looked), "the app never looked for a panel")
        self.assertIsNone(app.poll())
        self.session.start_watcher()
        self.assertEqual(app.wait_for_layout(SIGNED_OUT), SIGNED_OUT)
        self.session.watcher.stop()
        self.session.start_watcher()
        app.item = None  # registered anew with the new watcher, by the connection's unique name
        self.assertRegex("@".join(app.wait_for_item()[:2]), r"^:\d+\.\d+@/StatusNotifierItem$")

        self.session.stop_bus()
        self.assertEqual(app.wait(10), 1)
        self.assertIn("zandorin-auth: lost the connection to the session bus\n", app.stderr())


if __name__ == "__main__":
    main()
