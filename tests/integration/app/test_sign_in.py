#!/usr/bin/python3
"""Sign-in, checkout, the device token report, reconnect and sign-out through the real
executable, the local service, the scripted browser and the zandorin-auth:// handler."""

import os
import urllib.error

from appcase import (DASHBOARD, INACTIVE, RECONNECT, SIGN_IN, SUBSCRIBE, Distributor,
                     ServiceCase, keyring_locked, main, signed_in, signed_out, wait_until)
from gi.repository import GLib
from session import MENU_INTERFACE
ACTIVE = signed_in(["  MCP Server 連線正常", "  ✅ 訂閱有效", "  方案：Mirrowen 年訂閱",
                    "  到期日：2027-12-31"], dashboard=DASHBOARD)
UNREACHABLE = signed_in(["  MCP Server 無法連線"], [RECONNECT], DASHBOARD)


class SignInTest(ServiceCase):
    def test_sign_in_push_checkout_reconnect_and_sign_out_through_the_desktop(self):
        notifications, request = self.notification_server(), self.service.request
        distributor = self.enter(Distributor(self.session.bus_address))
        request("/test/mcp/subscription", {"active": False})
        app = self.start_app()
        [registration] = distributor.wait_for("registered")
        device_token = registration["endpoint"].encode().hex()
        self.assertEqual(app.wait_for_layout(signed_out(DASHBOARD)), signed_out(DASHBOARD))

        # Into a keyring locked during the sign-in, with no prompter: its prompt is dismissed.
        hold = os.path.join(self.browser, "hold")
        open(hold, "w").close()
        app.click(SIGN_IN)
        self.assertTrue(wait_until(lambda: "leaves the web" in self.browser_log()))
        self.session.set_keyring_locked(True)
        os.remove(hold)
        self.assertTrue(wait_until(lambda: any(n["body"].startswith("登入無法保存")
                                               for n in notifications.events("notify")), 60),
                        self.browser_log())
        self.assertIn("[OAuth] 登入失敗：token 無法存入 Keychain", app.stdout().splitlines())
        self.assertIn(app.menu_layout(), (signed_out(DASHBOARD), keyring_locked(DASHBOARD)))
        self.session.set_keyring_locked(False)
        self.assertEqual(self.tokens(), (None, None))

        first = self.sign_in(app)
        self.assertTrue(all(first), "a token is missing from the keyring")
        self.assertEqual(app.wait_for_layout(INACTIVE), INACTIVE)
        # Rows whose symbol goes by name, for hosts that tint it, carry its pixels too, for
        # hosts that read no names.
        item = app.wait_for_item()
        rows = self.session.call(item.bus_name, item.menu_path, MENU_INTERFACE, "GetLayout",
                                 GLib.Variant("(iias)", (0, -1, []))).unpack()[1][2]
        self.assertEqual([p["label"] for _, p, _ in rows if {"icon-name", "icon-data"} <= set(p)],
                         [row.label for row in DASHBOARD[1:]] + [SUBSCRIBE])
        self.assertEqual([(r["http_method"], r["body"], r["bearer_valid"])
                          for r in request("/test/push-tokens")["requests"]],
                         [("POST", {"token": device_token, "platform": "macos"}, True)])

        app.click(SUBSCRIBE)
        visits = wait_until(lambda: request("/test/payments")["visits"])
        self.assertEqual([v["known"] for v in visits], [True], self.browser_log())

        app.click("登出")
        self.assertEqual(app.wait_for_layout(signed_out(DASHBOARD)), signed_out(DASHBOARD))
        self.assertEqual(self.tokens(), (None, None))
        # Revoked at the provider in the background: a copy left anywhere is dead.
        revoked = wait_until(lambda: [r for r in request("/test/requests")["token_requests"]
                                      if r.get("endpoint") == "revocation"])
        self.assertEqual([(r["token_type_hint"], r["client_id"], r["token_presented"], r["status"])
                          for r in revoked], [("refresh_token", "zandorin-mcp", True, 200)])
        with self.assertRaisesRegex(urllib.error.HTTPError, "400"):
            request("/realms/zandorin/protocol/openid-connect/token", form={
                "grant_type": "refresh_token", "client_id": "zandorin-mcp",
                "refresh_token": first[1]})

        # Again in the same run. The check after it fails; the reconnect entry refreshes the
        # token and checks again.
        request("/test/mcp/subscription", {"active": True})
        request("/test/mcp/answer-mode", {"mode": "json"})
        request("/test/mcp/fail-next", {"count": 1, "mode": "status"})
        _, refresh_token = self.sign_in(app)
        self.assertEqual(app.wait_for_layout(UNREACHABLE), UNREACHABLE)
        app.click("重新連線")
        self.assertEqual(app.wait_for_layout(ACTIVE), ACTIVE)
        [*_, last] = request("/test/requests")["token_requests"]
        self.assertEqual(last["grant_type"], "refresh_token")
        rotated = self.session.lookup_secret("refresh_token")
        self.secrets.append(rotated)
        self.assertNotIn(rotated, (None, refresh_token), "the new one was not kept")
        self.assert_no_secret_in(app)
        self.assertNotIn("code=", app.stdout() + app.stderr())


if __name__ == "__main__":
    main()
