#!/usr/bin/python3
"""UnifiedPush and desktop notifications through the real executable, signed out, against the
tests' distributor and notification server."""

import html
import json
import os
import stat

from appcase import AppTestCase, Distributor, main, test_browser, wait_until
from gi.repository import Gio, GLib

SERVICE = "com.zandorin.auth"
FAILED = "[Push] 無法取得 APNs token: "
DISTRIBUTOR = "the UnifiedPush distributor org.unifiedpush.Distributor.zandorintest "


def message(title, body="", url=None):
    return json.dumps({"title": title, "body": body, "url": url}, ensure_ascii=False).encode()


def fields(**values):
    return GLib.Variant("(a{sv})", ({k: GLib.Variant("ay" if isinstance(v, bytes) else "s", v)
                                     for k, v in values.items()},))


class PushTest(AppTestCase):
    def quit(self, app):
        app.click("結束")
        self.assertEqual(app.wait(10), 0)

    def failures(self, app):
        return wait_until(lambda: [line for line in app.stdout().splitlines()
                                   if line.startswith(FAILED)])

    def test_registration_through_either_interface_or_the_reason_it_failed(self):
        notifications = self.notification_server(silent=True)  # nothing may wait for it
        # Distributor options (None: none), whether another program holds our bus name, the
        # failure, or the interface the registration went through.
        for options, taken, outcome in (
                ({"refuse": "ACTION_REQUIRED"}, False,
                 DISTRIBUTOR + "refused the registration: ACTION_REQUIRED"),
                ({"refuse": "NETWORK", "interface": "1"}, False,
                 DISTRIBUTOR + "refused the registration: NETWORK"),
                (None, False, "no UnifiedPush distributor found on the session bus"),
                ({}, True, f"the bus name {SERVICE} is taken by another program"),
                ({"interface": "1"}, False, "1"),
                ({"interface": "both"}, False, "2")):
            with self.subTest(options=options, taken=taken):
                self.session.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                  "org.freedesktop.DBus", "RequestName" if taken else "ReleaseName",
                                  GLib.Variant("(su)", (SERVICE, 4)) if taken
                                  else GLib.Variant("(s)", (SERVICE,)))
                distributor = options is not None and \
                    self.enter(Distributor(self.session.bus_address, **options))
                app = self.start_app()
                if len(outcome) > 1:
                    self.assertEqual(self.failures(app), [FAILED + outcome])
                    self.assertIsNone(self.session.lookup_secret("push_token"))
                else:
                    [registration] = distributor.wait_for("registered")
                    self.assertEqual(registration["interface"], outcome)
                    self.assertEqual(wait_until(lambda: self.session.lookup_secret("push_token")),
                                     registration["endpoint"].encode().hex())
                    shown = len(notifications.events("notify"))
                    self.assertEqual(distributor.push(registration["endpoint"], message("新文章")),
                                     201)
                    notes = notifications.wait_for("notify", shown + 1)[shown:]
                    self.assertEqual([n["summary"] for n in notes], ["新文章"])
                self.quit(app)
                if distributor:
                    distributor.stop()

    def test_a_registration_outlives_a_restart_and_forgeries_and_ends_with_the_distributor(self):
        notifications = self.notification_server(caps=("actions", "body", "body-markup"))
        browser = test_browser.install(os.path.join(self.session.root, "browser"),
                                       self.session.env)
        distributor = self.enter(Distributor(self.session.bus_address, "both"))
        token_file = os.path.join(self.session.env["XDG_DATA_HOME"], "zandorin-auth",
                                  "unifiedpush-token")
        # A link planted at the file's temporary name is not written through.
        elsewhere = os.path.join(self.session.root, "elsewhere")
        os.makedirs(os.path.dirname(token_file), 0o700)
        os.symlink(elsewhere, token_file + ".new")
        app = self.start_app()
        [first] = distributor.wait_for("registered")
        self.quit(app)
        self.assertEqual(stat.S_IMODE(os.lstat(token_file).st_mode), 0o600)
        self.assertFalse(os.path.lexists(elsewhere) or os.path.lexists(token_file + ".new"))
        app = self.start_app()
        self.assertEqual(distributor.wait_for("registered", 2)[1]["endpoint"], first["endpoint"])

        # Calls from anyone but the distributor, which alone knows the token; the Introspect
        # call reaches the app after them.
        wrong, forged = "not-our-token", message("偽造")
        for interface, method, body in (
                ("2", "Message", fields(token=wrong, message=forged, id="m1")),
                ("2", "Message", fields(message=forged)),
                ("2", "NewEndpoint", fields(token=wrong, endpoint="http://127.0.0.1:1/push/x")),
                ("2", "Unregistered", fields(token=wrong)),
                ("1", "Message", GLib.Variant("(says)", (wrong, forged, "m2"))),
                ("1", "NewEndpoint", GLib.Variant("(ss)", (wrong, "http://127.0.0.1:1/push/x"))),
                ("1", "Unregistered", GLib.Variant("(s)", (wrong,)))):
            call = Gio.DBusMessage.new_method_call(SERVICE, "/org/unifiedpush/Connector",
                                                   f"org.unifiedpush.Connector{interface}", method)
            call.set_body(body)
            call.set_flags(Gio.DBusMessageFlags.NO_REPLY_EXPECTED)
            self.session.bus.send_message(call, Gio.DBusSendMessageFlags.NONE)
        self.session.call(SERVICE, "/org/unifiedpush/Connector",
                          "org.freedesktop.DBus.Introspectable", "Introspect")

        # A body is shown as text, even by a server that reads markup.
        for n in (1, 2, 3):
            self.assertEqual(distributor.push(first["endpoint"], message(
                f"新文章 {n}", "R&D <b>台北</b>", f"http://127.0.0.1:1/{n}")), 201)
        notes = notifications.wait_for("notify", 3)
        self.assertEqual([(n["summary"], n["body"]) for n in notes],
                         [(f"新文章 {n}", "R&amp;D &lt;b&gt;台北&lt;/b&gt;") for n in (1, 2, 3)])
        self.assertEqual({k: notes[0][k] for k in ("app_name", "actions", "hints")}, {
            "app_name": "ZandorinAuth", "actions": ["default", "開啟"],
            "hints": {"desktop-entry": "zandorin-auth", "sound-name": "message-new-instant"}})

        # A click counts once, and only from the notification server.
        self.session.bus.emit_signal(None, "/org/freedesktop/Notifications",
                                     "org.freedesktop.Notifications", "ActionInvoked",
                                     GLib.Variant("(us)", (notes[1]["id"], "default")))
        self.session.bus.flush_sync(None)
        for nid in (notes[0]["id"], notes[0]["id"], 999, notes[2]["id"]):
            notifications.click(nid)
        def opened():
            return sorted(line.split()[-1][-1] for line in test_browser.log_lines(browser)
                          if " opens " in line)
        wait_until(lambda: {"1", "3"} <= set(opened()))  # 3, clicked last, comes last
        self.assertEqual(opened(), ["1", "3"])

        # A server that comes later: the body waits for its capabilities, and goes out in a form
        # that no server misreads when it does not name them.
        link = '<a href="file:///etc/passwd">R&D</a>'
        for caps, shown in ((("body", "body-markup"), html.escape(link)), (("body",), link),
                            (None, '＜a href="file:///etc/passwd"＞R＆D＜/a＞')):
            with self.subTest(caps=caps):
                notifications.stop()
                notifications = self.notification_server(caps=caps)
                self.assertEqual(distributor.push(first["endpoint"], message("連結", link)), 201)
                self.assertEqual([n["body"] for n in notifications.wait_for("notify")], [shown])

        self.assertEqual(distributor.unregister(SERVICE), 1)
        self.assertEqual(self.failures(app), [FAILED + DISTRIBUTOR + "ended the registration"])
        self.assertEqual(self.session.lookup_secret("push_token"),
                         first["endpoint"].encode().hex())
        with open(token_file) as f:
            self.secrets.append(f.read().strip())
        self.assert_no_secret_in(app)


if __name__ == "__main__":
    main()
