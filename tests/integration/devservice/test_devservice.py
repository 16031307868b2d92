#!/usr/bin/python3
"""The local service's identity provider as the application meets it: the sign-in walked by the
test browser, the code exchange with PKCE, refresh-token rotation, what it refuses, the test
controls, and a log without secrets.

Usage: test_devservice.py [unittest options]
"""

import hashlib
import os
import re
import shutil
import sys
import tempfile
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devservice import (CLIENT_ID, REDIRECT_URI, DevService, Pkce, b64url_decode,  # noqa: E402
                        jwt_parts, query_of, test_browser)

CODE_SHAPE = re.compile(r"^[A-Za-z0-9_-]{43}$")
SECRET_FIELDS = ("access_token", "refresh_token", "id_token", "code")
# DER prefix of a SHA-256 DigestInfo, as PKCS #1 v1.5 signatures embed it.
SHA256_DIGEST_INFO = bytes.fromhex("3031300d060960864801650304020105000420")


def rs256_signature_valid(token, jwks):
    """Checks an RS256 JWT against a JWK set, with nothing but integer arithmetic."""
    header, _, signature = jwt_parts(token)
    key = next((k for k in jwks["keys"] if k.get("kid") == header.get("kid")), None)
    if key is None or header.get("alg") != "RS256":
        return False
    n = int.from_bytes(b64url_decode(key["n"]), "big")
    e = int.from_bytes(b64url_decode(key["e"]), "big")
    size = (n.bit_length() + 7) // 8
    signed = token.rsplit(".", 1)[0].encode()
    decoded = pow(int.from_bytes(b64url_decode(signature), "big"), e, n).to_bytes(size, "big")
    digest = SHA256_DIGEST_INFO + hashlib.sha256(signed).digest()
    return decoded == b"\x00\x01" + b"\xff" * (size - 3 - len(digest)) + b"\x00" + digest


def shown(answer):
    """A token-endpoint answer as a failure message may show it: without its secrets."""
    if isinstance(answer, dict):
        return {k: "<redacted>" if k in SECRET_FIELDS else v for k, v in answer.items()}
    return answer


class SecretsCase(unittest.TestCase):
    """Failure messages here never print codes or tokens: every assertion that compares them
    says what went wrong in its own words."""

    longMessage = False

    def assertNotLeaked(self, secret, text, what):
        if secret in text:
            self.fail(f"{what} holds a secret ({len(secret)} characters)")

    def assertDiffer(self, first, second, what):
        if first == second:
            self.fail(f"{what}: the same value twice")


class ProviderCase(SecretsCase):
    """One service for the class; each test gets a fresh browser profile."""

    ACCESS_TOKEN_TTL = 120
    service = None

    @classmethod
    def setUpClass(cls):
        cls.service = DevService(access_token_ttl=cls.ACCESS_TOKEN_TTL).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.service.__exit__(None, None, None)

    def setUp(self):
        status, _ = self.service.control("/test/reset")
        self.assertEqual(status, 200)
        self.profile_dir = tempfile.mkdtemp(prefix="zandorin-browser-")
        self.addCleanup(shutil.rmtree, self.profile_dir, True)
        self.profile = test_browser.Profile(self.profile_dir)

    def signed_in(self, login="ada"):
        """A complete sign-in and code exchange: (callback query, token answer)."""
        self.profile.configure(login=login)
        pkce = Pkce()
        query = query_of(self.service.sign_in(pkce, self.profile))
        status, tokens = self.service.exchange(query["code"], pkce.verifier)
        self.assertEqual(status, 200, shown(tokens))
        return query, tokens


