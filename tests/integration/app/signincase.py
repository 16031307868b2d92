"""What the end-to-end tests that sign in share: the local service, the scripted browser as the
desktop's default browser, and the zandorin-auth:// handler pointing at the executable."""

import os
import plistlib
import subprocess
import sys

import appcase
from appcase import EMAIL, AppTestCase, signed_in_layout

sys.path.insert(0, os.path.join(appcase.HERE, "..", "devservice"))
from devservice import DevService, test_browser  # noqa: E402

LOGIN = "ada"
SUCCESS_LINE = "[OAuth] 登入成功，token 已存入 Keychain"
SIGNED_IN = signed_in_layout(f"Mirrowen — {EMAIL}", "  已登入", "  MCP Server 檢查中...",
                             reconnect=False)
SIGN_IN_TIMEOUT = 60


class SignInCase(AppTestCase):
    """self.plist names the local provider; the service base URL is service_url()."""

    def service_url(self):
        return f"http://127.0.0.1:{self.silent.port}"

    def setUp(self):
        super().setUp()
        self.service = DevService()
        self.service.__enter__()
        self.addCleanup(self.service.__exit__, None, None, None)
        env = self.session.env
        self.browser = test_browser.install(os.path.join(self.session.root, "browser"), env)
        self.browser.configure(login=LOGIN)
        self.register_handler(env)
        self.plist = os.path.join(self.session.root, "Info.plist")
        with open(self.plist, "wb") as f:
            plistlib.dump({"KEYCLOAK_ISSUER": self.service.issuer,
                           "MCP_SERVER_URL": self.service_url()}, f)

    def register_handler(self, env):
        """The desktop entry the install step writes, pointing at the executable under test."""
        applications = os.path.join(env["XDG_DATA_HOME"], "applications")
        os.makedirs(applications, exist_ok=True)
        with open(os.path.join(applications, "zandorin-auth.desktop"), "w") as f:
            f.write("[Desktop Entry]\nType=Application\nName=ZandorinAuth\n"
                    f"Exec={appcase.APP} %u\nNoDisplay=true\n"
                    "MimeType=x-scheme-handler/zandorin-auth;\n")
        subprocess.run(["xdg-mime", "default", "zandorin-auth.desktop",
                        "x-scheme-handler/zandorin-auth"], env=env, check=True, timeout=30,
                       stdin=subprocess.DEVNULL, capture_output=True)

    def tokens(self):
        return self.session.lookup_secret("access_token"), \
            self.session.lookup_secret("refresh_token")

    def sign_in(self, app, layout=SIGNED_IN):
        """Signs in through the menu; waits for the given menu, or for the success line when
        layout is None."""
        successes = app.stdout().splitlines().count(SUCCESS_LINE)
        app.click("登入 Kestrune 帳號…")
        if layout is None:
            done = appcase.wait_until(
                lambda: app.stdout().splitlines().count(SUCCESS_LINE) > successes,
                SIGN_IN_TIMEOUT)
            self.assertTrue(done, "\n".join(self.browser.log_lines()))
        else:
            shown = app.wait_for_layout(layout, timeout=SIGN_IN_TIMEOUT)
            self.assertEqual(shown, layout, "\n".join(self.browser.log_lines()))
        access, refresh = self.tokens()
        self.secrets += [t for t in (access, refresh) if t]
        return access, refresh
