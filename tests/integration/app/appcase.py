"""What the end-to-end tests of the executable named first on their command line share: a
private desktop session (ZANDORIN_DESKTOP_KEEP=1 keeps it, the app's output in logs/), a loopback
Info.plist, the menus the app shows, and the local service with the scripted browser."""

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
sys.path[:0] = [os.path.join(HERE, "..", "..", "support", d) for d in ("desktop", "push")] + [
    os.path.join(HERE, "..", "devservice")]
from devservice import ROOT, DevService, test_browser  # noqa: E402
from distributor import Distributor  # noqa: E402,F401 (for the tests)
import session  # noqa: E402
from session import SEPARATOR, DesktopSession, NotificationServer, entry  # noqa: E402

APP = None
STEP = 20.0  # seconds any one step of a test may take
EMAIL = "ada@example.com"
SIGN_IN = "登入 Kestrune 帳號…"
SUCCESS_LINE = "[OAuth] 登入成功，token 已存入 Keychain"
QUIT = entry("結束", shortcut=(("Control", "Q"),))
RECONNECT = entry("重新連線", shortcut=(("Control", "R"),))


def info(*labels):
    return [entry(label, enabled=False) for label in labels]


LOADING = info("  Tirrel知識庫", "    載入中…")
DASHBOARD = info("  Tirrel知識庫 · 儀表板", "    專題文章\t12 篇", "    專案文章\t3 篇",
                 "    Skill 技能\t40 份", "    新聞更新\t2026-12-01")


def signed_out(dashboard=LOADING):
    return [*info("Mirrowen"), SEPARATOR, *dashboard, SEPARATOR, entry(SIGN_IN), SEPARATOR, QUIT]


def keyring_locked(dashboard=LOADING):
    """While the keyring cannot be read nobody knows whether a sign-in is stored."""
    return [*info("Mirrowen"), SEPARATOR, *dashboard, SEPARATOR,
            *info("  鑰匙圈已鎖定或無法讀取，登入狀態未知"), entry("解鎖鑰匙圈…"), SEPARATOR, QUIT]


def signed_in(server_lines, commands=(), dashboard=LOADING):
    """The menu of a signed-in user: the server's lines as shown, the commands before 登出."""
    return [*info(f"Mirrowen — {EMAIL}"), SEPARATOR, *dashboard, SEPARATOR,
            *info("  已登入", *server_lines), SEPARATOR, *commands, entry("登出"), SEPARATOR, QUIT]


SIGNED_OUT = signed_out()
CHECKING = signed_in(["  MCP Server 檢查中..."])
SUBSCRIBE = "訂閱Mirrowen NT$6,000/年…"
INACTIVE = signed_in(["  MCP Server 連線正常", "  ❌ 尚未訂閱", "  訂閱後即可使用完整知識庫",
                      "  請使用「訂閱」功能完成付款"], [entry(SUBSCRIBE)], DASHBOARD)


def wait_until(predicate, timeout=STEP):
    return session.wait_until(predicate, timeout)


def access_token(lifetime_s, email=EMAIL):
    """An unsigned token in JWT form; the app only decodes the payload."""
    def part(value):
        return base64.urlsafe_b64encode(json.dumps(value).encode()).rstrip(b"=").decode()
    return (f"{part({'alg': 'RS256', 'typ': 'JWT'})}."
            f"{part({'email': email, 'exp': int(time.time()) + lifetime_s})}.c2lnbmF0dXJl")


def install_handlers(desktop, app_path):
    """The scripted browser as the default browser and the executable as the handler of
    zandorin-auth:// URLs, as the install step makes it; the browser's profile."""
    browser = test_browser.install(os.path.join(desktop.root, "browser"), desktop.env)
    for _ in range(2):  # as a second install does
        desktop.run("bash", os.path.join(ROOT, "scripts", "register-url-handler.sh"), app_path,
                    timeout=30)
    return browser


def sign_in(app):
    """Signs in through the menu and the browser; whether the app said so within 60 s."""
    successes = app.stdout().splitlines().count(SUCCESS_LINE)
    app.click(SIGN_IN)
    return wait_until(lambda: app.stdout().splitlines().count(SUCCESS_LINE) > successes, 60)


class AppTestCase(unittest.TestCase):
    """Each test gets its own desktop session and a development Info.plist whose service and
    identity provider sit on a loopback port that accepts connections and never answers, so
    requests stay in flight and the menu keeps showing its "checking" state."""

    maxDiff = None
    WATCHER = True  # False: a desktop without a tray
    WAYLAND = False  # True: KWin's Wayland compositor instead of an X display
    HOST = None  # "gnome-shell": GNOME Shell as the panel (DesktopSession's host)

    def setUp(self):
        if not APP or not os.access(APP, os.X_OK):
            self.skipTest(f"no application executable: {APP!r}")
        self.silent = socket.create_server(("127.0.0.1", 0), backlog=64)
        self.addCleanup(self.silent.close)
        # The app's share/ among the desktop's data directories, as an installed package's is.
        share = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(APP))), "share")
        self.session = self.enter(DesktopSession(watcher=self.WATCHER, wayland=self.WAYLAND,
                                                 host=self.HOST, data_dir=share))
        self.plist = self.write_plist(f"http://127.0.0.1:{self.silent.getsockname()[1]}")
        self.secrets = []  # values that must never be printed, not even by a failing test

    def enter(self, context):
        value = context.__enter__()
        self.addCleanup(context.__exit__, None, None, None)
        return value

    def write_plist(self, service, issuer=None):
        fd, path = tempfile.mkstemp(suffix=".plist", dir=self.session.root)
        with os.fdopen(fd, "wb") as f:
            plistlib.dump({"MCP_SERVER_URL": service,
                           "KEYCLOAK_ISSUER": issuer or f"{service}/realms/zandorin"}, f)
        return path

    def notification_server(self, **options):
        return self.enter(NotificationServer(self.session.bus_address, **options))

    def store_token(self, key, value):
        self.secrets.append(value)
        self.session.store_secret(key, value)

    def start_app(self, **kwargs):
        env = {"ZANDORIN_AUTH_INFO_PLIST": self.plist, **kwargs.pop("env", {})}
        return self.session.start_app(APP, env=env, **kwargs)

    def assert_no_secret_in(self, app):
        output = app.stdout() + app.stderr()
        for secret in self.secrets:
            self.assertNotIn(secret, output, "a token reached the app's output")


class ServiceCase(AppTestCase):
    """The local service as provider and server, and install_handlers()."""

    def setUp(self):
        super().setUp()
        self.service = self.enter(DevService())
        self.plist = self.write_plist(self.service.origin, self.service.issuer)
        self.browser = install_handlers(self.session, APP)

    def browser_log(self):
        return "\n".join(test_browser.log_lines(self.browser))

    def tokens(self):
        return tuple(self.session.lookup_secret(k) for k in ("access_token", "refresh_token"))

    def sign_in(self, app):
        """Signs in through the menu and the browser; the tokens the keyring then holds."""
        self.assertTrue(sign_in(app), self.browser_log())
        self.secrets += [t for t in self.tokens() if t]
        return self.tokens()


def main():
    global APP
    if len(sys.argv) < 2:
        sys.exit(f"usage: {os.path.basename(sys.argv[0])} <zandorin-auth> [unittest options]")
    APP = sys.argv.pop(1)
    unittest.main(module="__main__")
