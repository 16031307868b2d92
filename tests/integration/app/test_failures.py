#!/usr/bin/python3
"""What the built app tells a user whose desktop lacks something, through the tests'
notification server: no tray, or a keyring that is locked while gcr-prompter stands ready to
show the keyring's unlock prompt, as on a desktop. (A sign-in into a locked keyring is in
test_sign_in.py.)

Usage: test_failures.py <zandorin-auth> [unittest options]
"""

from appcase import CHECKING, SIGNED_OUT, AppTestCase, access_token, main, wait_until


class KeyringAtStartTest(AppTestCase):
    def test_a_locked_keyring_gives_the_menu_at_once_and_the_sign_in_once_it_opens(self):
        server = self.notification_server()
        self.store_token("access_token", access_token(3600))
        self.session.set_keyring_locked(True)
        self.session.start_prompter()
        app = self.start_app()
        # Reading the keyring never brings up its prompt: the menu comes as with an open one.
        self.assertEqual(app.wait_for_layout(SIGNED_OUT), SIGNED_OUT)
        self.assertEqual(self.session.viewable_windows(), [], "a window appeared")
        [note] = wait_until(lambda: server.events("notify"))
        self.assertTrue(note["body"].startswith("無法讀取鑰匙圈"), note)

        self.session.set_keyring_locked(False)
        self.assertEqual(app.wait_for_layout(CHECKING), CHECKING)
        self.assertEqual(len(server.events("notify")), 1, "said more than once")
        self.assert_no_secret_in(app)


class NoTrayTest(AppTestCase):
    WATCHER = False

    def test_without_a_tray_it_says_so_and_what_to_install_then_exits(self):
        server = self.notification_server()
        app = self.start_app()
        self.assertEqual(app.wait(20), 1)
        [note] = server.events("notify")
        self.assertIn("gnome-shell-extension-appindicator", note["body"])
        self.assertIn("no system tray", app.stderr())


if __name__ == "__main__":
    main()