class SignInTest(ProviderCase):
    def test_callback_carries_a_code_and_the_issuer(self):
        self.profile.configure(password="Password-Of-Ada")
        pkce = Pkce()
        callback = self.service.sign_in(pkce, self.profile)
        self.assertTrue(callback.startswith(REDIRECT_URI + "?"), test_browser.redact(callback))
        query = query_of(callback)
        self.assertEqual(sorted(query), ["code", "iss"])
        self.assertTrue(CODE_SHAPE.match(query["code"]),
                        f"a code of {len(query['code'])} characters, not 43 of base64url")
        self.assertEqual(query["iss"], self.service.issuer)
        # The browser saw the login form, then the consent form.
        log = "\n".join(self.profile.log_lines())
        self.assertIn("submits form: prompt=login, login=ada, password", log)
        self.assertIn("submits form: prompt=consent", log)
        for secret in (query["code"], pkce.challenge, "Password-Of-Ada"):
            self.assertNotLeaked(secret, log, "the browser log")

    def test_exchange_gives_a_signed_jwt_with_the_claims_the_app_reads(self):
        started = int(time.time())
        _, tokens = self.signed_in(login="grace")
        self.assertEqual(tokens["token_type"], "Bearer")
        self.assertEqual(tokens["expires_in"], self.ACCESS_TOKEN_TTL)
        self.assertTrue(tokens.get("refresh_token"))

        header, claims, _ = jwt_parts(tokens["access_token"])
        self.assertEqual(header["typ"], "at+jwt")
        self.assertEqual(claims["sub"], "grace")
        self.assertEqual(claims["email"], "grace@example.com")
        self.assertEqual(claims["preferred_username"], "grace")
        self.assertEqual(claims["client_id"], CLIENT_ID)
        self.assertEqual(claims["iss"], self.service.issuer)
        self.assertEqual(claims["aud"], f"{self.service.origin}/mcp")
        self.assertEqual(claims["exp"] - claims["iat"], self.ACCESS_TOKEN_TTL)
        self.assertLessEqual(abs(claims["iat"] - started), 5)

        status, discovery = self.service.get_json(
            "/realms/zandorin/.well-known/openid-configuration")
        self.assertEqual(status, 200)
        self.assertEqual(discovery["issuer"], self.service.issuer)
        self.assertEqual(discovery["token_endpoint"], self.service.token_url)
        status, jwks = self.service.get_json(
            discovery["jwks_uri"][len(self.service.origin):])
        self.assertEqual(status, 200)
        self.assertTrue(rs256_signature_valid(tokens["access_token"], jwks))
        forged = tokens["access_token"][:-8] + ("AAAAAAAA" if not tokens["access_token"].endswith(
            "AAAAAAAA") else "BBBBBBBB")
        self.assertFalse(rs256_signature_valid(forged, jwks))

    def test_second_sign_in_reuses_the_provider_session(self):
        first, _ = self.signed_in()
        lines_before = len(self.profile.log_lines())
        second, tokens = self.signed_in(login="someone-else")  # no login form: ignored
        later = "\n".join(self.profile.log_lines()[lines_before:])
        self.assertNotIn("prompt=login", later)
        self.assertIn("prompt=consent", later)
        self.assertDiffer(first["code"], second["code"], "codes of two sign-ins")
        self.assertEqual(jwt_parts(tokens["access_token"])[1]["sub"], "ada")

    def test_abort_returns_access_denied_without_a_code(self):
        self.profile.configure(mode="abort")
        query = query_of(self.service.sign_in(Pkce(), self.profile))
        self.assertEqual(query.get("error"), "access_denied")
        self.assertNotIn("code", query, "a code came with the refusal")
        self.assertEqual(query.get("iss"), self.service.issuer)

    def test_authorization_requests_that_are_refused(self):
        pkce = Pkce()
        # (case, parameter overrides, where the refusal goes)
        cases = [
            ("web redirect URI", {"redirect_uri": "http://127.0.0.1:9/callback"}, "page"),
            ("unregistered scheme", {"redirect_uri": "zandorin-other://callback"}, "page"),
            ("unknown client", {"client_id": "someone-else"}, "page"),
            ("no PKCE", {"code_challenge": None, "code_challenge_method": None}, "invalid_request"),
            ("plain PKCE", {"code_challenge": pkce.verifier, "code_challenge_method": "plain"},
             "invalid_request"),
        ]
        for name, overrides, expected in cases:
            with self.subTest(name):
                url = self.service.authorization_url(pkce, **overrides)
                status, headers, _ = self.service.request("GET", url)
                location = headers.get("Location")
                if expected == "page":
                    # Never sent back to a redirect URI that is not the client's.
                    self.assertEqual(status, 400)
                    self.assertIsNone(location)
                else:
                    self.assertEqual(status, 303)
                    self.assertTrue(location.startswith(REDIRECT_URI + "?"))
                    self.assertEqual(query_of(location).get("error"), expected)
                    self.assertNotIn("code", query_of(location), "a code came with the refusal")


