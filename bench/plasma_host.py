#!/usr/bin/python3
"""KDE Plasma 5.27's panel as the host of the tray entry, run by hand: too large an install for
CI. In a private desktop session (tests/support/desktop) on its Xvfb screen it starts kded5
with its StatusNotifierWatcher, kactivitymanagerd and plasmashell, then the built application
(offline, signed out), and checks what Plasma makes of the entry: registered with the watcher,
shown in the panel's system tray, a left click on it opening the menu with the application's
rows in order; then plasmashell killed (by its PID) and started again, and the same once more.

It installs nothing. Debian 12 packages it needs besides the desktop tests' own:
plasma-desktop plasma-workspace kded5 kactivitymanagerd (`scripts/setup.sh plasma`, as root).

Usage: bench/plasma_host.py BUILD_TREE      e.g. bench/plasma_host.py build/release
Prints each step as it passes; exits 0 when all did, 1 at the first that did not, 2 when a
package is missing. Screenshots go to BUILD_TREE/bench/plasma/.
"""

import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support", "desktop"))
from session import (MENU_INTERFACE, PROPERTIES, WATCHER_NAME, DesktopSession,  # noqa: E402
                     Gio, GLib, wait_until)
from startup import offline_plist  # noqa: E402

PACKAGES = "plasma-desktop plasma-workspace kded5 kactivitymanagerd"
LIBEXEC = "/usr/lib/x86_64-linux-gnu/libexec"
KDE_ENV = {"XDG_CURRENT_DESKTOP": "KDE", "KDE_FULL_SESSION": "true", "KDE_SESSION_VERSION": "5",
           # Qt 5 programs join the accessibility bus only when asked to.
           "QT_LINUX_ACCESSIBILITY_ALWAYS_ON": "1"}
STEP_S = 60.0  # kded5 alone spends half of it on services that this desktop lacks
TITLE = "ZandorinAuth"


class Failed(Exception):
    pass


