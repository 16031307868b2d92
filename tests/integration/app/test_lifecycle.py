#!/usr/bin/python3
"""How the built app starts: the command line with and without a running instance, the
Info.plist it falls back to, no tray, a locked keyring at start with gcr-prompter ready."""

import os
import shutil
import socket

import appcase
from appcase import (CHECKING, SIGNED_OUT, AppTestCase, access_token, keyring_locked, main,
                     wait_until)

USAGE = "Usage: zandorin-auth [--help | --version | --quit | URL]\n"
CALLBACK = "zandorin-auth://callback?code=x"
NONE_RUNNING = "zandorin-auth: no instance is running\n"

# In this order, in one session: (arguments, whether an instance runs, exit status, start of
# stdout, start of stderr; "" for nothing at all). Without an instance the display and the
# session bus are gone too, so a row that reached for the tray or the keyring fails.
COMMAND_LINE = [
    (["--help"], False, 0, USAGE, ""),
    (["--version", CALLBACK], False, 0, "ZandorinAuth ", ""),
    (["--quit"], False, 1, "", NONE_RUNNING),
    (["-x", "--help"], False, 2, "", "zandorin-auth: unknown option '-x'\n" + USAGE),
    ([], False, 1, "", "zandorin-auth: no graphical session: neither DISPLAY nor WAYLAND_DISPLAY"),
    (["--help", CALLBACK], True, 0, USAGE, ""),
    # C0 and C1 controls and a lone 8-bit CSI byte are shown as "?", other UTF-8 as it is.
    (["--bogus\x1b[2J\x85\udc9b知"], True, 2, "",
     "zandorin-auth: unknown option '--bogus?[2J??知'\n" + USAGE),
    (["--quit", CALLBACK], True, 2, "", "zandorin-auth: --quit takes no URL\n" + USAGE),
    (["--quit"], True, 0, "", ""),  # ends the instance
    (["--quit"], False, 1, "", NONE_RUNNING),
]


class CommandLineTest(AppTestCase):
    def raw_client(self, path, data=None):
        client = socket.socket(socket.AF_UNIX)
        self.addCleanup(client.close)
        if data is None:
            client.bind(path)
        else:
            client.connect(path)
            client.sendall(data)

    def test_command_line_answers_without_starting_anything(self):
        path = os.path.join(self.session.env["XDG_RUNTIME_DIR"], "zandorin-auth", "instance")
        os.makedirs(os.path.dirname(path), 0o700)
        self.raw_client(path)  # bound, nobody listening
        instance = None
        for args, running, status, out, err in COMMAND_LINE:
            with self.subTest(args=args, running=running):
                if running and instance is None:
                    # Skipped with a word, in this order: a FIFO (named), a directory, a plain
                    # http:// issuer off this machine; then the last is read.
                    dirs = [os.path.join(self.session.root, d) for d in ("a", "b")]
                    skipped = [self.plist] + [os.path.join(d, "zandorin-auth", "Info.plist")
                                              for d in (self.session.env["XDG_CONFIG_HOME"], *dirs)]
                    os.makedirs(skipped[1])
                    for place in skipped[2:]:
                        os.makedirs(os.path.dirname(place))
                    shutil.copy(self.write_plist("http://127.0.0.1:1", "http://id.example.com"),
                                skipped[2])
                    shutil.move(self.plist, skipped.pop())
                    os.mkfifo(self.plist)
                    # A URL of its own: no sign-in of this new process waits for it.
                    instance = self.start_app(args=[CALLBACK],
                                              env={"XDG_CONFIG_DIRS": ":".join(dirs)})
                    self.assertEqual(instance.wait_for_layout(SIGNED_OUT), SIGNED_OUT)
                    self.silent.settimeout(10)
                    self.silent.accept()[0].close()  # the statistics fetch
                    for place in skipped:
                        self.assertIn(f"zandorin-auth: {place}", instance.stderr())
                    self.assertIn("KEYCLOAK_ISSUER", instance.stderr())
                    for data in (CALLBACK.encode(), b"\xff\xfe\n", b"z" * 30000):
                        self.raw_client(path, data)
                if instance is not None:
                    self.assertEqual(running, instance.poll() is None, "instance state")
                    instance_err = instance.stderr()
                gone = () if running else ("DISPLAY", "DBUS_SESSION_BUS_ADDRESS")
                process = self.session.start_app(appcase.APP, args=args, unset=gone)
                self.assertEqual(process.wait(10), status)
                for expected, actual in ((out, process.stdout()), (err, process.stderr())):
                    self.assertTrue(actual.startswith(expected) and (expected or not actual),
                                    f"{actual!r} does not start with {expected!r}")
                if instance is not None and args != ["--quit"]:
                    self.assertIsNone(instance.poll(), "the running instance ended")
                    self.assertEqual(instance.stderr(), instance_err, "it was contacted")
                elif instance is not None:
                    self.assertEqual(instance.wait(10), 0)


class KeyringAtStartTest(AppTestCase):
    def test_a_locked_keyring_gives_the_menu_at_once_and_the_sign_in_once_it_opens(self):
        server = self.notification_server()
        self.store_token("access_token", access_token(3600))
        self.session.set_keyring_locked(True)
        self.session.start_prompter()
        app = self.start_app()
        # Reading the keyring never brings up its prompt; the menu says it cannot read it.
        self.assertEqual(app.wait_for_layout(keyring_locked()), keyring_locked())
        self.assertFalse(wait_until(self.session.viewable_windows, 1), "a window appeared")
        [note] = wait_until(lambda: server.events("notify"))
        self.assertTrue(note["body"].startswith("無法讀取鑰匙圈"), note)

        self.session.set_keyring_locked(False)
        self.assertEqual(app.wait_for_layout(CHECKING), CHECKING)
        self.assertEqual(len(server.events("notify")), 1, "said more than once")
        self.assert_no_secret_in(app)


class NoTrayTest(AppTestCase):
    WATCHER = False

    def test_without_a_tray_it_says_so_and_what_to_install_then_exits(self):
        server = self.notification_server()
        app = self.start_app()
        self.assertEqual(app.wait(20), 1)
        [note] = server.events("notify")
        self.assertIn("gnome-shell-extension-appindicator", note["body"])
        self.assertIn("no system tray", app.stderr())


if __name__ == "__main__":
    main()
