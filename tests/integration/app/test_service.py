#!/usr/bin/python3
"""The menu against the real local service: its identity provider, its MCP server and its
statistics endpoint. The app starts signed in with tokens the provider issued (a sign-in walked
by the test browser), and the tests read the menu over dbusmenu.

Usage: test_service.py <zandorin-auth> [unittest options]
"""

import os
import sys
import time

import appcase
from appcase import EMAIL, QUIT, SEPARATOR, AppTestCase, entry, main, wait_until

sys.path.insert(0, os.path.join(appcase.HERE, "..", "devservice"))
from devservice import DevService, test_browser  # noqa: E402

TITLE = f"Mirrowen — {EMAIL}"
DASHBOARD = [entry("  Tirrel知識庫 · 儀表板", enabled=False),
             entry("    專題文章\t12 篇", enabled=False),
             entry("    專案文章\t3 篇", enabled=False),
             entry("    Skill 技能\t40 份", enabled=False),
             entry("    新聞更新\t2026-12-01", enabled=False)]
ACTIVE_LINES = ["  ✅ 訂閱有效", "  方案：Mirrowen 年訂閱", "  到期日：2027-12-31"]
INACTIVE_LINES = ["  ❌ 尚未訂閱", "  訂閱後即可使用完整知識庫", "  請使用「訂閱」功能完成付款"]
SUBSCRIBE = "訂閱Mirrowen NT$6,000/年…"
CHECK_TIMEOUT = 20
# The health timer fires every 60 s; a test waiting for later checks allows for a few more.
TIMER_CHECKS_TIMEOUT = 150


def layout(lines, subscribe=False, account="  已登入"):
    return ([entry(TITLE, enabled=False), SEPARATOR, *DASHBOARD, SEPARATOR,
             entry(account, enabled=False), entry("  MCP Server 連線正常", enabled=False),
             *[entry(line, enabled=False) for line in lines], SEPARATOR]
            + ([entry(SUBSCRIBE)] if subscribe else [])
            + [entry("登出"), SEPARATOR, QUIT])


class ServiceTest(AppTestCase):
    access_token_ttl = None

    def setUp(self):
        super().setUp()
        self.service = DevService(access_token_ttl=self.access_token_ttl)
        self.service.__enter__()
        self.addCleanup(self.service.__exit__, None, None, None)
        self.browser = test_browser.install(os.path.join(self.session.root, "browser"),
                                            self.session.env)
        self.plist = self.write_plist(self.service.origin, self.service.issuer)

    def sign_in_elsewhere(self):
        """Tokens from the provider, stored in the keyring as the app's sign-in stores them."""
        tokens = self.service.signed_in_tokens()
        self.store_token("access_token", tokens["access_token"])
        self.store_token("refresh_token", tokens["refresh_token"])
        self.service.reset()

    def start(self, expected):
        """The app, once its menu shows `expected` (the first check's outcome)."""
        app = self.start_app(self.plist)
        app.wait_for_item()
        self.assertEqual(app.wait_for_layout(expected, timeout=CHECK_TIMEOUT), expected)
        return app

    def assert_no_secret_in_output(self, app):
        output = app.stdout() + app.stderr()
        for secret in self.secrets:
            self.assertNotIn(secret, output, "a token reached the app's output")


class SignedInTest(ServiceTest):
    def test_menu_shows_server_subscription_and_counts(self):
        self.sign_in_elsewhere()
        app = self.start(layout(ACTIVE_LINES))

        # One check: three messages on one kept connection, in the transport's header order.
        (check,) = self.service.health_checks()
        self.assertEqual([(r["rpc_method"], r["status"]) for r in check],
                         [("initialize", 200), ("notifications/initialized", 202),
                          ("tools/call", 200)])
        self.assertEqual(len({r["connection"] for r in check}), 1, check)
        self.assertIsNone(check[0]["session_id"])
        self.assertEqual({r["session_id"] for r in check[1:]}, {check[1]["session_id"]})
        ours = ["authorization", "content-type", "accept", "mcp-session-id"]
        for request in check:
            self.assertEqual([n for n in request["header_names"] if n in ours],
                             ours if request["session_id"] else ours[:3])
            self.assertEqual(request["accept"], "text/event-stream, application/json")
        stats = self.service.stats_requests()
        self.assertEqual(stats["count"], 1)
        self.assertFalse(stats["requests"][0]["authorization"])
        self.assert_no_secret_in_output(app)

    def test_inactive_subscription_offers_checkout_that_opens_the_payment_page(self):
        self.sign_in_elsewhere()
        self.service.set_subscription(False)
        self.service.set_answer_mode("json")
        app = self.start(layout(INACTIVE_LINES, subscribe=True))

        app.click(SUBSCRIBE)
        visits = wait_until(lambda: self.service.payments()["visits"], CHECK_TIMEOUT)
        self.assertEqual([v["known"] for v in visits], [True],
                         "\n".join(self.browser.log_lines()))
        self.assertEqual(self.service.payments()["checkouts"], [visits[0]["id"]])
        self.assertIsNone(app.poll())

    def test_dropped_sessions_recover_by_the_next_checks(self):
        self.sign_in_elsewhere()
        expected = layout(ACTIVE_LINES)
        app = self.start(expected)
        self.service.drop_sessions()

        # The next check meets "Session not found", forgets the id and the one after starts a
        # new session.
        def third_check_done():
            checks = self.service.health_checks()
            return len(checks) >= 3 and checks[2][-1]["status"] == 200
        recovered = wait_until(third_check_done, TIMER_CHECKS_TIMEOUT)
        checks = self.service.health_checks()
        self.assertTrue(recovered, [[(r["rpc_method"], r["status"]) for r in c] for c in checks])
        self.assertEqual((checks[1][0]["status"], bool(checks[1][0]["session_id"])), (404, True))
        self.assertIsNone(checks[2][0]["session_id"])
        self.assertEqual(app.wait_for_layout(expected, timeout=CHECK_TIMEOUT), expected)


class ExpiredTokenTest(ServiceTest):
    access_token_ttl = 4

    def test_a_check_with_an_expired_token_refreshes_once_and_succeeds(self):
        self.sign_in_elsewhere()
        time.sleep(self.access_token_ttl + 1)
        app = self.start(layout(ACTIVE_LINES))
        (check,) = self.service.health_checks()
        self.assertEqual([(r["rpc_method"], r["status"]) for r in check],
                         [("initialize", 401), ("initialize", 200),
                          ("notifications/initialized", 202), ("tools/call", 200)])
        self.assertEqual(check[0]["rpc_id"], check[1]["rpc_id"])
        grants = [r["grant_type"] for r in self.service.token_requests()]
        self.assertEqual(grants, ["refresh_token"])
        self.assert_no_secret_in_output(app)


if __name__ == "__main__":
    main()
