"""What the benches ask of the local service beyond the tests' controls."""

import base64
import hashlib
import os
import secrets
import shutil
import sys
import tempfile
import urllib.parse

ROOT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..")
sys.path[:0] = [os.path.join(ROOT, "tests", "integration", "devservice"),
                os.path.join(ROOT, "tests", "support", "desktop")]
from devservice import DevService, test_browser  # noqa: E402,F401 (DevService for the benches)

CLIENT_ID = "zandorin-mcp"
REDIRECT_URI = "zandorin-auth://callback"


def b64url(data):
    return base64.urlsafe_b64encode(data).rstrip(b"=").decode()


def signed_in_tokens(service):
    """The token answer of a whole PKCE sign-in, walked by a browser profile of its own."""
    profile = tempfile.mkdtemp(prefix="zandorin-browser-")
    try:
        verifier = b64url(secrets.token_bytes(32))
        params = {"client_id": CLIENT_ID, "redirect_uri": REDIRECT_URI,
                  "response_type": "code", "scope": "openid offline_access",
                  "code_challenge": b64url(hashlib.sha256(verifier.encode()).digest()),
                  "code_challenge_method": "S256"}
        callback = test_browser.walk(f"{service.issuer}/protocol/openid-connect/auth?"
                                     + urllib.parse.urlencode(params), profile)
        if callback is None:
            raise AssertionError("\n".join(test_browser.log_lines(profile)))
        code = urllib.parse.parse_qs(urllib.parse.urlsplit(callback).query)["code"][0]
        return service.request("/realms/zandorin/protocol/openid-connect/token", form={
            "grant_type": "authorization_code", "client_id": CLIENT_ID, "code": code,
            "redirect_uri": REDIRECT_URI, "code_verifier": verifier})
    finally:
        shutil.rmtree(profile, ignore_errors=True)


def health_checks(service):
    """The MCP requests received, one list per health check: each "initialize" starts one,
    except the retry of an "initialize" answered 401."""
    checks = []
    for request in service.request("/test/mcp/requests")["requests"]:
        retry = checks and checks[-1][-1]["rpc_method"] == "initialize" \
            and checks[-1][-1]["status"] == 401
        if request["rpc_method"] == "initialize" and not retry:
            checks.append([])
        if checks:
            checks[-1].append(request)
    return checks
