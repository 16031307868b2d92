#!/usr/bin/python3
"""Sign-in through the default browser, process by process: the running instance opens the
sign-in page in the browser; the browser starts the zandorin-auth:// handler, a second process
of ours, which passes the callback URL over the instance socket and leaves.

Usage: test_webauth.py <zandorin_webauth_probe> [unittest options]
"""

import os
import select
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.normpath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(REPO, "tests", "support", "desktop"))
from session import DesktopSession, LineReader  # noqa: E402

PROBE = None
SESSION = None
CALLBACK = "zandorin-auth://callback?code=abc&iss=https%3A%2F%2Fidp.example"
AUTHORIZE = ("https://idp.example/oauth2/authorize?response_type=code&client_id=zandorin-desktop"
             "&redirect_uri=zandorin-auth%3A%2F%2Fcallback&scope=openid%20email&state=Zx_9-a~b"
             "&code_challenge=E9Melhoa2OwvFrEMTJguCHaoeK1t8URWbuGJSstw-cM"
             "&code_challenge_method=S256")
STEP = 10.0  # seconds any one step may take


def setUpModule():
    global SESSION
    if not PROBE or not os.access(PROBE, os.X_OK):
        raise unittest.SkipTest(f"no probe executable: {PROBE!r}")
    SESSION = DesktopSession(keyring=False)
    SESSION.__enter__()
    # The session's default browser notes the URL it is given.
    browser = os.path.join(SESSION.root, "fakebrowser.sh")
    with open(browser, "w") as f:
        f.write('#!/bin/sh\nprintf \'%s\\n\' "$1" >> "$FAKE_BROWSER_RECORD"\n')
    os.chmod(browser, 0o755)
    applications = os.path.join(SESSION.env["XDG_DATA_HOME"], "applications")
    os.makedirs(applications)
    with open(os.path.join(applications, "fakebrowser.desktop"), "w") as f:
        f.write(f"[Desktop Entry]\nType=Application\nName=Fake Browser\nExec={browser} %u\n")
    for scheme in ("http", "https"):
        subprocess.run(["xdg-mime", "default", "fakebrowser.desktop",
                        f"x-scheme-handler/{scheme}"], env=SESSION.env, check=True, timeout=STEP)


def tearDownModule():
    if SESSION is not None:
        SESSION.__exit__(None, None, None)