class TokenEndpointTest(ProviderCase):
    def test_exchanges_that_are_refused(self):
        other = Pkce()
        # (case, fields changed in the exchange, status, OAuth error)
        cases = [
            ("wrong verifier", {"code_verifier": other.verifier}, 400, "invalid_grant"),
            ("no verifier", {"code_verifier": None}, 400, "invalid_grant"),
            ("other redirect URI", {"redirect_uri": "zandorin-auth://elsewhere"}, 400,
             "invalid_grant"),
            ("other client", {"client_id": "someone-else"}, 401, "invalid_client"),
        ]
        for name, overrides, status, error in cases:
            with self.subTest(name):
                pkce = Pkce()
                code = query_of(self.service.sign_in(pkce, self.profile))["code"]
                answer = self.service.exchange(code, pkce.verifier, **overrides)
                self.assertEqual(answer[0], status, shown(answer[1]))
                self.assertEqual(answer[1].get("error"), error, shown(answer[1]))

    def test_code_works_once(self):
        pkce = Pkce()
        code = query_of(self.service.sign_in(pkce, self.profile))["code"]
        self.assertEqual(self.service.exchange(code, pkce.verifier)[0], 200)
        status, answer = self.service.exchange(code, pkce.verifier)
        self.assertEqual((status, answer["error"]), (400, "invalid_grant"))

    def test_refresh_rotates_and_a_used_refresh_token_ends_the_grant(self):
        _, first = self.signed_in()
        status, second = self.service.refresh(first["refresh_token"])
        self.assertEqual(status, 200, shown(second))
        self.assertDiffer(second["refresh_token"], first["refresh_token"], "refresh tokens")
        self.assertDiffer(second["access_token"], first["access_token"], "access tokens")
        claims = jwt_parts(second["access_token"])[1]
        self.assertEqual((claims["sub"], claims["email"]), ("ada", "ada@example.com"))

        status, answer = self.service.refresh(first["refresh_token"])
        self.assertEqual((status, answer["error"]), (400, "invalid_grant"))
        # Presenting the used token revoked the grant: its successor is gone too.
        status, answer = self.service.refresh(second["refresh_token"])
        self.assertEqual((status, answer["error"]), (400, "invalid_grant"))

    def test_requests_are_recorded_without_their_secrets(self):
        query, tokens = self.signed_in()
        self.service.refresh(tokens["refresh_token"])
        self.service.refresh(tokens["refresh_token"])
        recorded = self.service.token_requests()
        summary = [(r["grant_type"], r["client_id"], r["code_presented"],
                    r["code_verifier_presented"], r["refresh_token_presented"], r["status"],
                    r["error"]) for r in recorded]
        self.assertEqual(summary, [
            ("authorization_code", CLIENT_ID, True, True, False, 200, None),
            ("refresh_token", CLIENT_ID, False, False, True, 200, None),
            ("refresh_token", CLIENT_ID, False, False, True, 400, "invalid_grant"),
        ])
        self.assertEqual(recorded[0]["redirect_uri"], REDIRECT_URI)
        self.assertEqual(recorded[0]["content_type"], "application/x-www-form-urlencoded")
        text = repr(recorded)
        for secret in (query["code"], tokens["refresh_token"], tokens["access_token"]):
            self.assertNotLeaked(secret, text, "/test/requests")

    def test_fail_next_answers_the_next_token_requests_with_the_given_status(self):
        _, tokens = self.signed_in()
        self.service.control("/test/reset")
        status, answer = self.service.control("/test/provider/fail-next",
                                              {"count": 2, "status": 503})
        self.assertEqual((status, answer["pending"]), (200, 2))
        for _ in range(2):
            status, body = self.service.refresh(tokens["refresh_token"])
            self.assertEqual(status, 503)
            self.assertIsInstance(body, str)  # a plain text page, as from a proxy
        # The failures never reached the provider: the refresh token is still unused.
        status, fresh = self.service.refresh(tokens["refresh_token"])
        self.assertEqual(status, 200, shown(fresh))

        self.service.control("/test/provider/fail-next",
                             {"count": 1, "status": 400, "error": "invalid_grant"})
        status, body = self.service.refresh(fresh["refresh_token"])
        self.assertEqual((status, body["error"]), (400, "invalid_grant"))
        self.assertEqual([(r["status"], r["injected"], r["refresh_token_presented"])
                          for r in self.service.token_requests()],
                         [(503, True, True), (503, True, True), (200, False, True),
                          (400, True, True)])

        self.service.control("/test/provider/fail-next", {"count": 3, "status": 502})
        self.service.control("/test/reset")
        self.assertEqual(self.service.token_requests(), [])
        self.assertEqual(self.service.refresh(fresh["refresh_token"])[0], 200)

    def test_fail_next_rejects_malformed_orders(self):
        for payload in ({"count": -1}, {"count": 1, "status": 200}, {"count": "2"},
                        {"count": 1, "status": 503, "error": 7}):
            with self.subTest(payload=payload):
                status, _ = self.service.control("/test/provider/fail-next", payload)
                self.assertEqual(status, 400)
        status, answer = self.service.control("/test/provider/fail-next", {"count": 0})
        self.assertEqual((status, answer["pending"]), (200, 0))


