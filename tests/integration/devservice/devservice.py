"""The local service (devservice/) for a test, on a port of its own: its test controls, and a
sign-in walked by the scripted browser (`with DevService() as service: service.reset()`)."""

import base64
import hashlib
import json
import os
import secrets
import shutil
import subprocess
import sys
import tempfile
import urllib.parse
import urllib.request

ROOT = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", ".."))
sys.path[:0] = [os.path.join(ROOT, "tests", "support", d) for d in ("browser", "desktop")]
import scripted_browser as test_browser  # noqa: E402 (the name the app tests import)
from session import first_line, stop_child  # noqa: E402

CLIENT_ID = "zandorin-mcp"
REDIRECT_URI = "zandorin-auth://callback"
START_TIMEOUT = 180.0  # the first start in a fresh checkout runs `npm ci`


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


class DevService:
    def __enter__(self):
        self.stderr = tempfile.TemporaryFile()
        env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
        self.proc = subprocess.Popen(
            [os.path.join(ROOT, "scripts", "devservice.sh"), "--port", "0"],
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

    def signed_in_tokens(self):
        """The token answer of a whole PKCE sign-in, walked by a browser profile of its own."""
        profile = tempfile.mkdtemp(prefix="zandorin-browser-")
        try:
            verifier = b64url(secrets.token_bytes(32))
            params = {"client_id": CLIENT_ID, "redirect_uri": REDIRECT_URI,
                      "response_type": "code", "scope": "openid offline_access",
                      "code_challenge": b64url(hashlib.sha256(verifier.encode()).digest()),
                      "code_challenge_method": "S256"}
            callback = test_browser.walk(f"{self.issuer}/protocol/openid-connect/auth?"
                                         + urllib.parse.urlencode(params), profile)
            if callback is None:
                raise AssertionError("\n".join(test_browser.log_lines(profile)))
            code = urllib.parse.parse_qs(urllib.parse.urlsplit(callback).query)["code"][0]
            return self.request("/realms/zandorin/protocol/openid-connect/token", form={
                "grant_type": "authorization_code", "client_id": CLIENT_ID, "code": code,
                "redirect_uri": REDIRECT_URI, "code_verifier": verifier})
        finally:
            shutil.rmtree(profile, ignore_errors=True)

    def health_checks(self):
        """The MCP requests received, one list per health check: each "initialize" starts one,
        except the retry of an "initialize" answered 401."""
        checks = []
        for request in self.request("/test/mcp/requests")["requests"]:
            retry = checks and checks[-1][-1]["rpc_method"] == "initialize" \
                and checks[-1][-1]["status"] == 401
            if request["rpc_method"] == "initialize" and not retry:
                checks.append([])
            if checks:
                checks[-1].append(request)
        return checks