class Primary:
    """The running instance, driven over stdin."""

    def __init__(self, env, args=()):
        self.stderr_file = tempfile.TemporaryFile()
        self.proc = subprocess.Popen([PROBE, *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=self.stderr_file, env=env)
        self.out = LineReader(self.proc.stdout)

    def send(self, line):
        self.proc.stdin.write((line + "\n").encode())
        self.proc.stdin.flush()

    def expect(self, prefix, start=0):
        found = self.out.wait_for(lambda line: line.startswith(prefix), STEP, start)
        if found is None:
            raise AssertionError(f"no {prefix!r}: {self.out.lines!r} {self.stderr()[-2000:]!r}")
        return found

    def start_session(self, expect_started=True):
        self.send(f"start zandorin-auth {AUTHORIZE}")
        self.expect(f"STARTED {sum(line.startswith('STARTED') for line in self.out.lines) + 1} "
                    f"{'true' if expect_started else 'false'}")

    def completions(self):
        """Everything completed up to now: a ping is answered after what came before it."""
        start = len(self.out.lines)
        self.send("ping")
        self.expect("PONG", start)
        return [line for line in self.out.lines if line.startswith("COMPLETED")]

    def stderr(self):
        self.stderr_file.seek(0)
        return self.stderr_file.read().decode(errors="replace")

    def stop(self):
        try:
            self.proc.stdin.close()  # the end of its input ends it
            self.proc.wait(STEP)
        except (BrokenPipeError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait(STEP)
        self.out.close(STEP)
        self.stderr_file.close()


class WebAuthTest(unittest.TestCase):
    def setUp(self):
        self.runtime = tempfile.mkdtemp(prefix="zandorin-runtime-")  # 0700
        self.addCleanup(shutil.rmtree, self.runtime, True)
        self.record = os.path.join(self.runtime, "browser.log")
        self.env = dict(SESSION.env, XDG_RUNTIME_DIR=self.runtime,
                        FAKE_BROWSER_RECORD=self.record)
        self.socket_path = os.path.join(self.runtime, "zandorin-auth", "instance")

    def primary(self, args=(), env=None):
        primary = Primary(env or self.env, args)
        self.addCleanup(primary.stop)
        primary.expect("ROLE primary")
        primary.expect("READY")
        return primary

    def later(self, *args, role="handedOff"):
        """Runs a later process to its end; how long it took."""
        started = time.monotonic()
        done = subprocess.run([PROBE, *args], stdin=subprocess.DEVNULL, capture_output=True,
                              env=self.env, timeout=STEP)
        self.assertEqual((done.returncode, done.stdout.decode()), (0, f"ROLE {role}\n"),
                         done.stderr)
        self.assertNotIn(b"code=", done.stderr)
        return time.monotonic() - started

    def test_the_callback_completes_the_waiting_session_once_and_the_handler_leaves_at_once(self):
        primary = self.primary()
        primary.start_session()
        spawned = time.monotonic()
        handler_took = self.later(CALLBACK)
        index, _ = primary.expect("COMPLETED")
        print(f"\nhand-off: the handler ran {handler_took * 1000:.0f} ms; the session completed "
              f"{(primary.out.times[index] - spawned) * 1000:.0f} ms after its start",
              file=sys.stderr)
        self.assertLess(handler_took, 3.0)

        self.later(CALLBACK)  # nothing waits for it any more
        for args in ((), ("one", "two")):  # nothing to pass on: the tray is shown once
            self.assertLess(self.later(*args, role="alreadyRunning"), 3.0)
        self.assertEqual(primary.completions(), [f"COMPLETED 1 main url {CALLBACK}"])
        self.assertNotIn("code=", primary.stderr())

    def test_other_urls_and_unusable_arguments_complete_nothing(self):
        primary = self.primary()
        primary.start_session()
        for url in ("https://idp.example/callback?code=abc", "zandorin-authx://callback?code=abc",
                    "not a url", "小山"):
            self.later(url)
        for argument in ("zandorin-auth://callback?code=" + "x" * 9000, "a\nb", ""):
            self.later(argument, role="alreadyRunning")
        self.assertEqual(primary.completions(), [])
        self.assertNotIn("code=", primary.stderr())
        self.later("ZANDORIN-Auth://callback?code=abc")
        self.assertEqual(primary.completions(),
                         ["COMPLETED 1 main url ZANDORIN-Auth://callback?code=abc"])

    def test_raw_clients_neither_stall_nor_break_the_primary(self):
        primary = self.primary()
        primary.start_session()

        def connect():
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.settimeout(STEP)
            s.connect(self.socket_path)
            self.addCleanup(s.close)
            return s

        silent = [connect()]
        silent[0].sendall(CALLBACK.encode())  # never a newline
        binary = connect()
        binary.sendall(CALLBACK.encode() + bytes(range(128, 256)) + b"\n")
        gone = connect()
        gone.sendall(b"https://idp.example/\n")
        gone.close()  # before the answer
        oversized = connect()
        sent = time.monotonic()
        try:
            oversized.sendall(b"z" * 100_000)
            self.assertEqual(oversized.recv(16), b"")
        except (BrokenPipeError, ConnectionResetError):
            pass  # closed on us half-way, as it should be
        self.assertLess(time.monotonic() - sent, 1.5, "read on long past the limit")
        flood = [connect() for _ in range(40)]  # more than are read at once
        time.sleep(0.5)
        turned_away = select.select(flood, [], [], 0)[0]  # at their end already
        self.assertGreaterEqual(len(turned_away), 20)
        silent += flood

        for s in silent:
            try:
                self.assertEqual(s.recv(16), b"")
            except ConnectionResetError:
                pass
        self.assertLess(time.monotonic() - sent, 5.0, "silent peers were kept too long")
        self.assertEqual(binary.recv(16), b"ok\n")  # answered, then dropped as not UTF-8
        self.assertEqual(primary.completions(), [])
        self.later(CALLBACK)
        self.assertEqual(primary.completions(), [f"COMPLETED 1 main url {CALLBACK}"])

    def test_a_socket_left_behind_is_taken_over(self):
        def crash():
            primary = self.primary()
            primary.proc.kill()
            primary.stop()

        def stray():
            if os.path.lexists(self.socket_path):
                os.unlink(self.socket_path)
            s = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
            s.bind(self.socket_path)
            s.close()

        for leave_socket in (crash, stray):
            with self.subTest(leave_socket.__name__):
                leave_socket()
                self.assertTrue(stat.S_ISSOCK(os.lstat(self.socket_path).st_mode))
                # As when the browser returns after the application has gone: no session
                # waits for the URL, and this process becomes the instance.
                primary = self.primary(args=(CALLBACK,))
                try:
                    primary.start_session()
                    self.later(CALLBACK)
                    self.assertEqual(primary.completions(),
                                     [f"COMPLETED 1 main url {CALLBACK}"])
                    self.assertIn("no sign-in in progress", primary.stderr())
                finally:
                    primary.stop()

    def test_the_socket_and_its_directory_are_the_users_alone(self):
        self.primary()
        directory = os.path.dirname(self.socket_path)
        for path, kind, mode in ((directory, stat.S_ISDIR, 0o700),
                                 (self.socket_path, stat.S_ISSOCK, 0o700)):
            info = os.lstat(path)
            self.assertTrue(kind(info.st_mode), path)
            self.assertEqual((stat.S_IMODE(info.st_mode), info.st_uid), (mode, os.getuid()))
        if os.getuid() != 0:
            return  # no other user to try as
        # Shut out by the directories, and by the socket itself once they let others through.
        for opened in ((), (self.runtime, directory)):
            for path in opened:
                os.chmod(path, 0o711)
            other = subprocess.run(
                ["/usr/bin/python3", "-c", "import socket, sys; "
                 "socket.socket(socket.AF_UNIX).connect(sys.argv[1])", self.socket_path],
                user=65534, group=65534, extra_groups=[], cwd="/", capture_output=True,
                timeout=STEP)
            self.assertIn(b"PermissionError", other.stderr)

    def test_start_opens_the_default_browser_with_the_url_unchanged(self):
        primary = self.primary()
        primary.start_session()
        end = time.monotonic() + STEP
        while time.monotonic() < end and not os.path.exists(self.record):
            time.sleep(0.05)
        time.sleep(0.2)
        with open(self.record) as f:
            self.assertEqual(f.read(), AUTHORIZE + "\n")
        primary.stop()

        empty = tempfile.mkdtemp(prefix="zandorin-nopath-")
        self.addCleanup(shutil.rmtree, empty, True)
        no_browser = {k: v for k, v in self.env.items() if k not in ("BROWSER", "PATH")}
        no_browser["PATH"] = empty
        primary = self.primary(env=no_browser)
        primary.start_session(expect_started=False)
        self.assertEqual(primary.completions(),
                         ["COMPLETED 1 main error could not open the web browser"])

    def test_the_browser_returns_through_the_registered_desktop_entry(self):
        for _ in range(2):  # registering again changes nothing
            subprocess.run(["bash", os.path.join(REPO, "scripts", "register-url-handler.sh"),
                            PROBE], env=self.env, check=True, capture_output=True, timeout=STEP)
        entry = os.path.join(self.env["XDG_DATA_HOME"], "applications", "zandorin-auth.desktop")
        with open(entry) as f:
            self.assertIn(f"Exec={os.path.realpath(PROBE)} %u\n", f.read())
        if shutil.which("desktop-file-validate"):
            for path in (entry, os.path.join(REPO, "resources", "zandorin-auth.desktop")):
                check = subprocess.run(["desktop-file-validate", path], capture_output=True,
                                       text=True, timeout=STEP)
                self.assertEqual((check.returncode, check.stdout), (0, ""), path)

        primary = self.primary()
        primary.start_session()
        started = time.monotonic()
        subprocess.run(["xdg-open", CALLBACK], env=self.env, check=True, timeout=STEP)
        index, _ = primary.expect("COMPLETED")
        print(f"\nxdg-open to completion: {(primary.out.times[index] - started) * 1000:.0f} ms",
              file=sys.stderr)
        self.assertEqual(primary.completions(), [f"COMPLETED 1 main url {CALLBACK}"])


if __name__ == "__main__":
    if len(sys.argv) > 1 and not sys.argv[1].startswith("-"):
        PROBE = os.path.abspath(sys.argv.pop(1))
    unittest.main(verbosity=2)
