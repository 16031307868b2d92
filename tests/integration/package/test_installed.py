#!/usr/bin/python3
"""The installed package at work in a private desktop session: the installed executable comes up
signed out with its menu, is the desktop's handler of zandorin-auth:// URLs, and a callback URL
opened through that handler reaches the running instance, which refuses it since no sign-in
asked for one."""

import os
import shutil
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "app"))
import appcase  # noqa: E402
from appcase import SIGNED_OUT, AppTestCase, main, wait_until  # noqa: E402

REFUSED = "no sign-in is waiting for a zandorin-auth: URL; ignored"


class InstalledTest(AppTestCase):
    def test_installed_application_starts_and_handles_its_urls(self):
        # Service and provider on loopback, as a user would set them.
        config = os.path.join(self.session.env["XDG_CONFIG_HOME"], "zandorin-auth")
        os.makedirs(config)
        shutil.copy(self.plist, os.path.join(config, "Info.plist"))
        app = self.start_app(unset=("ZANDORIN_AUTH_INFO_PLIST",))
        self.assertEqual(app.wait_for_layout(SIGNED_OUT), SIGNED_OUT)
        # Each command must succeed.
        self.assertEqual(self.session.run("xdg-mime", "query", "default",
                                          "x-scheme-handler/zandorin-auth").strip(),
                         "zandorin-auth.desktop")
        self.session.run("xdg-open", "zandorin-auth://callback?code=unasked&state=unasked")
        self.assertTrue(wait_until(lambda: REFUSED in app.stderr(), 10), app.stderr())
        self.assertEqual(app.menu_layout(), SIGNED_OUT)
        self.session.run(appcase.APP, "--quit")
        self.assertEqual(app.wait(10), 0)


if __name__ == "__main__":
    main()
