#!/usr/bin/python3
"""The tray menu the built app exports at start, for each state of the keyring, read over
dbusmenu the way a desktop shell reads it.

Usage: test_tray_menu.py <zandorin-auth> [unittest options]
"""

from appcase import (EMAIL, SIGNED_OUT, AppTestCase, access_token, closed_port, main,
                     signed_in_layout)

CHECKING = "  MCP Server 檢查中..."

# (test name, stored access token or None, expected layout); the service never answers, so the
# first check stays in flight, unless the case's name says it refuses connections.
CASES = [
    ("signed_out", None, SIGNED_OUT),
    ("signed_in_first_check_running", access_token(3600),
     signed_in_layout(f"Mirrowen — {EMAIL}", "  已登入", CHECKING, reconnect=False)),
    ("expired_token", access_token(-3600),
     signed_in_layout(f"Mirrowen — {EMAIL}", "  登入已過期", CHECKING, reconnect=True)),
    # Shells read a single "_" as a mnemonic marker and "__" as an underscore.
    ("name_with_underscore", access_token(3600, email="ada_l@example.com"),
     signed_in_layout("Mirrowen — ada__l@example.com", "  已登入", CHECKING, reconnect=False)),
    ("token_that_does_not_decode", "not-a-jwt",
     signed_in_layout("Mirrowen — 已登入", "  登入已過期", CHECKING, reconnect=True)),
    ("service_refuses_connections", access_token(3600),
     signed_in_layout(f"Mirrowen — {EMAIL}", "  已登入", "  MCP Server 無法連線", reconnect=True)),
]


class TrayMenuTest(AppTestCase):
    def check_layout_at_start(self, token, expected):
        if token is not None:
            self.store_token("access_token", token)
        refused = self.id().endswith("refuses_connections")
        app = self.start_app(self.write_plist(f"http://127.0.0.1:{closed_port()}")
                             if refused else None)
        app.wait_for_item()
        self.assertEqual(app.wait_for_layout(expected), expected)
        self.assertIsNone(app.poll(), "the app exited while idle")
        windows = self.session.viewable_windows()
        if windows is not None:
            self.assertEqual(windows, [], "the app mapped a window")
        output = app.stdout() + app.stderr()
        for secret in self.secrets:
            self.assertNotIn(secret, output, "a token reached the app's output")


for _name, _token, _expected in CASES:
    setattr(TrayMenuTest, f"test_{_name}",
            lambda self, t=_token, e=_expected: self.check_layout_at_start(t, e))


if __name__ == "__main__":
    main()
