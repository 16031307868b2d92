#!/usr/bin/python3
"""The local service's identity provider as the application meets it: a sign-in walked by the
test browser gives a refresh token and a JWT access token with the claims the app reads, refresh
tokens rotate, and neither its log nor its record of token requests holds a secret.

Usage: test_devservice.py [unittest options]
"""

import os
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devservice import (CLIENT_ID, REDIRECT_URI, DevService, Pkce, jwt_parts,  # noqa: E402
                        query_of, test_browser)

SECRET_FIELDS = ("access_token", "refresh_token", "id_token", "code")
TTL = 120


def shown(answer):
    """A token-endpoint answer as a failure message may show it: without its secrets."""
    if isinstance(answer, dict):
        return {k: "<redacted>" if k in SECRET_FIELDS else v for k, v in answer.items()}
    return answer


class ProviderTest(unittest.TestCase):
    """Failure messages here never print codes or tokens."""

    longMessage = False

    def setUp(self):
        self.service = DevService(realm="test-realm", access_token_ttl=TTL).__enter__()
        self.addCleanup(self.service.__exit__, None, None, None)
        profile_dir = tempfile.mkdtemp(prefix="zandorin-browser-")
        self.addCleanup(shutil.rmtree, profile_dir, True)
        self.profile = test_browser.Profile(profile_dir)
        self.secrets = []

    def sign_in(self, login="ada"):
        """A complete sign-in and code exchange: (callback query, token answer)."""
        self.profile.configure(login=login, password="Password-Of-Ada")
        pkce = Pkce()
        callback = self.service.sign_in(pkce, self.profile)
        self.assertTrue(callback.startswith(REDIRECT_URI + "?"), test_browser.redact(callback))
        query = query_of(callback)
        self.secrets += [pkce.verifier, pkce.challenge, query.get("code"), "Password-Of-Ada"]
        # PKCE holds: the code is worth nothing without its verifier.
        status, answer = self.service.exchange(query["code"], Pkce().verifier)
        self.assertEqual((status, answer.get("error")), (400, "invalid_grant"), shown(answer))
        status, tokens = self.service.exchange(query["code"], pkce.verifier)
        self.assertEqual(status, 200, shown(tokens))
        self.secrets += [tokens[k] for k in ("access_token", "refresh_token", "id_token")]
        return query, tokens

    def assertNoSecretIn(self, text, what):
        for secret in self.secrets:
            for piece in (secret, secret[:16], secret[-16:]):
                if piece in text:
                    self.fail(f"{what} holds a secret ({len(secret)} characters)")

    def test_sign_in_gives_a_refresh_token_and_a_jwt_with_the_claims_the_app_reads(self):
        started = int(time.time())
        query, tokens = self.sign_in(login="grace")
        self.assertEqual(sorted(query), ["code", "iss"])
        self.assertEqual(query["iss"], self.service.issuer)
        self.assertTrue(self.service.issuer.endswith("/realms/test-realm"))
        self.assertEqual((tokens["token_type"], tokens["expires_in"]), ("Bearer", TTL))
        self.assertTrue(tokens.get("refresh_token"))

        header, claims, _ = jwt_parts(tokens["access_token"])
        self.assertEqual(header["typ"], "at+jwt")
        self.assertEqual({k: claims[k] for k in ("sub", "email", "preferred_username",
                                                 "client_id", "iss", "aud")},
                         {"sub": "grace", "email": "grace@example.com",
                          "preferred_username": "grace", "client_id": CLIENT_ID,
                          "iss": self.service.issuer, "aud": f"{self.service.origin}/mcp"})
        self.assertEqual(claims["exp"] - claims["iat"], TTL)
        self.assertLessEqual(abs(claims["iat"] - started), 5)

        # The browser saw the login form, then the consent form, and logged no secret.
        log = "\n".join(self.profile.log_lines())
        self.assertIn("submits form: prompt=login, login=grace, password", log)
        self.assertIn("submits form: prompt=consent", log)
        self.assertNoSecretIn(log, "the browser log")

    def test_refresh_rotates_and_a_used_refresh_token_ends_the_grant(self):
        _, first = self.sign_in()
        status, second = self.service.refresh(first["refresh_token"])
        self.assertEqual(status, 200, shown(second))
        if second["refresh_token"] == first["refresh_token"]:
            self.fail("the refresh token did not rotate")
        claims = jwt_parts(second["access_token"])[1]
        self.assertEqual((claims["sub"], claims["email"]), ("ada", "ada@example.com"))

        status, answer = self.service.refresh(first["refresh_token"])
        self.assertEqual((status, answer["error"]), (400, "invalid_grant"))
        # Presenting the used token revoked the grant: its successor is gone too.
        status, answer = self.service.refresh(second["refresh_token"])
        self.assertEqual((status, answer["error"]), (400, "invalid_grant"))

    def test_neither_the_log_nor_the_recorded_requests_hold_a_secret(self):
        _, tokens = self.sign_in()
        status, refreshed = self.service.refresh(tokens["refresh_token"])
        self.assertEqual(status, 200)
        self.secrets += [refreshed["access_token"], refreshed["refresh_token"]]
        recorded = self.service.token_requests()
        self.assertEqual([(r["grant_type"], r["status"]) for r in recorded],
                         [("authorization_code", 400), ("authorization_code", 200),
                          ("refresh_token", 200)])
        self.assertNoSecretIn(repr(recorded), "/test/requests")
        self.assertEqual(self.service.stop(), 0)
        stderr = self.service.stderr()
        for line in ("POST /realms/test-realm/protocol/openid-connect/token 200",
                     "GET /realms/test-realm/protocol/openid-connect/auth?<redacted> 303"):
            self.assertTrue(line in stderr, f"no {line!r} in the service's stderr")
        self.assertNoSecretIn(stderr, "the service's stderr")


if __name__ == "__main__":
    unittest.main()
