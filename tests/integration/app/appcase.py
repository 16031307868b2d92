"""What the end-to-end tests of the built application share: the session harness, a
development Info.plist pointing at loopback, tokens, and the menu layouts the app shows.

The tests run the executable given as the first command-line argument.
"""

import base64
import json
import os
import plistlib
import socket
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "support", "desktop"))
from session import SEPARATOR, DesktopSession, entry  # noqa: E402,F401

APP = None

EMAIL = "ada@example.com"
QUIT = entry("結束", shortcut=(("Control", "Q"),))
RECONNECT = entry("重新連線", shortcut=(("Control", "R"),))
DASHBOARD_LOADING = [entry("  Tirrel知識庫", enabled=False), entry("    載入中…", enabled=False)]


def signed_in_layout(title, account_line, server_line, reconnect):
    return ([entry(title, enabled=False), SEPARATOR, *DASHBOARD_LOADING, SEPARATOR,
             entry(account_line, enabled=False), entry(server_line, enabled=False), SEPARATOR]
            + ([RECONNECT] if reconnect else []) + [entry("登出"), SEPARATOR, QUIT])


SIGNED_OUT = [entry("Mirrowen", enabled=False), SEPARATOR, *DASHBOARD_LOADING, SEPARATOR,
              entry("登入 Kestrune 帳號…"), SEPARATOR, QUIT]


def _b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def make_jwt(claims):
    """An unsigned token in JWT form; the app only decodes the payload."""
    header = _b64url(json.dumps({"alg": "RS256", "typ": "JWT"}).encode())
    payload = _b64url(json.dumps(claims).encode())
    return f"{header}.{payload}.c2lnbmF0dXJl"


def access_token(lifetime_s, email=EMAIL):
    return make_jwt({"email": email, "exp": int(time.time()) + lifetime_s})


class SilentServer:
    """A loopback port that accepts connections and never answers: requests to it stay in
    flight for their whole time-out, so the menu keeps showing its "checking" state."""

    def __init__(self):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(64)
        self.port = self.sock.getsockname()[1]

    def close(self):
        self.sock.close()


def closed_port():
    """A loopback port where nothing listens (connections are refused)."""
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


class AppTestCase(unittest.TestCase):
    """Each test gets its own desktop session and a development Info.plist whose service and
    identity provider sit on loopback ports that never answer."""

    maxDiff = None

    def setUp(self):
        if not APP or not os.access(APP, os.X_OK):
            self.skipTest(f"no application executable: {APP!r}")
        self.silent = SilentServer()
        self.addCleanup(self.silent.close)
        self.session = DesktopSession()
        self.session.__enter__()
        self.addCleanup(self.session.__exit__, None, None, None)
        self.plist = self.write_plist(f"http://127.0.0.1:{self.silent.port}")
        self.secrets = []  # values that must never be printed, not even by a failing test

    def store_token(self, key, value):
        self.secrets.append(value)
        self.session.store_secret(key, value)

    def write_plist(self, service_url):
        fd, path = tempfile.mkstemp(suffix=".plist", dir=self.session.root)
        with os.fdopen(fd, "wb") as f:
            plistlib.dump({
                "CFBundleIdentifier": "com.zandorin.auth",
                "KEYCLOAK_ISSUER": f"http://127.0.0.1:{self.silent.port}/realms/zandorin",
                "MCP_SERVER_URL": service_url,
            }, f)
        return path

    def start_app(self, plist=None, **kwargs):
        env = {"ZANDORIN_AUTH_INFO_PLIST": plist or self.plist}
        env.update(kwargs.pop("env", {}))
        app = self.session.start_app(APP, env=env, **kwargs)
        self.addCleanup(self.report_output, app)
        return app

    def report_output(self, app):
        """On failure, the end of what the app wrote helps more than the assertion alone."""
        outcome = getattr(self, "_outcome", None)
        failed = outcome is not None and not outcome.success
        if failed:
            for name, text in (("stdout", app.stdout()), ("stderr", app.stderr())):
                for secret in self.secrets:
                    text = text.replace(secret, "<redacted>")
                if text.strip():
                    tail = "\n".join(text.splitlines()[-30:])
                    print(f"\n--- app {name} (last lines) ---\n{tail}", file=sys.stderr)


def main():
    global APP
    if len(sys.argv) < 2:
        sys.exit(f"usage: {os.path.basename(sys.argv[0])} <zandorin-auth> [unittest options]")
    APP = sys.argv.pop(1)
    unittest.main(module="__main__")
