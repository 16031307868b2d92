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
import types
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "support", "desktop"))
from session import SEPARATOR, DesktopSession, EventProcess, entry  # noqa: E402

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


NOTIFICATION_DAEMON = os.path.join(HERE, "..", "notifications", "fake_notification_daemon.py")
STEP = 20.0  # seconds any one step of a test may take


def notification_server(test, env):
    """fake_notification_daemon.py on the session's bus: "notify" events, and clicks by id."""
    server = EventProcess(["/usr/bin/python3", NOTIFICATION_DAEMON,
                           env["DBUS_SESSION_BUS_ADDRESS"]], env, STEP)
    test.addCleanup(server.stop)
    return server


def wait_until(predicate, timeout, interval=0.1):
    """The predicate's first true value, or its last value once the time is up."""
    end = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= end:
            return value
        time.sleep(interval)


def closed_port():
    """A loopback port nothing listens on: connections to it are refused at once."""
    with socket.create_server(("127.0.0.1", 0)) as probe:
        return probe.getsockname()[1]


def access_token(lifetime_s, email=EMAIL):
    """An unsigned token in JWT form; the app only decodes the payload."""
    def part(value):
        return base64.urlsafe_b64encode(json.dumps(value).encode()).rstrip(b"=").decode()
    return (f"{part({'alg': 'RS256', 'typ': 'JWT'})}."
            f"{part({'email': email, 'exp': int(time.time()) + lifetime_s})}.c2lnbmF0dXJl")


class AppTestCase(unittest.TestCase):
    """Each test gets its own desktop session and a development Info.plist whose service and
    identity provider sit on a loopback port that accepts connections and never answers, so
    requests stay in flight and the menu keeps showing its "checking" state."""

    maxDiff = None
    WATCHER = True  # False: a desktop without a tray

    def setUp(self):
        if not APP or not os.access(APP, os.X_OK):
            self.skipTest(f"no application executable: {APP!r}")
        listener = socket.create_server(("127.0.0.1", 0), backlog=64)
        self.addCleanup(listener.close)
        self.silent = types.SimpleNamespace(port=listener.getsockname()[1])
        self.session = DesktopSession(watcher=self.WATCHER)
        self.session.__enter__()
        self.addCleanup(self.session.__exit__, None, None, None)
        self.plist = self.write_plist(f"http://127.0.0.1:{self.silent.port}")
        self.secrets = []  # values that must never be printed, not even by a failing test

    def write_plist(self, service, issuer=None):
        """A development Info.plist naming the service base URL and the issuer."""
        fd, path = tempfile.mkstemp(suffix=".plist", dir=self.session.root)
        with os.fdopen(fd, "wb") as f:
            plistlib.dump({"CFBundleIdentifier": "com.zandorin.auth", "MCP_SERVER_URL": service,
                           "KEYCLOAK_ISSUER": issuer or f"{service}/realms/zandorin"}, f)
        return path

    def store_token(self, key, value):
        self.secrets.append(value)
        self.session.store_secret(key, value)

    def start_app(self, plist=None, **kwargs):
        env = {"ZANDORIN_AUTH_INFO_PLIST": plist or self.plist, **kwargs.pop("env", {})}
        app = self.session.start_app(APP, env=env, **kwargs)
        self.addCleanup(self.report_output, app)
        return app

    def report_output(self, app):
        """On failure, the end of what the app wrote helps more than the assertion alone."""
        outcome = getattr(self, "_outcome", None)
        if outcome is None or outcome.success:
            return
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
