"""The local service (devservice/) for a test, on a port of its own, and its test controls
(`with DevService() as service: service.reset()`)."""

import json
import os
import subprocess
import sys
import tempfile
import urllib.parse
import urllib.request

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", ".."))
sys.path[:0] = [os.path.join(ROOT, "tests", "support", d) for d in ("browser", "desktop")]
import scripted_browser as test_browser  # noqa: E402 (the name the app tests import)
from session import first_line, stop_child  # noqa: E402

START_TIMEOUT = 180.0  # the first start in a fresh checkout runs `npm ci`


class DevService:
    """`port` 0 picks a free one; a fixed one lets a new service take an old one's place.
    `args` go to the server (e.g. "--access-token-ttl", "60")."""

    def __init__(self, port=0, args=()):
        self.port, self.args = port, list(args)

    def __enter__(self):
        self.stderr = tempfile.TemporaryFile()
        env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
        self.proc = subprocess.Popen(
            [os.path.join(ROOT, "scripts", "devservice.sh"), "--port", str(self.port),
             *self.args],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=self.stderr, env=env)
        try:
            self.port = int(first_line(self.proc, START_TIMEOUT).removeprefix("LISTENING "))
        except (RuntimeError, ValueError):
            stop_child(self.proc)
            self.stderr.seek(0)
            raise RuntimeError("the service did not start:\n"
                               + self.stderr.read()[-2000:].decode(errors="replace"))
        self.origin = f"http://127.0.0.1:{self.port}"
        self.issuer = f"{self.origin}/realms/zandorin"
        return self

    def __exit__(self, *exc):
        stop_child(self.proc)
        self.proc.stdout.close()
        self.stderr.close()
        return False

    def log(self):  # its request log so far
        self.stderr.seek(0)
        return self.stderr.read().decode(errors="replace")

    def request(self, path, payload=None, form=None):
        """The JSON answer to a GET, or to a POST of `payload` or `form`; it must succeed."""
        body = urllib.parse.urlencode(form).encode() if form else \
            None if payload is None else json.dumps(payload).encode()
        request = urllib.request.Request(self.origin + path, data=body)
        if payload is not None:
            request.add_header("Content-Type", "application/json")
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}))
        with opener.open(request, timeout=10) as response:
            return json.loads(response.read())

    def reset(self):
        return self.request("/test/reset", {})
