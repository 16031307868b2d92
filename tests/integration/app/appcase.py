"""What the end-to-end tests of the executable named first on their command line share: a
private desktop session (ZANDORIN_DESKTOP_KEEP=1 keeps it, the app's output in logs/), a loopback
Info.plist, the menus the app shows, and the local service with the scripted browser."""

import base64
import configparser
import json
import os
import plistlib
import socket
import subprocess
import sys
import tempfile
import time
import unittest
import xml.etree.ElementTree as ElementTree

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path[:0] = [os.path.join(HERE, "..", "..", "support", d) for d in ("desktop", "push")] + [
    os.path.join(HERE, "..", "devservice")]
from devservice import ROOT, DevService, test_browser  # noqa: E402
from distributor import Distributor  # noqa: E402,F401 (for the tests)
import session  # noqa: E402
session.gi.require_version("GdkPixbuf", "2.0")
from gi.repository import GdkPixbuf, Gio, GLib  # noqa: E402
from session import (MENU_INTERFACE, PROPERTIES, SEPARATOR, DesktopSession,  # noqa: E402
                     NotificationServer, entry)

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
        subprocess.run(["bash", os.path.join(ROOT, "scripts", "register-url-handler.sh"),
                        app_path], env=desktop.env, check=True, timeout=30, capture_output=True)
    return browser


def sign_in(app):
    """Signs in through the menu and the browser; whether the app said so within 60 s."""
    successes = app.stdout().splitlines().count(SUCCESS_LINE)
    app.click(SIGN_IN)
    return wait_until(lambda: app.stdout().splitlines().count(SUCCESS_LINE) > successes, 60)


def resolve_icon(name, theme_path):
    """The file a hicolor lookup of `name` finds, in `theme_path` first, as hosts look."""
    data_dirs = os.environ.get("XDG_DATA_DIRS") or "/usr/local/share:/usr/share"
    bases = [theme_path] + [os.path.join(d, "icons") for d in data_dirs.split(":")]
    theme = configparser.ConfigParser(interpolation=None)
    theme.read(next(p for b in bases if os.path.isfile(p := os.path.join(b, "hicolor",
                                                                         "index.theme"))))
    return next((path for directory in theme["Icon Theme"]["Directories"].split(",")
                 for base in bases for extension in ("svg", "png")
                 if os.path.isfile(path := os.path.join(base, "hicolor", directory,
                                                        f"{name}.{extension}"))), None)


class AppTestCase(unittest.TestCase):
    """Each test gets its own desktop session and a development Info.plist whose service and
    identity provider sit on a loopback port that accepts connections and never answers, so
    requests stay in flight and the menu keeps showing its "checking" state."""

    maxDiff = None
    WATCHER = True  # False: a desktop without a tray
    WAYLAND = False  # True: KWin's Wayland compositor instead of an X display

    def setUp(self):
        if not APP or not os.access(APP, os.X_OK):
            self.skipTest(f"no application executable: {APP!r}")
        self.silent = socket.create_server(("127.0.0.1", 0), backlog=64)
        self.addCleanup(self.silent.close)
        self.session = self.enter(DesktopSession(watcher=self.WATCHER, wayland=self.WAYLAND))
        self.plist = self.write_plist(f"http://127.0.0.1:{self.silent.getsockname()[1]}")
        self.secrets = []  # values that must never be printed, not even by a failing test

    def enter(self, context):
        value = context.__enter__()
        self.addCleanup(context.__exit__, None, None, None)
        return value

    def write_plist(self, service, issuer=None):
        """A development Info.plist naming the service base URL and the issuer."""
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
        # The app's share/ among the desktop's data directories, as an installed package's is.
        share = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(APP))), "share")
        env = {"ZANDORIN_AUTH_INFO_PLIST": self.plist, **kwargs.pop("env", {}), "XDG_DATA_DIRS":
               share + ":" + self.session.env.get("XDG_DATA_DIRS", "/usr/local/share:/usr/share")}
        return self.session.start_app(APP, env=env, **kwargs)

    def assert_symbolic(self, name, theme_path):
        path = resolve_icon(name, theme_path)
        self.assertTrue(path and path.endswith("-symbolic.svg"), path)
        # Hosts recolour a symbolic icon by painting over its fills: a stroke would stay.
        shapes = [e for e in ElementTree.parse(path).iter()
                  if e.tag.rsplit("}", 1)[-1] in ("path", "circle", "rect", "ellipse")]
        self.assertEqual({e.get("stroke", "none") for e in shapes}, {"none"})

    def check_menu_icons(self, app, tinted):
        """Named symbolic icons, pixels beside them, on `tinted` rows; the dot keeps its colour."""
        item = app.wait_for_item()

        def call(interface, method, signature, *args):
            return self.session.call(item.bus_name, item.menu_path, interface, method,
                                     GLib.Variant(signature, args)).unpack()
        [theme_path] = call(PROPERTIES, "Get", "(ss)", MENU_INTERFACE, "IconThemePath")[0]
        self.assertEqual(theme_path, app.item_properties()["IconThemePath"])
        rows = [p for _, p, _ in call(MENU_INTERFACE, "GetLayout", "(iias)", 0, -1, [])[1][2]]
        named = {r["label"]: r["icon-name"] for r in rows if "icon-name" in r and "icon-data" in r}
        self.assertEqual(sorted(named), sorted(tinted))
        for name in named.values():
            self.assert_symbolic(name, theme_path)
        rgba = GdkPixbuf.Pixbuf.new_from_stream(Gio.MemoryInputStream.new_from_bytes(GLib.Bytes(
            bytes(rows[0]["icon-data"]))), None).add_alpha(False, 0, 0, 0).get_pixels()
        self.assertTrue(any(rgba[i + 3] > 128 and max(rgba[i:i + 3]) - min(rgba[i:i + 3]) > 100
                            for i in range(0, len(rgba), 4)), "the status dot lost its colour")

    def assert_no_secret_in(self, app):
        output = app.stdout() + app.stderr()
        for secret in self.secrets:
            self.assertNotIn(secret, output, "a token reached the app's output")


class ServiceCase(AppTestCase):
    """The local service as provider and server, the scripted browser as the default browser
    and the executable as the handler of zandorin-auth:// URLs, as the install step makes it."""

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
