"""Starts the local service (devservice/) for a test and talks to it: the provider's endpoints,
the test controls, and a PKCE sign-in walked by the test browser. Standard library only.

    with DevService(access_token_ttl=60) as service:
        pkce = Pkce()
        callback = service.sign_in(pkce, profile)        # zandorin-auth://callback?code=...
        status, tokens = service.exchange(query_of(callback)["code"], pkce.verifier)
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
import test_browser  # noqa: E402

LAUNCHER = os.path.join(ROOT, "scripts", "devservice.sh")
CLIENT_ID = "zandorin-mcp"
REDIRECT_URI = "zandorin-auth://callback"
START_TIMEOUT = 180.0  # the first start in a fresh checkout runs `npm ci`
_UNSET = object()


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def b64url_decode(text):
    return base64.urlsafe_b64decode(text + "=" * (-len(text) % 4))


class Pkce:
    def __init__(self):
        self.verifier = b64url(secrets.token_bytes(32))
        self.challenge = b64url(hashlib.sha256(self.verifier.encode()).digest())


def query_of(url):
    return dict(urllib.parse.parse_qsl(urllib.parse.urlsplit(url).query, keep_blank_values=True))


def jwt_parts(token):
    header, payload, signature = token.split(".")
    return json.loads(b64url_decode(header)), json.loads(b64url_decode(payload)), signature


class DevService:
    def __init__(self, *args, access_token_ttl=None, realm="zandorin"):
        self.args = ["--port", "0", "--realm", realm, *args]
        if access_token_ttl is not None:
            self.args += ["--access-token-ttl", str(access_token_ttl)]
        self.realm = realm
        self.proc = self.port = None

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
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()
        shutil.rmtree(self._dir, ignore_errors=True)
        return False

    def _first_line(self):
        fd, data = self.proc.stdout.fileno(), b""
        end = time.monotonic() + START_TIMEOUT
        while not data.endswith(b"\n"):
            left = end - time.monotonic()
            chunk = os.read(fd, 4096) if left > 0 and select.select([fd], [], [], left)[0] else b""
            if not chunk:
                raise RuntimeError("the service did not start:\n" + self.stderr()[-2000:])
            data += chunk
        return data.decode().strip()

    def stop(self):
        """SIGTERM, then SIGKILL, each wait bounded. Returns the exit status."""
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(5)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        self.proc.stdout.close()
        return self.proc.returncode

    def stderr(self):
        with open(self.stderr_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    @property
    def origin(self):
        return f"http://127.0.0.1:{self.port}"

    @property
    def issuer(self):
        return f"{self.origin}/realms/{self.realm}"

    @property
    def token_url(self):
        return f"{self.issuer}/protocol/openid-connect/token"

    def authorization_url(self, pkce):
        """The URL the app opens."""
        params = {"client_id": CLIENT_ID, "redirect_uri": REDIRECT_URI, "response_type": "code",
                  "scope": "openid offline_access", "code_challenge": pkce.challenge,
                  "code_challenge_method": "S256"}
        query = urllib.parse.urlencode(params, quote_via=urllib.parse.quote, safe=":/")
        return f"{self.issuer}/protocol/openid-connect/auth?{query}"

    def request(self, method, url, body=None, content_type=None):
        """(status, body bytes), without following redirects or raising on errors."""
        request = urllib.request.Request(url, data=body, method=method)
        if content_type:
            request.add_header("Content-Type", content_type)
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}),
                                             test_browser.AnswersAsTheyCome())
        with opener.open(request, timeout=10) as response:
            return response.status, response.read()

    def post_form(self, url, fields):
        status, body = self.request("POST", url, urllib.parse.urlencode(fields).encode(),
                                    "application/x-www-form-urlencoded")
        try:
            return status, json.loads(body)
        except ValueError:
            return status, body.decode(errors="replace")

    def exchange(self, code, verifier):
        return self.post_form(self.token_url, {
            "grant_type": "authorization_code", "client_id": CLIENT_ID, "code": code,
            "redirect_uri": REDIRECT_URI, "code_verifier": verifier})

    def refresh(self, refresh_token):
        return self.post_form(self.token_url, {"grant_type": "refresh_token",
                                               "client_id": CLIENT_ID,
                                               "refresh_token": refresh_token})

    def control(self, path, payload=None):
        status, body = self.request("POST", self.origin + path,
                                    json.dumps(payload or {}).encode(), "application/json")
        return status, json.loads(body)

    def _set(self, path, payload):
        """A control that must be accepted: its answer."""
        status, answer = self.control(path, payload)
        if status != 200:
            raise AssertionError(f"POST {path}: {status} {answer}")
        return answer

    def _get(self, path):
        status, body = self.request("GET", self.origin + path)
        if status != 200:
            raise AssertionError(f"GET {path}: {status}")
        return json.loads(body)

    def token_requests(self):
        return self._get("/test/requests")["token_requests"]

    @property
    def mcp_url(self):
        return f"{self.origin}/mcp"

    def reset(self):
        return self._set("/test/reset", {})

    def set_subscription(self, active):
        return self._set("/test/mcp/subscription", {"active": active})

    def set_checkout_text(self, text):
        """None restores the default answer; "{pay_url}" in the text becomes a payment link."""
        return self._set("/test/mcp/checkout", {"text": text})

    def set_answer_mode(self, mode):
        """"sse" or "json", for sessions opened from now on."""
        return self._set("/test/mcp/answer-mode", {"mode": mode})

    def fail_next_mcp(self, count, mode, status=None, delay_ms=None):
        order = {"count": count, "mode": mode}
        order.update({k: v for k, v in (("status", status), ("delay_ms", delay_ms))
                      if v is not None})
        return self._set("/test/mcp/fail-next", order)

    def drop_sessions(self):
        return self._set("/test/mcp/drop-sessions", {})["dropped"]

    def mcp_requests(self):
        return self._get("/test/mcp/requests")["requests"]

    def stats_requests(self):
        return self._get("/test/stats-requests")

    def set_stats(self, json=_UNSET, raw=None, content_type=None):  # noqa: A002 (the control's name)
        """The next /api/stats answers: any JSON value (None is null), or a raw body as given."""
        if raw is not None:
            return self._set("/test/stats", {"raw": raw, "content_type": content_type})
        if json is _UNSET:
            raise TypeError("set_stats needs json or raw")
        return self._set("/test/stats", {"json": json})

    def push_tokens(self):
        return self._get("/test/push-tokens")["requests"]

    def fail_next_push(self, count, status):
        return self._set("/test/push-token/fail-next", {"count": count, "status": status})

    def push_message(self, payload=_UNSET, raw=None, token=None):
        """Pushes a message (a JSON value, or raw text) to one device token or to every one
        reported and not withdrawn; the deliveries, each with the push server's status."""
        body = {"raw": raw} if raw is not None else {"payload": payload}
        if raw is None and payload is _UNSET:
            raise TypeError("push_message needs payload or raw")
        if token is not None:
            body["token"] = token
        return self._set("/test/push-message", body)["deliveries"]

    def payments(self):
        return self._get("/test/payments")

    def connections(self):
        return self._get("/test/connections")["accepted"]

    def signed_in_tokens(self, login="ada"):
        """The token answer of a whole sign-in, walked by a browser profile of its own."""
        profile_dir = tempfile.mkdtemp(prefix="zandorin-browser-")
        try:
            profile = test_browser.Profile(profile_dir)
            profile.configure(login=login)
            pkce = Pkce()
            callback = self.sign_in(pkce, profile)
            status, tokens = self.exchange(query_of(callback)["code"], pkce.verifier)
            if status != 200:
                raise AssertionError(f"the code exchange answered {status}")
            return tokens
        finally:
            shutil.rmtree(profile_dir, ignore_errors=True)

    def health_checks(self):
        """The MCP requests received, one list per health check: each "initialize" starts one,
        except the retry of an "initialize" answered 401."""
        checks = []
        for request in self.mcp_requests():
            retry = checks and checks[-1][-1]["rpc_method"] == "initialize" \
                and checks[-1][-1]["status"] == 401
            if request["rpc_method"] == "initialize" and not retry:
                checks.append([])
            if checks:
                checks[-1].append(request)
        return checks

    def sign_in(self, pkce, profile):
        """Walks the provider with the test browser. Returns the callback URL (or fails)."""
        result = test_browser.walk(self.authorization_url(pkce), profile)
        if result.final_url is None:
            raise AssertionError(f"sign-in walk failed: {result.failure}\n"
                                 + "\n".join(profile.log_lines()))
        return result.final_url
