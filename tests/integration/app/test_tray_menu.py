#!/usr/bin/python3
"""The tray menu the built app exports at start, for each state of the keyring, read over
dbusmenu the way a desktop shell reads it.

Usage: test_tray_menu.py <zandorin-auth> [unittest options]
"""

from appcase import (EMAIL, SIGNED_OUT, AppTestCase, access_token, closed_port, main,
                     signed_in_layout)

SIGNED_IN_TITLE = f"Mirrowen — {EMAIL}"

# (test name, stored access token or None, how the service behaves, expected layout)
CASES = [
    ("signed_out", None, "silent", SIGNED_OUT),
    ("signed_in_first_check_running", access_token(3600), "silent",
     signed_in_layout(SIGNED_IN_TITLE, "  已登入", "  MCP Server 檢查中...", reconnect=False)),
    ("expired_token", access_token(-3600), "silent",
     signed_in_layout(SIGNED_IN_TITLE, "  登入已過期", "  MCP Server 檢查中...", reconnect=True)),
    # Shells read a single "_" as a mnemonic marker and "__" as an underscore.
    ("name_with_underscore", access_token(3600, email="ada_l@example.com"), "silent",
     signed_in_layout("Mirrowen — ada__l@example.com", "  已登入", "  MCP Server 檢查中...",
                      reconnect=False)),
    ("token_that_does_not_decode", "not-a-jwt", "silent",
     signed_in_layout("Mirrowen — 已登入", "  登入已過期", "  MCP Server 檢查中...",
                      reconnect=True)),
]


class TrayMenuTest(AppTestCase):
    def check_layout_at_start(self, token, service, expected):
        if token is not None:
            self.store_token("access_token", token)
        plist = self.write_plist(f"http://127.0.0.1:{closed_port()}") if service == "refused" \
            else None
        app = self.start_app(plist)
        app.wait_for_item()
        self.assertEqual(app.wait_for_layout(expected), expected)
        self.assertIsNone(app.poll(), "the app exited while idle")
        windows = self.session.viewable_windows()
        if windows is not None:
            self.assertEqual(windows, [], "the app mapped a window")
        output = app.stdout() + app.stderr()
        for secret in self.secrets:
            self.assertNotIn(secret, output, "a token reached the app's output")


for _name, _token, _service, _expected in CASES:
    setattr(TrayMenuTest, f"test_{_name}",
            lambda self, t=_token, s=_service, e=_expected: self.check_layout_at_start(t, s, e))


if __name__ == "__main__":
    main()
