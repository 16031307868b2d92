#!/usr/bin/python3
"""The tray entry of the built app as a desktop shell sees it: a StatusNotifierItem with a
dbusmenu menu, read and clicked over the session bus, on X11 and under KWin's Wayland compositor,
and a panel that comes late; and as a person sees it in GNOME Shell's top bar, from screenshots,
while the shell's tray extension goes off and on and the shell itself dies and comes back."""

import itertools
import os
import shutil
import tempfile

from appcase import (CHECKING, DASHBOARD, INACTIVE, SIGNED_OUT, AppTestCase, ServiceCase,
                     access_token, main, signed_out, wait_until)
from gi.repository import GLib
from session import MENU_INTERFACE, WATCHER_NAME

INVALID = "org.freedesktop.DBus.Error.InvalidArgs"

# Shells read a single "_" as a mnemonic marker and "__" as an underscore.
NAMED = [CHECKING[0]._replace(label="Mirrowen — ada__l@example.com"), *CHECKING[1:]]


class TrayTest(AppTestCase):
    def test_item_menu_and_clicks(self):
        self.store_token("access_token", access_token(3600, "ada_l@example.com"))
        app = self.start_app()
        self.assertEqual(app.wait_for_layout(NAMED), NAMED)
        props = app.item_properties()
        self.assertEqual(
            (props["Id"], props["Title"], props["Status"], props["Menu"], props["ItemIsMenu"]),
            ("zandorin-auth", "ZandorinAuth", "Active", "/MenuBar", True))
        # The icon by name GnomeShellTest sees drawn; pixels for hosts that read no names.
        sizes = {(w, h) for w, h, _ in props["IconPixmap"]}
        self.assertTrue({(16, 16), (22, 22), (24, 24), (32, 32)} <= sizes, sizes)

        item = app.wait_for_item()
        # A command that rebuilds the menu (GnomeShellTest sees a panel learn of it): the new
        # entries have new ids, or a panel keeping properties by id would show the old ones.
        old = app.menu_layout(with_ids=True)
        app.click(NAMED[0].label)  # disabled: answered, and nothing happens
        self.assertEqual(app.menu_layout(with_ids=True), old)
        self.check_requests(item, old[0][0], old[0][1].label)
        app.click("登出")
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

    def test_a_late_panel_gets_the_item_and_the_bus_going_ends_the_app(self):
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
        self.session.stop_bus()
        self.assertEqual(app.wait(10), 1)
        self.assertIn("zandorin-auth: lost the connection to the session bus\n", app.stderr())


def luminance(rgb):
    return 0.2126 * rgb[0] + 0.7152 * rgb[1] + 0.0722 * rgb[2]


