"""Starts the local service (devservice/) for a test and talks to it: the provider's endpoints,
the test controls, and a PKCE sign-in walked by the test browser. Its stderr goes to a file that
is removed on exit (kept with ZANDORIN_DEVSERVICE_KEEP=1).

    with DevService(access_token_ttl=60) as service:
        pkce = Pkce()
        callback = service.sign_in(pkce, profile)        # zandorin-auth://callback?code=...
        status, tokens = service.exchange(query_of(callback)["code"], pkce.verifier)

Standard library only; works with any python3.
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
SCOPE = "openid offline_access"
# The first start in a fresh checkout runs `npm ci`.
START_TIMEOUT = 180.0
STOP_TIMEOUT = 5.0
REQUEST_TIMEOUT = 10.0


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
        self.proc = None
        self.port = None
        self.stdout_lines = []
        self._dir = None
        self.stderr_path = None

    # -- lifecycle -------------------------------------------------------------------------
    def __enter__(self):
        self._dir = tempfile.mkdtemp(prefix="zandorin-devservice-")
        self.stderr_path = os.path.join(self._dir, "service.err")
        env = {k: v for k, v in os.environ.items() if not k.lower().endswith("_proxy")}
        with open(self.stderr_path, "wb") as err:
            self.proc = subprocess.Popen([LAUNCHER, *self.args], stdin=subprocess.DEVNULL,
                                         stdout=subprocess.PIPE, stderr=err, env=env)
        try:
            line = self._read_line(START_TIMEOUT)
            if not line.startswith("LISTENING "):
                raise RuntimeError(f"unexpected first line from the service: {line!r}")
            self.port = int(line.split()[1])
        except BaseException:
            self.stop()
            raise
        return self

    def __exit__(self, *exc):
        self.stop()
        if os.environ.get("ZANDORIN_DEVSERVICE_KEEP"):
            print(f"devservice log kept in {self.stderr_path}", file=sys.stderr)
        else:
            shutil.rmtree(self._dir, ignore_errors=True)
        return False

    def _read_line(self, timeout):
        fd = self.proc.stdout.fileno()
        data = b""
        end = time.monotonic() + timeout
        while not data.endswith(b"\n"):
            left = end - time.monotonic()
            if left <= 0:
                raise RuntimeError(f"the service said nothing within {timeout:.0f} s:\n"
                                   + self.stderr()[-2000:])
            ready, _, _ = select.select([fd], [], [], left)
            if ready:
                chunk = os.read(fd, 4096)
                if not chunk:
                    raise RuntimeError("the service ended before listening:\n"
                                       + self.stderr()[-2000:])
                data += chunk
        self.stdout_lines.append(data.decode().strip())
        return self.stdout_lines[-1]

    def stop(self):
        """SIGTERM, then SIGKILL, each wait bounded. Returns the exit status."""
        if self.proc is None:
            return None
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(STOP_TIMEOUT)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(STOP_TIMEOUT)
        if self.proc.stdout.closed:
            return self.proc.returncode
        rest = self.proc.stdout.read()
        self.proc.stdout.close()
        if rest:
            self.stdout_lines += rest.decode(errors="replace").splitlines()
        return self.proc.returncode

    def stderr(self):
        with open(self.stderr_path, encoding="utf-8", errors="replace") as f:
            return f.read()

    # -- addresses -------------------------------------------------------------------------
    @property
    def origin(self):
        return f"http://127.0.0.1:{self.port}"

    @property
    def issuer(self):
        return f"{self.origin}/realms/{self.realm}"

    @property
    def token_url(self):
        return f"{self.issuer}/protocol/openid-connect/token"

    def authorization_url(self, pkce=None, **overrides):
        """The URL the app opens; `overrides` replace or (with None) drop parameters."""
        params = {"client_id": CLIENT_ID, "redirect_uri": REDIRECT_URI, "response_type": "code",
                  "scope": SCOPE}
        if pkce is not None:
            params.update(code_challenge=pkce.challenge, code_challenge_method="S256")
        params.update(overrides)
        query = urllib.parse.urlencode({k: v for k, v in params.items() if v is not None},
                                       quote_via=urllib.parse.quote, safe=":/")
        return f"{self.issuer}/protocol/openid-connect/auth?{query}"

    # -- HTTP ------------------------------------------------------------------------------
    def request(self, method, url, body=None, content_type=None):
        """(status, headers, body bytes) without following redirects or raising on errors."""
        request = urllib.request.Request(url, data=body, method=method)
        if content_type:
            request.add_header("Content-Type", content_type)
        opener = urllib.request.build_opener(urllib.request.ProxyHandler({}),
                                             test_browser.AnswersAsTheyCome())
        with opener.open(request, timeout=REQUEST_TIMEOUT) as response:
            return response.status, response.headers, response.read()

    def post_form(self, url, fields):
        status, _, body = self.request("POST", url, urllib.parse.urlencode(fields).encode(),
                                       "application/x-www-form-urlencoded")
        try:
            return status, json.loads(body)
        except ValueError:
            return status, body.decode(errors="replace")

    def exchange(self, code, verifier, **overrides):
        fields = {"grant_type": "authorization_code", "client_id": CLIENT_ID, "code": code,
                  "redirect_uri": REDIRECT_URI, "code_verifier": verifier}
        fields.update(overrides)
        return self.post_form(self.token_url, {k: v for k, v in fields.items() if v is not None})

    def refresh(self, refresh_token):
        return self.post_form(self.token_url, {"grant_type": "refresh_token",
                                               "client_id": CLIENT_ID,
                                               "refresh_token": refresh_token})

    def get_json(self, path):
        status, _, body = self.request("GET", self.origin + path)
        return status, json.loads(body)

    def control(self, path, payload=None):
        status, _, body = self.request("POST", self.origin + path,
                                       json.dumps(payload or {}).encode(), "application/json")
        return status, json.loads(body)

    def token_requests(self):
        return self.get_json("/test/requests")[1]["token_requests"]

    # -- sign-in ---------------------------------------------------------------------------
    def sign_in(self, pkce, profile, **overrides):
        """Walks the provider with the test browser. Returns the callback URL (or fails)."""
        result = test_browser.walk(self.authorization_url(pkce, **overrides), profile)
        if result.final_url is None:
            raise AssertionError(f"sign-in walk failed: {result.failure}\n"
                                 + "\n".join(profile.log_lines()))
        return result.final_url
