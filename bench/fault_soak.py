#!/usr/bin/python3
"""Fault soak: the app runs against the local service in a private desktop session (with a
system bus of its own, a notification server and a fake logind) and goes through passes of
faults: refresh answers 429, 503, 302 and a captive portal's page, then a refusal; the tray
host, the notification server and the keyring daemon restarted; the keyring locked and
unlocked; a suspend and wake; the service gone and back. After each step it prints a row: the
sign-in (kept unless refused), the tray item, the menu, and the app's threads, open descriptors
and resident set; at the end whether those stayed flat and whether a token reached any output.

While signed in the service's MCP endpoint is made to fail the one check each step starts
(the "重新連線" entry stays offered, and every step ends on the same menu), and the access
tokens live an hour, so the only refreshes are the ones the steps ask for.

Usage: fault_soak.py EXECUTABLE [--cycles N]   (N passes, the first a warm-up; default 4)
Exit status 0 when every row is as expected, nothing grew and no token was seen.
"""

import argparse
import os
import plistlib
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "integration", "app"))
import appcase  # noqa: E402
from appcase import DASHBOARD, RECONNECT, DevService, install_handlers, sign_in  # noqa: E402
from session import BusService, DesktopSession, NotificationServer, wait_until  # noqa: E402
from gi.repository import GLib  # noqa: E402

STEP = 20.0  # seconds any one wait may take
TRANSIENT = "[OAuth] token refresh 暫時失敗，保留登入: "
UNREACHABLE = appcase.signed_in(["  MCP Server 無法連線"], [RECONNECT], DASHBOARD)
SIGNED_OUT = appcase.signed_out(DASHBOARD)
LOCKED = appcase.keyring_locked(DASHBOARD)
PORTAL = "<html><body><form action='/login'>Wi-Fi 登入</form></body></html>"
LOGIND = "org.freedesktop.login1"
LOGIND_PATH = "/org/freedesktop/login1"
LOGIND_XML = f"""<node><interface name="{LOGIND}.Manager">
  <signal name="PrepareForSleep"><arg type="b"/></signal></interface></node>"""
# Flat: the same thread count at the end of the warm-up pass and of the last; the resident set
# may move by allocator noise (pages malloc keeps, a heap that settles after the warm-up), which
# does not add up pass after pass; more than 64 KiB a pass, every pass, is state kept.
RSS_SLACK_KIB_PER_PASS = 64
FD_SLACK = 2  # a kept-alive connection to the service may be open at one reading, not the other


class Logind(BusService):
    """logind on the session's system bus, as far as a suspend and a wake go."""

    def __init__(self, address):
        super().__init__(address, LOGIND, LOGIND_XML, LOGIND_PATH)

    def on_call(self, connection, sender, path, interface, method, params, invocation):
        invocation.return_dbus_error("org.freedesktop.DBus.Error.UnknownMethod", method)

    def suspend_and_wake(self):
        for sleeping in (True, False):
            self.bus.emit_signal(None, LOGIND_PATH, f"{LOGIND}.Manager", "PrepareForSleep",
                                 GLib.Variant("(b)", (sleeping,)))


def proc_counts(pid):
    """Threads, open descriptors and resident set (KiB) of a running process."""
    with open(f"/proc/{pid}/status") as f:
        rss = next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))
    return len(os.listdir(f"/proc/{pid}/task")), len(os.listdir(f"/proc/{pid}/fd")), rss


