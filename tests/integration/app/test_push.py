#!/usr/bin/python3
"""Push through the real executable: a notification server and a UnifiedPush distributor of our
own on the session bus, the local service as the server that records device tokens and pushes.
The device token the service learns is the distributor's endpoint in hexadecimal; a pushed
message becomes a notification whose default action opens its "url" in the default browser.

Usage: test_push.py <zandorin-auth> [unittest options]
"""

import os
import sys
import time

import appcase
from appcase import STEP, AppTestCase, main, notification_server, wait_until
from signincase import SUCCESS_LINE, SignInCase

sys.path.insert(0, os.path.join(appcase.HERE, "..", "..", "support", "push"))
from distributor import TestDistributor  # noqa: E402

SERVICE_NAME = "com.zandorin.auth"
SYNCED = "[Push] device token 已同步至 server"


class PushTest(SignInCase):
    def service_url(self):
        return self.service.origin

    def setUp(self):
        super().setUp()
        self.notifications = notification_server(self, self.session.env)
        self.distributor = TestDistributor(env=self.session.env)
        self.distributor.__enter__()
        self.addCleanup(self.distributor.__exit__, None, None, None)

    def push_token_requests(self):
        return [(r["http_method"], r["body"], r["bearer_valid"])
                for r in self.service.push_tokens()]

    def test_device_token_is_reported_at_sign_in_withdrawn_at_sign_out_and_messages_open(self):
        app = self.start_app(self.plist)
        app.wait_for_item()
        self.distributor.wait_for("registered", timeout=STEP)
        [registration] = self.distributor.registrations()
        self.assertEqual(registration["service"], SERVICE_NAME)
        device_token = registration["endpoint"].encode().hex()
        self.assertEqual(wait_until(lambda: self.session.lookup_secret("push_token"), STEP),
                         device_token)
        # Nobody is signed in: kept, not reported.
        self.assertEqual(self.service.push_tokens(), [])
        self.assertNotIn("[Push]", app.stdout())

        self.sign_in(app, layout=None)
        report = {"token": device_token, "platform": "macos"}
        self.assertEqual(self.push_token_requests(), [("POST", report, True)])
        lines = app.stdout().splitlines()
        self.assertLess(lines.index(SYNCED), lines.index(SUCCESS_LINE))

        # A pushed message is shown; its default action opens its "url".
        shown = len(self.notifications.events("notify"))
        page = f"{self.service.origin}/pay/push-1"
        [delivery] = self.service.push_message({"title": "新文章", "body": "知識庫已更新",
                                                "url": page})
        self.assertEqual(delivery["status"], 201)
        notes = self.notifications.wait_for("notify", shown + 1)
        self.assertEqual(len(notes), shown + 1, "no notification for the pushed message")
        note = notes[-1]
        self.assertEqual((note["summary"], note["body"]), ("新文章", "知識庫已更新"))
        self.assertIn("default", note["actions"])
        self.notifications.send_line(str(note["id"]))
        visits = wait_until(lambda: self.service.payments()["visits"], STEP)
        self.assertEqual([v["id"] for v in visits or []], ["push-1"],
                         "\n".join(self.browser.log_lines()))

        # A "url" that is not a string opens nothing.
        self.service.push_message({"title": "數字", "body": "url 不是字串", "url": 12345})
        notes = self.notifications.wait_for("notify", shown + 2)
        self.assertEqual(len(notes), shown + 2, "no notification for the second message")
        note = notes[-1]
        browsed = len(self.browser.log_lines())
        self.notifications.send_line(str(note["id"]))
        time.sleep(1.0)  # time for a wrongly opened page to reach the browser
        self.assertEqual(len(self.browser.log_lines()), browsed)
        self.assertEqual(len(self.service.payments()["visits"]), 1)

        # The withdrawal fails, and the device token goes all the same.
        self.service.fail_next_push(1, 503)
        app.click("登出")
        withdrawn = wait_until(lambda: [r for r in self.service.push_tokens()
                                        if r["http_method"] == "DELETE"], STEP)
        self.assertEqual([(r["body"], r["status"]) for r in withdrawn or []],
                         [({"token": device_token}, 503)])
        self.assertTrue(wait_until(lambda: self.session.lookup_secret("push_token") is None,
                                   STEP), "push_token is still in the keyring")

        # Signing in again in the same run asks the distributor again and reports anew.
        self.sign_in(app, layout=None)
        self.distributor.wait_for("registered", count=2, timeout=STEP)
        posts = wait_until(lambda: [r for r in self.push_token_requests() if r[0] == "POST"][1:],
                           STEP)
        self.assertEqual(posts, [("POST", report, True)])

        output = app.stdout() + app.stderr()
        for secret in self.secrets:
            self.assertNotIn(secret, output, "a token reached the app's output")


class NoDistributorTest(AppTestCase):
    def test_without_a_distributor_registration_fails_with_its_line(self):
        notification_server(self, self.session.env)
        app = self.start_app()
        app.wait_for_item()
        line = "[Push] 無法取得 APNs token: no UnifiedPush distributor found on the session bus"
        self.assertTrue(wait_until(lambda: line in app.stdout().splitlines(), STEP),
                        app.stdout())
        self.assertIsNone(self.session.lookup_secret("push_token"))
        self.assertIsNone(app.poll())


if __name__ == "__main__":
    main()
