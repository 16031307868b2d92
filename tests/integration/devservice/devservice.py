"""Starts the local service (devservice/) for a test and talks to it: a sign-in walked by the
scripted browser, and the test controls. Standard library only.

    with DevService(access_token_ttl=60) as service:
        tokens = service.signed_in_tokens()
"""

import base64
import hashlib
import json
import os
import secrets
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.parse
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.abspath(os.path.join(HERE, "..", "..", ".."))
sys.path.insert(0, os.path.join(ROOT, "tests", "support", "browser"))
import scripted_browser as test_browser  # noqa: E402 (the name the app tests import)

LAUNCHER = os.path.join(ROOT, "scripts", "devservice.sh")
CLIENT_ID = "zandorin-mcp"
REDIRECT_URI = "zandorin-auth://callback"
START_TIMEOUT = 180.0  # the first start in a fresh checkout runs `npm ci`


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def jwt_parts(token):
    def decode(part):
        return json.loads(base64.urlsafe_b64decode(part + "=" * (-len(part) % 4)))
    header, payload, signature = token.split(".")
    return decode(header), decode(payload), signature


class DevService:
    def __init__(self, access_token_ttl=None):
        self.args = ["--port", "0"]
        if access_token_ttl is not None:
            self.args += ["--access-token-ttl", str(access_token_ttl)]
        self.port = None

    def __enter__(self):
        self._dir = tempfile.mkdtemp(prefix="zandorin-devservice-")
        self.stderr_path = os.path.join(self._dir, "service.err")
        env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
        with open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen([LAUNCHER, *self.args], stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, stderr=err, env=env)
        try:
            line = self._first_line()
            if not line.startswith("LISTENING "):
                raise RuntimeError(f"unexpected first line from the service: {line!r}")
            self.port = int(line.split()[1])
        except BaseException:
            self.__exit__()
            raise
        return self

    def __exit__(self, *exc):
        """SIGTERM, then SIGKILL, each wait bounded."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        self.proc.stdout.close()
        shutil.rmtree(self._dir, ignore_errors=True)
        return False

    def _first_line(self):
        fd, data = self.proc.stdout.fileno(), b""
        end = time.monotonic() + START_TIMEOUT
        while not data.endswith(b"\n"):
            left = end - time.monotonic()
            chunk = os.read(fd, 4096) if left > 0 and select.select([fd], [], [], left)[0] else b""
            if not chunk:
                with open(self.stderr_path, encoding="utf-8", errors="replace") as f:
                    raise RuntimeError("the service did not start:\n" + f.read()[-2000:])
            data += chunk
        return data.decode().strip()

    @property
    def origin(self):
        return f"http://127.0.0.1:{self.port}"

    @property
    def issuer(self):
        return f"{self.origin}/realms/zandorin"

    def _request(self, method, path, payload=None, form=None):
        """The JSON answer to a request that must succeed."""
        body, content_type = None, None
        if form is not None:
            body, content_type = urllib.parse.urlencode(form).encode(), \
                "application/x-www-form-urlencoded"
        elif method == "POST":
            body, content_type = json.dumps(payload or {}).encode(), "application/json"
        request = urllib.request.Request(self.origin + path, data=body, method=method)
        if content_type:
            request.add_header("Content-Type", content_type)
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}),
                                             test_browser.AnswersAsTheyCome())
        with opener.open(request, timeout=10) as response:
            status, answer = response.status, response.read()
        if status != 200:
            raise AssertionError(f"{method} {path}: {status}")
        return json.loads(answer)

    def token_requests(self):
        return self._request("GET", "/test/requests")["token_requests"]

    def reset(self):
        return self._request("POST", "/test/reset")

    def set_subscription(self, active):
        return self._request("POST", "/test/mcp/subscription", {"active": active})

    def set_answer_mode(self, mode):
        """"sse" or "json", for sessions opened from now on."""
        return self._request("POST", "/test/mcp/answer-mode", {"mode": mode})

    def drop_sessions(self):
        return self._request("POST", "/test/mcp/drop-sessions")["dropped"]

    def stats_requests(self):
        return self._request("GET", "/test/stats-requests")

    def push_tokens(self):
        return self._request("GET", "/test/push-tokens")["requests"]

    def fail_next_push(self, count, status):
        return self._request("POST", "/test/push-token/fail-next",
                             {"count": count, "status": status})

    def push_message(self, payload):
        """Pushes a JSON message to every device token reported and not withdrawn; the
        deliveries, each with the push server's status."""
        return self._request("POST", "/test/push-message", {"payload": payload})["deliveries"]

    def payments(self):
        return self._request("GET", "/test/payments")

    def signed_in_tokens(self, login="ada"):
        """The token answer of a whole PKCE sign-in, walked by a browser profile of its own."""
        profile_dir = tempfile.mkdtemp(prefix="zandorin-browser-")
        try:
            profile = test_browser.Profile(profile_dir)
            profile.configure(login=login)
            verifier = b64url(secrets.token_bytes(32))
            params = {"client_id": CLIENT_ID, "redirect_uri": REDIRECT_URI,
                      "response_type": "code", "scope": "openid offline_access",
                      "code_challenge": b64url(hashlib.sha256(verifier.encode()).digest()),
                      "code_challenge_method": "S256"}
            url = f"{self.issuer}/protocol/openid-connect/auth?" + urllib.parse.urlencode(params)
            callback, failure = test_browser.walk(url, profile)
            if callback is None:
                raise AssertionError(f"sign-in walk failed: {failure}\n"
                                     + "\n".join(profile.log_lines()))
            code = urllib.parse.parse_qs(urllib.parse.urlsplit(callback).query)["code"][0]
            return self._request("POST", "/realms/zandorin/protocol/openid-connect/token", form={
                "grant_type": "authorization_code", "client_id": CLIENT_ID, "code": code,
                "redirect_uri": REDIRECT_URI, "code_verifier": verifier})
        finally:
            shutil.rmtree(profile_dir, ignore_errors=True)

    def health_checks(self):
        """The MCP requests received, one list per health check: each "initialize" starts one,
        except the retry of an "initialize" answered 401."""
        checks = []
        for request in self._request("GET", "/test/mcp/requests")["requests"]:
            retry = checks and checks[-1][-1]["rpc_method"] == "initialize" \
                and checks[-1][-1]["status"] == 401
            if request["rpc_method"] == "initialize" and not retry:
                checks.append([])
            if checks:
                checks[-1].append(request)
        return checks
