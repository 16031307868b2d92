#!/usr/bin/python3
"""The menu against the real local service when its MCP server fails a check: the app starts
signed in with tokens the provider issued (a sign-in walked by the scripted browser), and the
tests read and click the menu over dbusmenu.

Usage: test_service.py <zandorin-auth> [unittest options]
"""

from appcase import DASHBOARD, RECONNECT, ServiceCase, main, signed_in

ACTIVE = signed_in(["  MCP Server 連線正常", "  ✅ 訂閱有效", "  方案：Mirrowen 年訂閱",
                    "  到期日：2027-12-31"], dashboard=DASHBOARD)
UNREACHABLE = signed_in(["  MCP Server 無法連線"], [RECONNECT], DASHBOARD)


class ReconnectTest(ServiceCase):
    def test_reconnect_refreshes_the_token_and_checks_at_once(self):
        tokens = self.service.signed_in_tokens()
        self.store_token("access_token", tokens["access_token"])
        self.store_token("refresh_token", tokens["refresh_token"])
        self.service.reset()
        self.post("/test/mcp/answer-mode", mode="json")
        self.post("/test/mcp/fail-next", count=1, mode="status")
        app = self.start_app()
        self.assertEqual(app.wait_for_layout(UNREACHABLE), UNREACHABLE)

        app.click("重新連線")
        self.assertEqual(app.wait_for_layout(ACTIVE), ACTIVE)
        self.assertEqual([r["grant_type"] for r in self.service.token_requests()],
                         ["refresh_token"])
        rotated = self.session.lookup_secret("refresh_token")
        self.secrets.append(rotated)
        self.assertNotIn(rotated, (None, tokens["refresh_token"]), "the new one was not kept")
        self.assert_no_secret_in(app)


if __name__ == "__main__":
    main()
