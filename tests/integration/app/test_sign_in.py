#!/usr/bin/python3
"""Sign-in and sign-out through the real executable: the menu entry opens the local provider in
the desktop's default browser (a scripted one), the provider's redirect comes back through the
zandorin-auth:// handler (a second process of the app), and the tokens land in the keyring.

Usage: test_sign_in.py <zandorin-auth> [unittest options]
"""

import time

from appcase import EMAIL, SIGNED_OUT, main, wait_until
from signincase import SUCCESS_LINE, SignInCase  # puts devservice on the path first
from devservice import jwt_parts  # noqa: E402 (after the path)


class SignInTest(SignInCase):
    def test_sign_in_through_the_browser_then_sign_out(self):
        app = self.start_app(self.plist)
        app.wait_for_item()
        self.assertEqual(app.wait_for_layout(SIGNED_OUT), SIGNED_OUT)

        access, refresh = self.sign_in(app)
        # Another process reads both tokens from the keyring by service and account.
        self.assertTrue(access and refresh, "a token is missing from the keyring")
        self.assertEqual(jwt_parts(access)[1].get("email"), EMAIL)
        self.assertTrue(wait_until(lambda: SUCCESS_LINE in app.stdout().splitlines(), 10))
        grants = [r.get("grant_type") for r in self.service.token_requests()]
        self.assertEqual(grants, ["authorization_code"])

        app.click("登出")
        self.assertEqual(app.wait_for_layout(SIGNED_OUT), SIGNED_OUT)
        self.assertEqual(self.tokens(), (None, None))
        self.assertIsNone(app.poll(), "signing out ended the process")

        # The provider remembers the browser: the second sign-in asks only for consent.
        self.sign_in(app)
        self.assertEqual(len(self.service.token_requests()), 2)

        output = app.stdout() + app.stderr()
        for secret in self.secrets:
            self.assertNotIn(secret, output, "a token reached the app's output")
        self.assertNotIn("code=", output, "an authorization code reached the app's output")

    def test_a_cancelled_sign_in_changes_nothing(self):
        self.browser.configure(mode="abort")
        app = self.start_app(self.plist)
        app.wait_for_item()
        app.wait_for_layout(SIGNED_OUT)
        app.click("登入 Kestrune 帳號…")
        self.assertTrue(wait_until(lambda: any("hand-off" in line
                                               for line in self.browser.log_lines()), 30),
                        "\n".join(self.browser.log_lines()))
        time.sleep(0.5)  # give a wrongly accepted callback the time to show
        self.assertEqual(app.menu_layout(), SIGNED_OUT)
        self.assertEqual(self.tokens(), (None, None))
        self.assertEqual(self.service.token_requests(), [])
        self.assertIsNone(app.poll())


if __name__ == "__main__":
    main()
