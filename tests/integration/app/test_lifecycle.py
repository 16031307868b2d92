#!/usr/bin/python3
"""How the built app starts and ends: the quit and sign-out entries clicked over dbusmenu,
and a start without any display.

Usage: test_lifecycle.py <zandorin-auth> [unittest options]
"""

from appcase import EMAIL, SIGNED_OUT, AppTestCase, access_token, main, signed_in_layout


class LifecycleTest(AppTestCase):
    def test_quit_entry_ends_the_process_cleanly(self):
        app = self.start_app()
        app.wait_for_item()
        self.assertEqual(app.wait_for_layout(SIGNED_OUT), SIGNED_OUT)
        app.click("結束")
        self.assertEqual(app.wait(10), 0)

    def test_sign_out_entry_forgets_the_tokens_and_redraws(self):
        self.store_token("access_token", access_token(3600))
        self.store_token("refresh_token", "refresh-token-value")
        app = self.start_app()
        app.wait_for_item()
        signed_in = signed_in_layout(f"Mirrowen — {EMAIL}", "  已登入", "  MCP Server 檢查中...",
                                     reconnect=False)
        self.assertEqual(app.wait_for_layout(signed_in), signed_in)
        app.click("登出")
        self.assertEqual(app.wait_for_layout(SIGNED_OUT), SIGNED_OUT)
        self.assertIsNone(self.session.lookup_secret("access_token"))
        self.assertIsNone(self.session.lookup_secret("refresh_token"))
        self.assertIsNone(app.poll(), "signing out ended the process")

    def test_start_without_display_fails_fast_and_says_why(self):
        app = self.start_app(unset=("DISPLAY", "WAYLAND_DISPLAY"))
        status = app.wait(10)
        self.assertIsNotNone(status, "still running 10 s after a start without display")
        self.assertNotEqual(status, 0)
        self.assertIn("DISPLAY", app.stderr(), "stderr does not name what is missing")


if __name__ == "__main__":
    main()