class Soak:
    def __init__(self, executable, desktop):
        self.desktop, self.service_logs = desktop, []  # the logs of the services stopped
        self.service = DevService(args=["--access-token-ttl", "3600"]).__enter__()
        self.notifier = self.logind = None
        try:
            self._start(executable)
        except BaseException:
            self.close()
            raise

    def _start(self, executable):
        desktop = self.desktop
        self.notifier = NotificationServer(desktop.bus_address)
        self.logind = Logind(desktop.env["DBUS_SYSTEM_BUS_ADDRESS"])
        self.seen = set()  # every token value read from the keyring, never printed
        install_handlers(desktop, executable)
        plist = os.path.join(desktop.root, "Info.plist")
        with open(plist, "wb") as f:
            plistlib.dump({"MCP_SERVER_URL": self.service.origin,
                           "KEYCLOAK_ISSUER": self.service.issuer}, f)
        self.app = desktop.start_app(executable, env={"ZANDORIN_AUTH_INFO_PLIST": plist})
        self.app.wait_for_item(STEP)

    def close(self):
        if self.service.proc.poll() is None:
            self.service.__exit__()
        for daemon in (self.notifier, self.logind):
            if daemon:
                daemon.stop()

    # What the steps share.

    def tokens(self):
        values = tuple(self.desktop.lookup_secret(k) for k in ("access_token", "refresh_token"))
        self.seen.update(v for v in values if v)
        return values

    def request(self, path, payload=None):
        return self.service.request(path, payload)

    def last_seq(self, path, key, injected=None):
        records = self.request(path)[key]
        return max((r["seq"] for r in records if injected is None or r["injected"] == injected),
                   default=0)

    def failing_check(self, action):
        """Runs `action` with the service's next MCP request failing; whether a check then
        came and met it."""
        before = self.last_seq("/test/mcp/requests", "requests", "status")
        self.request("/test/mcp/fail-next", {"count": 1, "mode": "status", "status": 503})
        action()
        return bool(wait_until(lambda: self.last_seq("/test/mcp/requests", "requests",
                                                     "status") > before, STEP))

    def refreshes_since(self, seq):
        return [r for r in self.request("/test/requests")["token_requests"]
                if r["seq"] > seq and r.get("grant_type") == "refresh_token"]

    def transient_lines(self):
        return [line for line in self.app.stdout().splitlines() if line.startswith(TRANSIENT)]

    def kept(self, before, token_seq):
        """Both tokens still there, unchanged unless a refresh the step did not script (the
        four-minute timer) was answered in the meantime."""
        after = self.tokens()
        timer = any(r["status"] == 200 and not r["injected"]
                    for r in self.refreshes_since(token_seq))
        return all(after) and (after == before or timer)

    def ensure_signed_in(self):
        if all(self.tokens()):
            return []
        checked = self.failing_check(lambda: sign_in(self.app))
        return [] if checked and all(self.tokens()) else ["sign-in failed"]

    # The steps: each returns whether the sign-in should be there, the menu it should end on,
    # and what else it found wrong.

    def refresh(self, status, **order):
        problems = self.ensure_signed_in()
        before, token_seq, lines = self.tokens(), self.last_seq("/test/requests",
                                                                  "token_requests"), \
            len(self.transient_lines())
        self.request("/test/provider/fail-next", {"count": 1, "status": status, **order})
        if order.get("error"):
            self.app.click("重新連線")
            if not wait_until(lambda: self.tokens() == (None, None), STEP):
                problems.append("tokens not removed")
            return False, SIGNED_OUT, problems
        if not self.failing_check(lambda: self.app.click("重新連線")):
            problems.append("no check after the reconnect")
        said = wait_until(lambda: self.transient_lines()[lines:], STEP)
        if f"{TRANSIENT}HTTP {status}" not in (said or []):
            problems.append(f"console said {said!r}")
        if not self.kept(before, token_seq):
            problems.append("tokens changed")
        return True, UNREACHABLE, problems

    def tray_host(self):
        problems = self.ensure_signed_in()
        before, token_seq = self.tokens(), self.last_seq("/test/requests", "token_requests")
        self.desktop.watcher.stop()
        self.desktop.start_watcher()
        if not self.kept(before, token_seq):
            problems.append("tokens changed")
        return True, UNREACHABLE, problems

    def notification_server(self):
        problems = self.ensure_signed_in()
        self.notifier.stop()
        self.notifier = NotificationServer(self.desktop.bus_address)
        self.app.click("登出")  # and in again: a sign-in is announced
        if self.app.wait_for_layout(SIGNED_OUT, STEP) != SIGNED_OUT:
            problems.append("sign-out not shown")
        problems += self.ensure_signed_in()
        if not self.notifier.wait_for("notify", timeout=STEP):
            problems.append("no notification on the new server")
        return True, UNREACHABLE, problems

    def keyring_daemon(self):
        problems = self.ensure_signed_in()
        before, token_seq = self.tokens(), self.last_seq("/test/requests", "token_requests")
        self.desktop.restart_keyring()
        # A refresh afterwards must read the refresh token and store the new pair there.
        if not self.failing_check(lambda: self.app.click("重新連線")):
            problems.append("no check after the reconnect")
        rotated = wait_until(lambda: [r for r in self.refreshes_since(token_seq)
                                      if r["status"] == 200], STEP)
        after = self.tokens()
        if not rotated or not all(after) or after[1] == before[1]:
            problems.append("the refresh after the restart was not stored")
        return True, UNREACHABLE, problems

    def keyring_lock(self):
        problems = self.ensure_signed_in()
        before, token_seq = self.tokens(), self.last_seq("/test/requests", "token_requests")
        self.desktop.set_keyring_locked(True)
        if self.app.wait_for_layout(LOCKED, 2) != LOCKED:
            # Not said by itself: the next thing the user does finds out.
            problems.append("lock shown only on a click")
            self.app.click("重新連線")
            if self.app.wait_for_layout(LOCKED, STEP) != LOCKED:
                problems.append("lock not shown")
        if not self.failing_check(lambda: self.desktop.set_keyring_locked(False)):
            problems.append("no check after the unlock")
        if not self.kept(before, token_seq):
            problems.append("tokens changed")
        return True, UNREACHABLE, problems

    def suspend(self):
        problems = self.ensure_signed_in()
        if not self.failing_check(self.logind.suspend_and_wake):
            problems.append("no check after the wake")
        return True, UNREACHABLE, problems

    def service_gone(self):
        problems = self.ensure_signed_in()
        before, lines = self.tokens(), len(self.transient_lines())
        self.service_logs.append(self.service.log())
        self.service.__exit__()
        self.app.click("重新連線")
        said = wait_until(lambda: self.transient_lines()[lines:], STEP)
        if not said or said[0].startswith(f"{TRANSIENT}HTTP"):
            problems.append(f"console said {said!r}")
        if self.tokens() != before:
            problems.append("tokens changed")
        return True, UNREACHABLE, problems

    def service_back(self):
        """A new service on the same port; it made new keys and forgot every grant, so the
        reconnect's refresh is refused, as a provider that lost its sessions would."""
        self.service = DevService(self.service.port, self.service.args).__enter__()
        self.app.click("重新連線")
        problems = [] if wait_until(lambda: self.tokens() == (None, None), STEP) else \
            ["tokens not removed"]
        return False, SIGNED_OUT, problems

    STEPS = (
        ("refresh 429", lambda s: s.refresh(429)),
        ("refresh 503", lambda s: s.refresh(503)),
        ("refresh 302", lambda s: s.refresh(302, headers={"Location": "http://127.0.0.1:9/"})),
        ("refresh portal page", lambda s: s.refresh(200, body=PORTAL)),
        ("refresh refused", lambda s: s.refresh(400, error="invalid_grant")),
        ("tray host restart", tray_host),
        ("notification server restart", notification_server),
        ("keyring daemon restart", keyring_daemon),
        ("keyring locked, unlocked", keyring_lock),
        ("suspend and wake", suspend),
        ("service gone", service_gone),
        ("service back", service_back),
    )

    def run_step(self, step):
        expect_in, menu, problems = step(self)
        if self.app.poll() is not None:
            raise SystemExit(f"the app exited ({self.app.poll()})")
        signed = all(self.tokens())
        self.app.item = None  # found again with the watcher of the moment
        try:
            self.app.wait_for_item(STEP)
            registered = bool(self.app.item_properties())
        except (RuntimeError, GLib.Error):
            registered = False
        menu_ok = self.app.wait_for_layout(menu, STEP) == menu
        return signed, signed == expect_in, registered, menu_ok, problems


