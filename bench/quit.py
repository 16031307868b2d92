#!/usr/bin/python3
"""Quit latency of tray executables: from the menu's quit action (dbusmenu "clicked") to the
process's exit, with a request in flight that the service never answers (the statistics
fetch at start, held open by a loopback listener; an executable that sends none, such as
bench/bare_tray, quits without). Each run in a fresh private desktop session
(tests/support/desktop); runs of the executables alternate after one warm-up run each.

Usage: quit.py [--runs N] EXECUTABLE [EXECUTABLE ...]
Example: bench/quit.py build/release/src/zandorin-auth build/release/bench/bare-tray
"""

import argparse
import os
import plistlib
import select
import socket
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "support", "desktop"))
from session import DesktopSession  # noqa: E402

QUIT = "結束"
PATIENCE_S = 20
REQUEST_S = 5  # how long a start may take to send its first request


def one_run(executable):
    with DesktopSession() as session, socket.create_server(("127.0.0.1", 0)) as silent:
        url = f"http://127.0.0.1:{silent.getsockname()[1]}"
        plist = os.path.join(session.root, "Info.bench.plist")
        with open(plist, "wb") as f:
            plistlib.dump({"KEYCLOAK_ISSUER": f"{url}/realms/zandorin", "MCP_SERVER_URL": url}, f)
        app = session.start_app(executable, env={"ZANDORIN_AUTH_INFO_PLIST": plist})
        app.wait_for_item(timeout=PATIENCE_S)
        asked = select.select([silent], [], [], REQUEST_S)[0]
        held = silent.accept()[0] if asked else socket.socket()  # never answered
        with held:
            deadline = time.monotonic() + PATIENCE_S
            while not any(e.label == QUIT for e in app.menu_layout()):
                if time.monotonic() > deadline:
                    raise RuntimeError(f"{executable}: no quit entry")
                time.sleep(0.05)
            started = time.monotonic()
            app.click(QUIT)
            status = app.wait(PATIENCE_S)
            elapsed_ms = (time.monotonic() - started) * 1000
        if status != 0:
            raise RuntimeError(f"{executable}: exit status {status}: {app.stderr()[-2000:]}")
        return elapsed_ms


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("executables", nargs="+")
    parser.add_argument("--runs", type=int, default=10)
    args = parser.parse_args()
    paths = [os.path.abspath(p) for p in args.executables]
    results = {path: [] for path in paths}
    for path in paths:
        one_run(path)  # warm-up
    for i in range(args.runs):
        for path in paths:
            results[path].append(one_run(path))
            print(f"run {i + 1}/{args.runs} {path}: {results[path][-1]:.1f} ms", file=sys.stderr)
    print(f"Quit → exit, median (min–max) of {args.runs} runs, ms:")
    for path, values in results.items():
        print(f"  {path}: {statistics.median(values):.1f} "
              f"({min(values):.1f}–{max(values):.1f})")


if __name__ == "__main__":
    main()
