#!/usr/bin/python3
"""How the built app starts and ends: the quit entry clicked over dbusmenu, and a start
without any display.

Usage: test_lifecycle.py <zandorin-auth> [unittest options]
"""

from appcase import SIGNED_OUT, AppTestCase, main


class LifecycleTest(AppTestCase):
    def test_quit_entry_ends_the_process_cleanly(self):
        app = self.start_app()
        app.wait_for_item()
        self.assertEqual(app.wait_for_layout(SIGNED_OUT), SIGNED_OUT)
        app.click("結束")
        self.assertEqual(app.wait(10), 0)

    def test_start_without_display_fails_fast_and_says_why(self):
        app = self.start_app(unset=("DISPLAY", "WAYLAND_DISPLAY"))
        status = app.wait(10)
        self.assertIsNotNone(status, "still running 10 s after a start without display")
        self.assertNotEqual(status, 0)
        self.assertIn("DISPLAY", app.stderr(), "stderr does not name what is missing")


if __name__ == "__main__":
    main()
