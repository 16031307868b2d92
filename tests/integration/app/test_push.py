#!/usr/bin/python3
"""UnifiedPush and desktop notifications through the real executable, signed out, against the
tests' distributor (tests/support/push) and notification server: registration through either
distributor interface or the reason it failed, a registration kept across a restart and ended by
the distributor, calls that do not carry our token, and what a notification carries and which
clicks count. (Reporting the device token to the service is in test_sign_in.py.)

Usage: test_push.py <zandorin-auth> [unittest options]
"""

import json
import os
import stat
import sys

from appcase import HERE, AppTestCase, main, test_browser, wait_until

sys.path.insert(0, os.path.join(HERE, "..", "..", "support", "push"))
from distributor import TestDistributor  # noqa: E402
from gi.repository import Gio, GLib  # noqa: E402

SERVICE = "com.zandorin.auth"
FAILED = "[Push] 無法取得 APNs token: "
DISTRIBUTOR = "the UnifiedPush distributor org.unifiedpush.Distributor.zandorintest "


class PushTest(AppTestCase):
    def message(self, title, body="", url=None):
        return json.dumps({"title": title, "body": body, **({"url": url} if url else {})},
                          ensure_ascii=False).encode()

    def lines(self, app, start):
        return wait_until(lambda: [line for line in app.stdout().splitlines()
                                   if line.startswith(start)])

    def test_registration_through_either_interface_or_the_reason_it_failed(self):
        # A notification server that never answers: nothing waits for it.
        notifications = self.notification_server("--silent")
        # Distributor options (None: none), whether another program holds our bus name, the
        # failure (None: registered, and the interface the app then uses).
        for options, taken, failure in (
                ({"refuse": "ACTION_REQUIRED"}, False, "refused the registration: ACTION_REQUIRED"),
                ({"refuse": "NETWORK", "interface": "1"}, False, "refused the registration: NETWORK"),
                (None, False, "no UnifiedPush distributor found on the session bus"),
                ({}, True, f"the bus name {SERVICE} is taken by another program"),
                ({"interface": "1"}, False, None),
                ({"interface": "both"}, False, None)):
            with self.subTest(options=options, taken=taken):
                self.session.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                  "org.freedesktop.DBus", "RequestName" if taken else "ReleaseName",
                                  GLib.Variant("(su)" if taken else "(s)",
                                               (SERVICE, 4) if taken else (SERVICE,)))
                distributor = None if options is None else \
                    self.enter(TestDistributor(self.session.env, **options))
                app = self.start_app()
                if failure:
                    expected = failure if options is None or taken else DISTRIBUTOR + failure
                    self.assertEqual(self.lines(app, FAILED), [FAILED + expected])
                    self.assertIsNone(self.session.lookup_secret("push_token"))
                else:
                    [registration] = distributor.wait_for("registered")
                    self.assertEqual(registration["interface"],
                                     "1" if options["interface"] == "1" else "2")
                    self.assertEqual(wait_until(lambda: self.session.lookup_secret("push_token")),
                                     registration["endpoint"].encode().hex())
                    shown = len(notifications.events("notify"))
                    self.assertEqual(distributor.push(registration["endpoint"],
                                                      self.message("新文章")), 201)
                    notifications.wait_for("notify", shown + 1)
                app.click("結束")
                self.assertEqual(app.wait(10), 0)
                if distributor:
                    distributor.stop()

    def test_a_registration_outlives_a_restart_and_forgeries_and_ends_with_the_distributor(self):
        notifications = self.notification_server("--caps=actions,body,body-markup")
        browser = test_browser.install(os.path.join(self.session.root, "browser"),
                                       self.session.env)
        distributor = self.enter(TestDistributor(self.session.env, "both"))
        app = self.start_app()
        [first] = distributor.wait_for("registered")
        token_file = os.path.join(self.session.env["XDG_DATA_HOME"], "zandorin-auth",
                                  "unifiedpush-token")
        self.assertEqual(stat.S_IMODE(os.stat(token_file).st_mode), 0o600)
        app.click("結束")
        self.assertEqual(app.wait(10), 0)
        app = self.start_app()
        self.assertEqual(distributor.wait_for("registered", 2)[1]["endpoint"], first["endpoint"])

        # Calls from anyone but the distributor, which alone knows the token.
        wrong, forged = GLib.Variant("s", "not-our-token"), self.message("偽造")
        for interface, method, args in (
                ("2", "Message", {"token": wrong, "message": GLib.Variant("ay", forged),
                                  "id": wrong}),
                ("2", "Message", {"message": GLib.Variant("ay", forged)}),
                ("2", "NewEndpoint", {"token": wrong, "endpoint": wrong}),
                ("2", "Unregistered", {"token": wrong}),
                ("1", "Message", ("not-our-token", forged, "m2")),
                ("1", "NewEndpoint", ("not-our-token", "http://127.0.0.1:1/push/forged")),
                ("1", "Unregistered", ("not-our-token",))):
            call = Gio.DBusMessage.new_method_call(SERVICE, "/org/unifiedpush/Connector",
                                                   f"org.unifiedpush.Connector{interface}", method)
            if interface == "2":  # answered, of any kind, at once
                call.set_body(GLib.Variant("(a{sv})", (args,)))
                self.session.bus.send_message_with_reply_sync(
                    call, Gio.DBusSendMessageFlags.NONE, 10000, None)
            else:
                call.set_body(GLib.Variant({3: "(says)", 2: "(ss)", 1: "(s)"}[len(args)], args))
                call.set_flags(Gio.DBusMessageFlags.NO_REPLY_EXPECTED)
                self.session.bus.send_message(call, Gio.DBusSendMessageFlags.NONE)
        # The calls above reached the app before this one, from the same connection.
        self.session.call(SERVICE, "/org/unifiedpush/Connector",
                          "org.freedesktop.DBus.Introspectable", "Introspect")

        # A body is shown as text, even by a server that reads markup.
        for n in (1, 2):
            distributor.push(first["endpoint"], self.message(
                f"新文章 {n}", "R&D <b>台北</b>", f"http://127.0.0.1:1/{n}"))
        notes = notifications.wait_for("notify", 2)
        self.assertEqual([(n["summary"], n["body"]) for n in notes],
                         [(f"新文章 {n}", "R&amp;D &lt;b&gt;台北&lt;/b&gt;") for n in (1, 2)])
        self.assertEqual({k: notes[0][k] for k in ("app_name", "actions", "hints")}, {
            "app_name": "ZandorinAuth", "actions": ["default", "開啟"],
            "hints": {"desktop-entry": "zandorin-auth", "sound-name": "message-new-instant"}})

        # A click counts once, and only from the notification server.
        first_id, second_id = notes[0]["id"], notes[1]["id"]
        self.session.bus.emit_signal(None, "/org/freedesktop/Notifications",
                                     "org.freedesktop.Notifications", "ActionInvoked",
                                     GLib.Variant("(us)", (first_id, "default")))
        self.session.bus.flush_sync(None)
        for nid in (first_id, first_id, 999, second_id):
            notifications.send_line(str(nid))
        def opened(n):
            return [line for line in test_browser.log_lines(browser)
                    if line.endswith(f"opens http://127.0.0.1:1/{n}")]
        self.assertTrue(wait_until(lambda: opened(2)), test_browser.log_lines(browser))
        self.assertEqual(len(opened(1)), 1)

        self.assertEqual(distributor.unregister(SERVICE), 1)
        self.assertEqual(self.lines(app, FAILED), [FAILED + DISTRIBUTOR + "ended the registration"])
        self.assertEqual(self.session.lookup_secret("push_token"),
                         first["endpoint"].encode().hex())
        with open(token_file) as f:
            self.secrets.append(f.read().strip())
        self.assert_no_secret_in(app)


if __name__ == "__main__":
    main()
