#!/usr/bin/python3
"""The test browser as the application will meet it: installed as a private desktop's http(s)
handler, opened through xdg-open with the authorization URL, it must walk the provider and hand
the callback URL, unchanged, to whatever handles zandorin-auth:// there.

Usage: test_browser_handoff.py [unittest options]   (needs /usr/bin/python3 with gi)
"""

import json
import os
import subprocess
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
sys.path.insert(0, os.path.join(HERE, "..", "..", "support", "desktop"))
from devservice import DevService, Pkce, query_of, test_browser  # noqa: E402
from session import DesktopSession  # noqa: E402

OPEN_TIMEOUT = 60

# Stands in for the application's second instance: records the URL it was started with.
HANDLER = """#!/usr/bin/python3
import json, sys
with open({record!r}, "a") as f:
    f.write(json.dumps(sys.argv[1:]) + "\\n")
"""


class BrowserHandoffTest(unittest.TestCase):
    # Messages below are written so that a failure never prints a code.
    longMessage = False

    @classmethod
    def setUpClass(cls):
        cls.service = DevService().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.service.__exit__(None, None, None)

    def setUp(self):
        self.session = DesktopSession(keyring=False)
        self.session.__enter__()
        self.addCleanup(self.session.__exit__, None, None, None)
        env = self.session.env
        self.profile = test_browser.install(os.path.join(self.session.root, "browser"), env)
        self.record = os.path.join(self.session.root, "handler.calls")
        handler = os.path.join(self.session.root, "zandorin-auth-handler")
        with open(handler, "w") as f:
            f.write(HANDLER.format(record=self.record))
        os.chmod(handler, 0o755)
        with open(os.path.join(env["XDG_DATA_HOME"], "applications", "zandorin-test.desktop"),
                  "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=Callback recorder\n"
                    f"Exec={handler} %u\nMimeType=x-scheme-handler/zandorin-auth;\n")
        subprocess.run(["xdg-mime", "default", "zandorin-test.desktop",
                        "x-scheme-handler/zandorin-auth"], env=env, check=True, timeout=30)

    def open_url(self, url):
        """What the app does: xdg-open with the authorization URL, in the desktop session."""
        return subprocess.run(["xdg-open", url], env=self.session.env, stdin=subprocess.DEVNULL,
                              capture_output=True, timeout=OPEN_TIMEOUT).returncode

    def handler_calls(self):
        if not os.path.exists(self.record):
            return []
        with open(self.record) as f:
            return [json.loads(line) for line in f]

    def test_callback_reaches_the_scheme_handler_intact(self):
        pkce = Pkce()
        self.assertEqual(self.open_url(self.service.authorization_url(pkce)), 0,
                         "\n".join(self.profile.log_lines()))
        calls = self.handler_calls()
        self.assertEqual(len(calls), 1, f"the handler ran {len(calls)} times")
        self.assertEqual(len(calls[0]), 1, f"the handler got {len(calls[0])} arguments")
        url = calls[0][0]
        self.assertTrue(url.startswith("zandorin-auth://callback?"), test_browser.redact(url))
        query = query_of(url)
        self.assertEqual(query.get("iss"), self.service.issuer, test_browser.redact(url))
        # The code still works: nothing was cut at "&" or re-encoded on the way.
        status, tokens = self.service.exchange(query.get("code"), pkce.verifier)
        self.assertEqual(status, 200, tokens.get("error") if isinstance(tokens, dict) else "")
        self.assertIn("hand-off via xdg-open -> 0", self.profile.log_lines()[-1])

    def test_cancelled_sign_in_hands_on_the_error(self):
        self.profile.configure(mode="abort")
        self.assertEqual(self.open_url(self.service.authorization_url(Pkce())), 0)
        calls = self.handler_calls()
        self.assertEqual(len(calls), 1, f"the handler ran {len(calls)} times")
        self.assertEqual(query_of(calls[0][0]).get("error"), "access_denied",
                         test_browser.redact(calls[0][0]))

    def test_error_page_hands_nothing_on(self):
        url = self.service.authorization_url(Pkce(), client_id="someone-else")
        self.assertNotEqual(self.open_url(url), 0)
        self.assertEqual(len(self.handler_calls()), 0, "the handler ran")
        self.assertIn("gives up: error page 400", self.profile.log_lines()[-1])


if __name__ == "__main__":
    unittest.main()
