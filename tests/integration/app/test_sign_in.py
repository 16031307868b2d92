#!/usr/bin/python3
"""Sign-in and sign-out through the real executable: the menu entry opens the local provider in
the desktop's default browser (a scripted one), the provider's redirect comes back through the
zandorin-auth:// handler (a second process of the app), and the tokens land in the keyring.

Usage: test_sign_in.py <zandorin-auth> [unittest options]
"""

import os
import plistlib
import subprocess
import sys
import time

import appcase
from appcase import SIGNED_OUT, AppTestCase, main, signed_in_layout, wait_until

sys.path.insert(0, os.path.join(appcase.HERE, "..", "devservice"))
from devservice import DevService, jwt_parts, test_browser  # noqa: E402

LOGIN = "ada"
EMAIL = "ada@example.com"
SUCCESS_LINE = "[OAuth] 登入成功，token 已存入 Keychain"
SIGNED_IN = signed_in_layout(f"Mirrowen — {EMAIL}", "  已登入", "  MCP Server 檢查中...",
                             reconnect=False)
SIGN_IN_TIMEOUT = 60


class SignInTest(AppTestCase):
    def setUp(self):
        super().setUp()
        self.service = DevService()
        self.service.__enter__()
        self.addCleanup(self.service.__exit__, None, None, None)
        env = self.session.env
        self.browser = test_browser.install(os.path.join(self.session.root, "browser"), env)
        self.browser.configure(login=LOGIN)
        self.register_handler(env)
        self.plist = os.path.join(self.session.root, "Info.plist")
        with open(self.plist, "wb") as f:
            plistlib.dump({"KEYCLOAK_ISSUER": self.service.issuer,
                           "MCP_SERVER_URL": f"http://127.0.0.1:{self.silent.port}"}, f)

    def register_handler(self, env):
        """The desktop entry the install step writes, pointing at the executable under test."""
        applications = os.path.join(env["XDG_DATA_HOME"], "applications")
        os.makedirs(applications, exist_ok=True)
        with open(os.path.join(applications, "zandorin-auth.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=ZandorinAuth\n"
                    f"Exec={appcase.APP} %u\nNoDisplay=true\n"
                    "MimeType=x-scheme-handler/zandorin-auth;\n")
        subprocess.run(["xdg-mime", "default", "zandorin-auth.desktop",
                        "x-scheme-handler/zandorin-auth"], env=env, check=True, timeout=30,
                       stdin=subprocess.DEVNULL, capture_output=True)

    def tokens(self):
        return self.session.lookup_secret("access_token"), \
            self.session.lookup_secret("refresh_token")

    def sign_in(self, app):
        app.click("登入 Kestrune 帳號…")
        layout = app.wait_for_layout(SIGNED_IN, timeout=SIGN_IN_TIMEOUT)
        self.assertEqual(layout, SIGNED_IN, "\n".join(self.browser.log_lines()))
        access, refresh = self.tokens()
        self.secrets += [t for t in (access, refresh) if t]
        return access, refresh

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