class PlasmaDesktop:
    def __init__(self, session, shots):
        self.session, self.shots, self.shell = session, shots, None
        self.started = time.monotonic()

    def say(self, text):
        print(f"{time.monotonic() - self.started:6.1f} s  {text}", flush=True)

    def check(self, value, text):
        if not value:
            self.shot("failed")
            raise Failed(text)
        self.say(text)
        return value

    def shot(self, name):
        path = os.path.join(self.shots, f"{name}.png")
        self.session.screenshot().save(path)
        return path

    def daemon(self, path, name):
        """Starts `path` in the session and waits for it to own `name`."""
        proc = self.session.start_app(path, env=KDE_ENV)
        self.check(wait_until(lambda: self.session.name_has_owner(name), STEP_S),
                   f"{os.path.basename(path)} owns {name}")
        return proc

    def start(self):
        self.daemon("/usr/libexec/at-spi-bus-launcher", "org.a11y.Bus")
        self.daemon("/usr/bin/kded5", "org.kde.kded5")
        # A Plasma session's startup has kded5 load the watcher; here it is asked to.
        self.session.bus.call_sync("org.kde.kded5", "/kded", "org.kde.kded5", "loadModule",
                                   GLib.Variant("(s)", ("statusnotifierwatcher",)), None,
                                   Gio.DBusCallFlags.NONE, int(STEP_S * 1000), None)
        self.check(self.session.name_has_owner(WATCHER_NAME), "kded5 runs the watcher")
        self.daemon(f"{LIBEXEC}/kactivitymanagerd", "org.kde.ActivityManager")
        self.start_shell()

    def start_shell(self):
        self.shell = self.daemon("/usr/bin/plasmashell", "org.kde.plasmashell")
        host = f"org.kde.StatusNotifierHost-{self.shell.pid}"
        self.check(wait_until(lambda: self.session.name_has_owner(host), STEP_S),
                   f"plasmashell hosts the tray ({host})")

    def kill_shell(self):
        self.shell.proc.kill()
        self.shell.wait(STEP_S)
        self.check(wait_until(lambda: not self.session.name_has_owner("org.kde.plasmashell")),
                   f"plasmashell (PID {self.shell.pid}) killed")

    def watcher(self, name):
        return self.session.call(WATCHER_NAME, "/StatusNotifierWatcher", PROPERTIES, "Get",
                                 GLib.Variant("(ss)", (WATCHER_NAME, name))).unpack()[0]

    def find(self, role, name):
        try:
            return [n for n in self.session.shown("plasmashell") if n[1:3] == (role, name)]
        except subprocess.CalledProcessError:
            return []  # while plasmashell builds its accessible tree anew

    def listen(self):
        """Records the dbusmenu calls anyone makes on the bus: (sender, method, arguments)."""
        self.menu_calls = []

        def spy(_, message, incoming):
            if incoming and message.get_interface() == MENU_INTERFACE:
                self.menu_calls.append((message.get_sender(), message.get_member(),
                                        message.get_body().unpack()))
                return None  # not ours to answer
            return message
        self.session.bus.add_filter(spy)
        self.session.call("org.freedesktop.DBus", "/org/freedesktop/DBus", "org.freedesktop.DBus",
                          "AddMatch", GLib.Variant("(s)", (
                              f"type='method_call',interface='{MENU_INTERFACE}',eavesdrop=true",)))

    def check_menu(self, app, stage):
        """The entry in the tray; a left click on it has plasmashell read the menu, which
        it shows; what it read is the application's menu. Closed again."""
        found = self.check(wait_until(lambda: self.find("push button", TITLE), STEP_S),
                           f"{stage}: the entry is in the panel's tray ({self.shot(stage)})")
        x, y, w, h = found[0][3:]
        shell = self.session.bus_call("GetNameOwner", "org.kde.plasmashell")
        before = len(self.menu_calls)
        self.session.run("xdotool", "mousemove", str(x + w // 2), str(y + h // 2), "click", "1")
        self.check(wait_until(lambda: any(call[:2] == (shell, "AboutToShow")
                                          for call in self.menu_calls[before:]), STEP_S),
                   f"{stage}: a left click has plasmashell open the menu")
        asked = self.check([args for sender, method, args in self.menu_calls
                            if sender == shell and method == "GetLayout"],
                           f"{stage}: plasmashell has read the menu's layout")
        time.sleep(1)  # for the screenshot: the menu is drawn after its layout came
        item = app.wait_for_item()
        reply = self.session.call(item.bus_name, item.menu_path, MENU_INTERFACE, "GetLayout",
                                  GLib.Variant("(iias)", asked[-1])).unpack()[1]
        self.check([props.get("label", "-") for _, props, _ in reply[2]] ==
                   [e.label or "-" for e in app.menu_layout()],
                   f"{stage}: what it read is the whole menu ({self.shot(stage + '-menu')})")
        self.session.run("xdotool", "key", "Escape")


def main():
    if len(sys.argv) != 2 or not os.path.isdir(sys.argv[1]):
        sys.exit(__doc__)
    tree = os.path.abspath(sys.argv[1])
    missing = [p for p in ("plasmashell", "kded5", f"{LIBEXEC}/kactivitymanagerd", "xdotool")
               if not shutil.which(p)]
    if missing or not os.path.isdir("/usr/share/plasma/shells/org.kde.plasma.desktop"):
        print(f"missing: {' '.join(missing) or 'the Plasma desktop shell'}; install {PACKAGES}",
              file=sys.stderr)
        sys.exit(2)
    shots = os.path.join(tree, "bench", "plasma")
    os.makedirs(shots, exist_ok=True)
    with DesktopSession(watcher=False, data_dir=os.path.join(tree, "share")) as session:
        plasma = PlasmaDesktop(session, shots)
        try:
            plasma.listen()
            plasma.start()
            app = session.start_app(os.path.join(tree, "src", "zandorin-auth"),
                                    env={"ZANDORIN_AUTH_INFO_PLIST": offline_plist(session.root)})
            item = app.wait_for_item(STEP_S)
            plasma.check(f"{item.bus_name}{item.path}" in plasma.watcher(
                "RegisteredStatusNotifierItems"), f"the watcher lists {item.bus_name}{item.path}")
            plasma.check_menu(app, "start")
            plasma.kill_shell()
            plasma.start_shell()
            plasma.check_menu(app, "plasmashell-back")
            plasma.check(app.poll() is None, "the application ran throughout")
        except Failed as failure:
            print(f"FAILED: {failure}; logs in {session.logs}", file=sys.stderr)
            os.environ["ZANDORIN_DESKTOP_KEEP"] = "1"
            sys.exit(1)
    print("all passed")


if __name__ == "__main__":
    main()