def yes(value, right=True):
    return ("yes" if value else "no") + ("" if right else " ✗")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("executable")
    parser.add_argument("--cycles", type=int, default=4, help="passes (the first a warm-up)")
    args = parser.parse_args()

    failures, ends, started = 0, [], time.monotonic()
    print("| pass | step | signed in | item registered | menu right | threads | fds | RSS (KiB) "
          "| found |")
    print("|---|---|---|---|---|---|---|---|---|")
    with DesktopSession(system_bus=True) as desktop:
        soak = Soak(args.executable, desktop)
        try:
            for number in range(1, args.cycles + 1):
                for name, step in Soak.STEPS:
                    signed, right, registered, menu_ok, problems = soak.run_step(step)
                    counts = proc_counts(soak.app.pid)
                    failures += (not right) + (not registered) + (not menu_ok) + len(problems)
                    print(f"| {number} | {name} | {yes(signed, right)} | "
                          f"{yes(registered, registered)} | {yes(menu_ok, menu_ok)} | "
                          f"{' | '.join(map(str, counts))} | {'; '.join(problems) or '–'} |",
                          flush=True)
                ends.append(counts)
            soak.service_logs.append(soak.service.log())
            output = soak.app.stdout() + soak.app.stderr() + "".join(soak.service_logs)
        finally:
            soak.close()
    leaked = sum(1 for token in soak.seen if token in output)

    print(f"\n{args.cycles} passes of {len(Soak.STEPS)} steps in "
          f"{time.monotonic() - started:.0f} s; {failures} rows or findings not as expected.")
    flat = True
    if len(ends) > 1:
        (t0, f0, r0), (t1, f1, r1) = ends[0], ends[-1]
        passes = len(ends) - 1
        flat = t1 == t0 and abs(f1 - f0) <= FD_SLACK and r1 - r0 <= RSS_SLACK_KIB_PER_PASS * passes
        print(f"End of pass 1 → end of pass {len(ends)}: threads {t0} → {t1}, descriptors "
              f"{f0} → {f1}, RSS {r0} → {r1} KiB ({(r1 - r0) / passes:+.0f} KiB a pass): "
              f"{'flat' if flat else 'GROWING'}.")
    print(f"Tokens seen in the keyring: {len(soak.seen)}; found in the app's or the service's "
          f"output: {leaked}.")
    return 0 if failures == 0 and flat and leaked == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