class ServiceProcessTest(SecretsCase):
    def test_options_log_without_secrets_and_clean_stop(self):
        secrets_seen = []
        profile_dir = tempfile.mkdtemp(prefix="zandorin-browser-")
        self.addCleanup(shutil.rmtree, profile_dir, True)
        profile = test_browser.Profile(profile_dir)
        with DevService(realm="test-realm", access_token_ttl=7) as service:
            self.assertTrue(service.issuer.endswith("/realms/test-realm"))
            pkce = Pkce()
            secrets_seen += [pkce.verifier, pkce.challenge]
            code = query_of(service.sign_in(pkce, profile))["code"]
            secrets_seen.append(code)
            status, tokens = service.exchange(code, Pkce().verifier)  # refused, logged
            self.assertEqual(status, 400)
            status, tokens = service.exchange(code, pkce.verifier)
            self.assertEqual(status, 200, shown(tokens))
            claims = jwt_parts(tokens["access_token"])[1]
            self.assertEqual(claims["exp"] - claims["iat"], 7)
            status, refreshed = service.refresh(tokens["refresh_token"])
            self.assertEqual(status, 200)
            for answer in (tokens, refreshed):
                secrets_seen += [answer["access_token"], answer["refresh_token"],
                                 answer["id_token"]]
            self.assertEqual(service.stop(), 0)
            stderr = service.stderr()
        self.assertEqual(service.stdout_lines, [f"LISTENING {service.port}"])
        for line in ("POST /realms/test-realm/protocol/openid-connect/token 200",
                     "GET /realms/test-realm/protocol/openid-connect/auth?<redacted> 303"):
            self.assertTrue(line in stderr, f"no {line!r} in the service's stderr")
        for secret in secrets_seen:
            for piece in (secret, secret[:16], secret[-16:]):
                self.assertNotLeaked(piece, stderr, "the service's stderr")


if __name__ == "__main__":
    unittest.main()
