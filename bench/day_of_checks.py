#!/usr/bin/python3
"""A day of checks without growth: runs bench-day-of-checks (the core over the real libcurl client
and a private gnome-keyring) against the local service, signed in through the provider, and
prints what it measured.

Usage: day_of_checks.py [--checks N] EXECUTABLE
"""

import argparse
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.join(HERE, "..")
sys.path.insert(0, os.path.join(ROOT, "tests", "support", "desktop"))
from local_service import DevService, signed_in_tokens  # noqa: E402
from session import DesktopSession  # noqa: E402


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--checks", type=int, default=10000)
    parser.add_argument("executable")
    args = parser.parse_args()

    with DevService() as service, DesktopSession(watcher=False) as session:
        tokens = signed_in_tokens(service)
        service.reset()
        # The tokens go on stdin, never on a command line; the keyring is the session's.
        bench = subprocess.run(
            [args.executable, service.origin, service.issuer, str(args.checks)],
            input=f"{tokens['access_token']}\n{tokens['refresh_token']}\n", text=True,
            env=session.env, timeout=3600, check=False)
    return bench.returncode


if __name__ == "__main__":
    sys.exit(main())
