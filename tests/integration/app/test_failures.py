#!/usr/bin/python3
"""What the built app tells a user whose desktop lacks something, through the tests'
notification server: no tray, or a keyring that is locked while gcr-prompter stands ready to
show the keyring's unlock prompt, as on a desktop.

Usage: test_failures.py <zandorin-auth> [unittest options]
"""

from appcase import (EMAIL, SIGNED_OUT, STEP, AppTestCase, access_token, main,
                     notification_server, signed_in_layout, wait_until)
from signincase import SignInCase

KEYRING_NOTICE = "無法讀取鑰匙圈"
SIGN_IN_LOST = "登入無法保存"


def bodies(server):
    return [event["body"] for event in server.events("notify")]


class KeyringAtStartTest(AppTestCase):
    def test_a_locked_keyring_gives_the_menu_at_once_and_the_sign_in_once_it_opens(self):
        server = notification_server(self, self.session.env)
        self.store_token("access_token", access_token(3600))
        self.session.set_keyring_locked(True)
        self.session.start_prompter()
        app = self.start_app()
        # Reading the keyring never brings up its prompt: the menu comes as with an open one.
        self.assertEqual(app.wait_for_layout(SIGNED_OUT), SIGNED_OUT)
        self.assertEqual(self.session.viewable_windows(), [], "an unlock prompt appeared")
        self.assertTrue(wait_until(lambda: bodies(server), STEP), "no notification")
        self.assertTrue(bodies(server)[0].startswith(KEYRING_NOTICE), bodies(server))

        self.session.set_keyring_locked(False)
        signed_in = signed_in_layout(f"Mirrowen — {EMAIL}", "  已登入", "  MCP Server 檢查中...",
                                     reconnect=False)
        self.assertEqual(app.wait_for_layout(signed_in), signed_in)
        self.assertEqual(len(bodies(server)), 1, "said more than once")


class KeyringAtSignInTest(SignInCase):
    def test_a_sign_in_into_a_locked_keyring_is_said_to_be_lost_and_keeps_nothing(self):
        server = notification_server(self, self.session.env)
        app = self.start_app(self.plist)
        self.assertEqual(app.wait_for_layout(SIGNED_OUT), SIGNED_OUT)
        # No prompter: the keyring's prompt is dismissed at once.
        self.session.set_keyring_locked(True)
        app.click("登入 Kestrune 帳號…")
        self.assertTrue(wait_until(lambda: any(b.startswith(SIGN_IN_LOST)
                                               for b in bodies(server)), 60),
                        "\n".join(self.browser.log_lines()))
        self.assertIn("[OAuth] 登入失敗：token 無法存入 Keychain", app.stdout().splitlines())
        self.assertEqual(app.menu_layout(), SIGNED_OUT)
        self.session.set_keyring_locked(False)
        self.assertEqual(self.tokens(), (None, None))


class NoTrayTest(AppTestCase):
    WATCHER = False

    def test_without_a_tray_it_says_so_and_what_to_install_then_exits(self):
        server = notification_server(self, self.session.env)
        app = self.start_app()
        self.assertEqual(app.wait(STEP), 1)
        [body] = bodies(server)
        self.assertIn("gnome-shell-extension-appindicator", body)
        self.assertIn("no system tray", app.stderr())


if __name__ == "__main__":
    main()