def median(values):
    return sorted(values)[len(values) // 2]


def pixels(image, box):
    x, y, w, h = box
    return [image.getpixel((i, j)) for i in range(x, x + w) for j in range(y, y + h)]


class GnomeShellTest(ServiceCase):
    """GNOME Shell 43 with Debian's AppIndicator extension, nested in the Xvfb screen."""

    HOST = "gnome-shell"
    # The shell tints a symbol it gets by name in the menu's text colour; pixels it draws as
    # they come, and the app's, drawn for a light menu, nearly vanish on its dark one.
    MIN_SYMBOL_STEP = 100  # luminance, 0-255

    def setUp(self):
        super().setUp()
        # The last run's screenshots, kept in the build tree for when a check fails.
        self.shots = os.path.join(os.environ.get("ZANDORIN_ARTEFACTS") or tempfile.gettempdir(),
                                  self.id())
        shutil.rmtree(self.shots, ignore_errors=True)
        os.makedirs(self.shots)

    def shot(self, name):
        image = self.session.screenshot()
        image.save(os.path.join(self.shots, name + ".png"))
        return image

    def find(self, role, name=None):
        return [n for n in self.session.shown() if n[1] == role and name in (None, n[2])]

    def top_bar_icon(self, stage):
        """The item's box in the top bar once the shell shows it there, light on the dark bar."""
        found = wait_until(lambda: self.find("menu", "ZandorinAuth"))
        self.assertEqual(len(found), 1, f"{stage}: the item is not in the top bar")
        x, y, w, h = found[0][3:]
        seen = []

        def drawn():  # the shell may show the button before it has loaded the icon
            lum = [luminance(p) for p in pixels(self.shot(f"{stage}-bar"), (x, y, w, h))]
            seen[:] = [median(lum), max(lum) - median(lum)]
            return seen[1] > 150
        wait_until(drawn, 5)
        self.assertLess(seen[0], 80, f"{stage}: the top bar is not dark")
        self.assertGreater(seen[1], 150, f"{stage}: no light icon on the bar")
        return x, y, w, h

    def open_menu(self, stage, labels):
        """Left-clicks the item; its menu's rows, top to bottom, as (label, the box of its
        symbol or None) each, a separator as "-", once they are `labels` or time is up."""
        x, y, w, h = self.top_bar_icon(stage)
        self.session.run("xdotool", "mousemove", str(x + w // 2), str(y + h // 2), "click", "1")
        rows = []

        def read():
            nodes, rows[:] = self.session.shown(), []
            for i, (depth, role, _, *box) in enumerate(nodes):
                if role == "menu item":  # a separator too, one without text
                    inside = list(itertools.takewhile(lambda n: n[0] > depth, nodes[i + 1:]))
                    rows.append((next((n[2] for n in inside if n[2]), "-"), next(
                        (n[3:] for n in inside if n[1] == "panel" and n[5] == n[6] > 0), None)))
            return [label for label, _ in rows] == labels
        wait_until(read)
        return rows

    def check_menu(self, stage, expected, dot, symbols):
        """`symbols`: how many rows' symbols stand out."""
        labels = ["-" if e.type == "separator" else e.label.replace("__", "_") for e in expected]
        rows = self.open_menu(stage, labels)
        menu = self.shot(f"{stage}-menu")
        self.assertEqual([label for label, _ in rows], labels, stage)
        self.assertEqual(self.dot(menu, rows[0][1]), dot, stage)
        steps = [round(self.symbol_step(menu, box)) for _, box in rows[1:] if box]
        self.assertEqual(len(steps), symbols, f"{stage}: {steps}")
        self.assertGreaterEqual(min(steps), self.MIN_SYMBOL_STEP, f"{stage}: {steps}")
        self.session.run("xdotool", "key", "Escape")
        self.assertTrue(wait_until(lambda: not self.find("menu item"), 5), "the menu stayed")

    def dot(self, image, box):
        """The colour of a status dot: "red", "yellow", "green" or None."""
        vivid = [p for p in pixels(image, box) if max(p) - min(p) > 100]
        if len(vivid) < 20:
            return None
        r, g, _ = (median(c) for c in zip(*vivid))
        return "red" if g < r / 2 else "yellow" if g > 120 < r else "green" if g > r else None

    def symbol_step(self, image, box):
        """How far a symbol's most distinct pixel lies from the menu's background beside it."""
        x, y, _, h = box
        background = median([luminance(image.getpixel((x - 3, j))) for j in range(y, y + h)])
        return max(abs(luminance(p) - background) for p in pixels(image, box))

    def test_the_top_bar_shows_the_item_and_its_menu_and_gets_them_back(self):
        self.service.request("/test/mcp/subscription", {"active": False})
        app = self.start_app()
        self.assertEqual(app.wait_for_layout(signed_out(DASHBOARD)), signed_out(DASHBOARD))
        self.check_menu("start", signed_out(DASHBOARD), "red", 4)

        self.session.set_shell_extension(False)
        self.assertTrue(wait_until(lambda: not self.find("menu", "ZandorinAuth")),
                        "the item outlived the extension")
        self.session.set_shell_extension(True)
        self.check_menu("extension-back", signed_out(DASHBOARD), "red", 4)

        self.session.kill_shell()
        self.session.start_shell()
        app.item = None  # registered anew, by the connection's unique name
        self.assertRegex(app.wait_for_item().bus_name, r"^:\d+\.\d+$")
        self.check_menu("shell-back", signed_out(DASHBOARD), "red", 4)

        self.sign_in(app)
        self.assertEqual(app.wait_for_layout(INACTIVE), INACTIVE)
        self.check_menu("signed-in", INACTIVE, "yellow", 5)


if __name__ == "__main__":
    main()
