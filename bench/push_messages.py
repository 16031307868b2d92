#!/usr/bin/python3
"""What pushed messages cost the app: it runs signed out in a private desktop session with a
notification server and a UnifiedPush distributor of the tests' own. Messages are POSTed to its
endpoint one after another; for each, the time from the POST to the Notify call the app makes.
The app's resident set is read after the first batch and after the last, so growth per message
shows whether anything is kept that should not be.

Usage: push_messages.py [--messages N] EXECUTABLE
"""

import argparse
import json
import os
import plistlib
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "support", "desktop"))
sys.path.insert(0, os.path.join(ROOT, "tests", "support", "push"))
from distributor import Distributor  # noqa: E402
from session import DesktopSession, NotificationServer, wait_until  # noqa: E402

STEP = 20.0
WARM_UP = 200  # messages before the first memory reading


def rss_kib(pid):
    with open(f"/proc/{pid}/status") as f:
        for line in f:
            if line.startswith("VmRSS:"):
                return int(line.split()[1])
    raise RuntimeError("no VmRSS")


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--messages", type=int, default=5000)
    parser.add_argument("executable")
    args = parser.parse_args()

    with DesktopSession() as session, NotificationServer(session.bus_address) as daemon, \
            Distributor(session.bus_address) as distributor:
        plist = os.path.join(session.root, "Info.plist")
        with open(plist, "wb") as f:
            plistlib.dump({"MCP_SERVER_URL": "http://127.0.0.1:9"}, f)
        app = session.start_app(args.executable, env={"ZANDORIN_AUTH_INFO_PLIST": plist})
        distributor.wait_for("registered", timeout=STEP)
        endpoint = distributor.registrations()[0]["endpoint"]
        latencies = []
        readings = {}
        for n in range(1, args.messages + 1):
            body = json.dumps({"title": f"訊息 {n}", "body": "知識庫已更新" * 8,
                               "url": f"https://example.com/doc/{n}"},
                              ensure_ascii=False).encode()
            sent = time.monotonic()
            if distributor.push(endpoint, body) != 201:
                raise SystemExit(f"message {n} was refused")
            # Notify calls are all the server records; each carries the time it came.
            if not wait_until(lambda: len(daemon.log) >= n, STEP, 0.001):
                raise SystemExit(f"message {n} was not shown")
            latencies.append((daemon.log[n - 1]["time"] - sent) * 1000)
            if n in (WARM_UP, args.messages):
                time.sleep(0.5)  # let the app finish what the last Notify started
                readings[n] = rss_kib(app.pid)
        if app.poll() is not None:
            raise SystemExit("the app exited")

    latencies.sort()
    growth = readings[args.messages] - readings[WARM_UP]
    per_message = growth * 1024 / (args.messages - WARM_UP)
    print(f"messages: {args.messages}")
    print("| metric | value |")
    print("|---|---|")
    print(f"| POST → Notify, median (ms) | {statistics.median(latencies):.1f} |")
    print(f"| POST → Notify, 95th percentile (ms) | "
          f"{latencies[int(len(latencies) * 0.95) - 1]:.1f} |")
    print(f"| POST → Notify, max (ms) | {latencies[-1]:.1f} |")
    print(f"| RSS after {WARM_UP} messages (MiB) | {readings[WARM_UP] / 1024:.1f} |")
    print(f"| RSS after {args.messages} messages (MiB) | {readings[args.messages] / 1024:.1f} |")
    print(f"| growth per message after warm-up (bytes) | {per_message:.0f} |")


if __name__ == "__main__":
    main()
