#!/usr/bin/python3
"""What a health check costs the service: the app runs signed in against the local service
(tokens from a sign-in walked by the test browser) in a private desktop session, and for each
check the service saw (the one at start, then one per 60 s timer firing) this prints how many
HTTP requests and TCP connections it used and how long it took from the first request to the
last request, as the service's request record shows them.

Usage: health_check.py [--checks N] EXECUTABLE
"""

import argparse
import datetime
import os
import plistlib
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "support", "desktop"))
from local_service import DevService, health_checks, signed_in_tokens  # noqa: E402
from session import DesktopSession  # noqa: E402

HEALTH_INTERVAL_S = 60


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--checks", type=int, default=3)
    parser.add_argument("executable")
    args = parser.parse_args()

    with DevService() as service, DesktopSession() as session:
        tokens = signed_in_tokens(service)
        session.store_secret("access_token", tokens["access_token"])
        session.store_secret("refresh_token", tokens["refresh_token"])
        service.reset()
        plist = os.path.join(session.root, "Info.plist")
        with open(plist, "wb") as f:
            plistlib.dump({"MCP_SERVER_URL": service.origin,
                           "KEYCLOAK_ISSUER": service.issuer}, f)
        app = session.start_app(args.executable, env={"ZANDORIN_AUTH_INFO_PLIST": plist})
        end = time.monotonic() + HEALTH_INTERVAL_S * (args.checks - 1) + 20
        while time.monotonic() < end:
            checks = health_checks(service)
            if len(checks) >= args.checks and checks[args.checks - 1][-1]["status"] is not None \
                    and len(checks[args.checks - 1]) >= 3:
                break
            time.sleep(0.5)
        if app.poll() is not None:
            raise SystemExit("the app exited")

    print("| check | requests | TCP connections | first → last request (ms) |")
    print("|---|---|---|---|")
    for number, check in enumerate(checks[:args.checks], 1):
        times = [datetime.datetime.fromisoformat(r["time"].replace("Z", "+00:00"))
                 for r in check]
        span = (max(times) - min(times)).total_seconds() * 1000
        print(f"| {number} | {len(check)} | {len({r['connection'] for r in check})} | "
              f"{span:.0f} |")
    print(f"\nA check runs every {HEALTH_INTERVAL_S} s; the service closes idle connections "
          "after 5 s, so each check opens one.")


if __name__ == "__main__":
    main()
