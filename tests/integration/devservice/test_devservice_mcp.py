#!/usr/bin/python3
"""The local service's MCP server and web endpoints as the application meets them: a Streamable
HTTP session with a token from a real sign-in, in both answer modes; 401, 404 and 406 where the
client relies on them; injected faults; statistics and push-token registration as recorded.

Usage: test_devservice_mcp.py [unittest options]
"""

import http.client
import http.server
import json
import threading
import os
import re
import sys
import time
import unittest
from typing import NamedTuple

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from devservice import DevService, jwt_parts  # noqa: E402

ACCEPT_BOTH = "application/json, text/event-stream"
PROTOCOL = "2025-06-18"
DEFAULT_STATS = {"articles": {"topics": 12, "projects": 3}, "skills": {"total": 40},
                 "news": {"latest_date": "2026-12-01"}}
OVERSIZED = 20 * 1024 * 1024


class Answer(NamedTuple):
    status: int
    headers: dict  # lower-cased names
    body: bytes

    @property
    def content_type(self):
        return self.headers.get("content-type", "")

    def json(self):
        return json.loads(self.body)

    def messages(self):
        """The JSON-RPC messages of a JSON or event-stream answer."""
        if not self.content_type.startswith("text/event-stream"):
            return [self.json()]
        events = self.body.decode().replace("\r\n", "\n").split("\n\n")
        data = ["\n".join(line[5:].lstrip(" ") for line in event.split("\n")
                          if line.startswith("data:")) for event in events]
        return [json.loads(d) for d in data if d]


def send(service, method, path, body=None, headers=None, conn=None):
    own = conn is None
    conn = conn or http.client.HTTPConnection("127.0.0.1", service.port, timeout=15)
    try:
        conn.request(method, path, body, headers or {})
        response = conn.getresponse()
        return Answer(response.status, {k.lower(): v for k, v in response.getheaders()},
                      response.read())
    except (http.client.HTTPException, OSError):
        conn.close()
        raise
    finally:
        if own:
            conn.close()


class McpClient:
    """What the application does, on one keep-alive connection."""

    def __init__(self, service, token):
        self.service, self.token = service, token
        self.conn = http.client.HTTPConnection("127.0.0.1", service.port, timeout=15)
        self.session = None
        self.last_id = 0

    def close(self):
        self.conn.close()

    def send(self, method, message=None, accept=ACCEPT_BOTH):
        headers = {"Content-Type": "application/json"} if message is not None else {}
        if accept:
            headers["Accept"] = accept
        if self.token:
            headers["Authorization"] = f"Bearer {self.token}"
        if self.session:
            headers.update({"Mcp-Session-Id": self.session, "Mcp-Protocol-Version": PROTOCOL})
        body = json.dumps(message).encode() if message is not None else None
        return send(self.service, method, "/mcp", body, headers, self.conn)

    def request(self, method, params=None):
        self.last_id += 1
        return self.send("POST", {"jsonrpc": "2.0", "id": self.last_id, "method": method,
                                  "params": params or {}})

    def notify(self, method, accept=ACCEPT_BOTH):
        return self.send("POST", {"jsonrpc": "2.0", "method": method}, accept)

    def initialize(self):
        answer = self.request("initialize", {"protocolVersion": PROTOCOL, "capabilities": {},
                                             "clientInfo": {"name": "test", "version": "1"}})
        self.session = answer.headers.get("mcp-session-id")
        return answer

    def call_tool(self, name, arguments=None):
        """(answer, the text of its single content item)."""
        answer = self.request("tools/call", {"name": name, "arguments": arguments or {}})
        (message,) = answer.messages()
        (content,) = message["result"]["content"]
        return answer, content["text"]


class McpTest(unittest.TestCase):
    """Failure messages here never print tokens."""

    longMessage = False

    @classmethod
    def setUpClass(cls):
        cls.service = DevService().__enter__()
        try:
            cls.tokens = cls.service.signed_in_tokens()
        except BaseException:
            cls.service.__exit__(None, None, None)
            raise
        cls.token = cls.tokens["access_token"]

    @classmethod
    def tearDownClass(cls):
        cls.service.__exit__(None, None, None)

    def setUp(self):
        self.service.reset()

    def client(self, token=None):
        client = McpClient(self.service, token or self.token)
        self.addCleanup(client.close)
        return client

    def open_session(self):
        client = self.client()
        self.assertEqual(client.initialize().status, 200)
        self.assertEqual(client.notify("notifications/initialized").status, 202)
        return client

    def test_a_session_in_either_answer_mode(self):
        for mode, content_type in (("sse", "text/event-stream"), ("json", "application/json")):
            with self.subTest(mode=mode):
                self.service.reset()
                self.service.set_answer_mode(mode)
                before = self.service.connections()
                client = self.client()
                init = client.initialize()
                self.assertEqual((init.status, init.content_type), (200, content_type))
                self.assertRegex(client.session or "", r"^[0-9a-f-]{36}$")
                result = init.messages()[0]["result"]
                self.assertEqual((result["protocolVersion"], "tools" in result["capabilities"]),
                                 (PROTOCOL, True))
                self.assertEqual(client.notify("notifications/initialized").status, 202)
                answer, active = client.call_tool("check_subscription_status")
                self.assertEqual(answer.content_type, content_type)
                # One connection for the whole session, and one for asking.
                self.assertEqual(self.service.connections() - before, 2)
                self.assertIn("✅", active)
                self.assertGreater(active.count("\n"), 0)

                self.service.set_subscription(False)
                _, inactive = client.call_tool("check_subscription_status")
                self.assertGreater(inactive.count("\n"), 0)
                self.assertFalse("✅" in inactive or "仍有效" in inactive, inactive)

                _, checkout = client.call_tool("create_checkout", {"invoice_type": "donate"})
                links = re.findall(r"https?://[!-~]+", checkout)
                self.assertEqual(len(links), 1, checkout)
                self.assertTrue(links[0].startswith(self.service.origin + "/pay/"), checkout)
                self.assertNotEqual(checkout.index(links[0]), 0)
                page = send(self.service, "GET", links[0][len(self.service.origin):])
                self.assertEqual((page.status, page.content_type.split(";")[0]),
                                 (200, "text/html"))
                visits = self.service.payments()["visits"]
                self.assertEqual([(v["id"], v["known"]) for v in visits],
                                 [(links[0].rsplit("/", 1)[1], True)])

                recorded = self.service.mcp_requests()
                self.assertEqual(
                    [(r["rpc_method"], r["tool"], r["status"], r["session_id"] is not None,
                      r["authorization"], r["bearer_valid"]) for r in recorded],
                    [("initialize", None, 200, False, True, True),
                     ("notifications/initialized", None, 202, True, True, True),
                     ("tools/call", "check_subscription_status", 200, True, True, True),
                     ("tools/call", "check_subscription_status", 200, True, True, True),
                     ("tools/call", "create_checkout", 200, True, True, True)])
                self.assertEqual(recorded[2]["header_names"][-5:],
                                 ["content-type", "accept", "authorization", "mcp-session-id",
                                  "mcp-protocol-version"])
                self.assertEqual(recorded[2]["rpc_id"], 2)

                self.assertEqual(client.send("DELETE").status, 200)
                self.assertEqual(client.request("tools/list").status, 404)
        self.assertFalse(self.token in self.service.stderr(), "the service's log holds the token")

    def test_a_missing_or_bad_token_is_answered_401_invalid_token(self):
        header, payload, signature = self.token.split(".")
        flipped = signature[:10] + ("A" if signature[10] != "A" else "B") + signature[11:]
        cases = (("missing", None, "Missing Authorization header"),
                 ("garbled", "not-a-token", "Malformed token"),
                 ("bad signature", f"{header}.{payload}.{flipped}", "Bad signature"),
                 ("ID token: not for this resource", self.tokens["id_token"],
                  "Token was not issued for this resource"))
        for name, token, description in cases:
            with self.subTest(case=name):
                client = McpClient(self.service, token)
                answer = client.initialize()
                client.close()
                self.assertEqual(answer.status, 401)
                self.assertEqual(answer.json(), {"error": "invalid_token",
                                                 "error_description": description})
                self.assertTrue(answer.headers["www-authenticate"].startswith(
                    'Bearer error="invalid_token"'))
                last = self.service.mcp_requests()[-1]
                self.assertEqual((last["authorization"], last["bearer_valid"], last["status"]),
                                 (token is not None, False, 401))

    def test_checkout_answers_can_be_scripted(self):
        client = self.open_session()
        pay = re.escape(self.service.origin) + r"/pay/[A-Za-z0-9_-]+"
        for text, pattern in (("付款暫停，請稍後再試。", r"付款暫停，請稍後再試。"),
                              ("一：{pay_url} 二：{pay_url}", rf"一：{pay} 二：{pay}"),
                              (None, rf"請在此頁面完成付款：{pay} 付款完成後即可使用。")):
            with self.subTest(text=text):
                self.service.set_checkout_text(text)
                _, checkout = client.call_tool("create_checkout", {"invoice_type": "donate"})
                self.assertRegex(checkout, rf"^{pattern}$")
        self.assertEqual(len(self.service.payments()["checkouts"]), 3)

    def test_session_routing_and_accept(self):
        client = self.open_session()
        # A notification is refused 406 unless both types are accepted; the client relies on it.
        for accept, status in ((None, 406), ("application/json", 406),
                               ("text/event-stream", 406), (ACCEPT_BOTH, 202)):
            with self.subTest(accept=accept):
                self.assertEqual(client.notify("notifications/initialized", accept).status,
                                 status)
        stray = self.client()
        answer = stray.request("tools/list")
        self.assertEqual((answer.status, answer.json()["error"]["code"]), (400, -32000))

        old = client.session
        self.assertEqual(self.service.drop_sessions(), 1)
        for method in ("POST", "GET", "DELETE"):
            with self.subTest(after_drop=method):
                answer = (client.request("tools/list") if method == "POST"
                          else client.send(method, accept="text/event-stream"))
                self.assertEqual((answer.status, answer.json()["error"]),
                                 (404, {"code": -32001, "message": "Session not found"}))
        client.session = None
        self.assertEqual(client.initialize().status, 200)
        self.assertNotEqual(client.session, old)
        self.assertEqual([r["session_id"] == old for r in self.service.mcp_requests()[-4:]],
                         [True, True, True, False])

    def test_injected_faults_come_before_auth_and_pass(self):
        client = self.open_session()
        cases = (("status", {"status": 503}), ("malformed", {}), ("oversized", {}),
                 ("close", {}), ("slow", {"delay_ms": 600}))
        for mode, extra in cases:
            with self.subTest(mode=mode):
                self.service.fail_next_mcp(1, mode, **extra)
                started = time.monotonic()
                try:
                    answer = client.request("tools/list")
                except (http.client.HTTPException, ConnectionError):
                    answer = None
                elapsed = time.monotonic() - started
                if mode == "status":
                    self.assertEqual((answer.status, answer.content_type.split(";")[0]),
                                     (503, "text/plain"))
                elif mode == "malformed":
                    self.assertEqual((answer.status, answer.content_type),
                                     (200, "text/event-stream"))
                    self.assertRaises(ValueError, answer.messages)
                elif mode == "oversized":
                    self.assertEqual(answer.status, 200)
                    self.assertGreaterEqual(len(answer.body), OVERSIZED)
                    self.assertNotIn("content-length", answer.headers)
                elif mode == "close":
                    self.assertIsNone(answer)
                else:
                    self.assertEqual(answer.status, 200)
                    self.assertGreaterEqual(elapsed, 0.6)
                    self.assertIn("tools", answer.messages()[0]["result"])
                # One failure ordered, one failure given.
                self.assertEqual(client.request("tools/list").status, 200)
        recorded = [r for r in self.service.mcp_requests() if r["rpc_method"] == "tools/list"]
        self.assertEqual([(r["injected"], r["bearer_valid"]) for r in recorded[::2]],
                         [("status", None), ("malformed", None), ("oversized", None),
                          ("close", None), ("slow", True)])
        self.assertTrue(recorded[6]["closed_without_answer"])

    def test_stats_are_public_and_settable(self):
        def stats():
            return send(self.service, "GET", "/api/stats")

        answer = stats()
        self.assertEqual((answer.status, answer.json()), (200, DEFAULT_STATS))
        for order, body, content_type in (
                ({"json": [1, "two"]}, b'[1,"two"]', "application/json; charset=utf-8"),
                ({"raw": "{oops", "content_type": "application/json"}, b"{oops",
                 "application/json")):
            with self.subTest(order=order):
                self.service.set_stats(**order)
                answer = stats()
                self.assertEqual((answer.status, answer.body, answer.content_type),
                                 (200, body, content_type))
        recorded = self.service.stats_requests()
        self.assertEqual(recorded["count"], 3)
        self.assertEqual({"authorization" in r["header_names"] for r in recorded["requests"]},
                         {False})

    def test_push_tokens_are_recorded_and_need_a_bearer(self):
        device = {"device_token": "0f" * 32, "platform": "linux"}

        def push(method, token=self.token):
            headers = {"Content-Type": "application/json"}
            if token:
                headers["Authorization"] = f"Bearer {token}"
            return send(self.service, method, "/push-token", json.dumps(device).encode(),
                        headers)

        self.assertEqual(push("POST").json(), {"ok": True})
        self.assertEqual(push("DELETE").json(), {"ok": True})
        self.assertEqual((push("POST", token=None).status, push("POST", token="x.y.z").status),
                         (401, 401))
        self.service.fail_next_push(1, 503)
        self.assertEqual((push("POST").status, push("POST").status), (503, 200))
        recorded = self.service.push_tokens()
        self.assertEqual(
            [(r["http_method"], r["authorization"], r["bearer_valid"], r["status"])
             for r in recorded],
            [("POST", True, True, 200), ("DELETE", True, True, 200), ("POST", False, False, 401),
             ("POST", True, False, 401), ("POST", True, None, 503), ("POST", True, True, 200)])
        self.assertEqual({json.dumps(r["body"]) for r in recorded}, {json.dumps(device)})
        self.assertEqual({r["content_type"] for r in recorded}, {"application/json"})
        self.assertFalse(self.token in json.dumps(recorded), "the record holds the token")


    def test_a_pushed_message_reaches_the_endpoints_of_reported_tokens_only(self):
        received = []

        class PushServer(http.server.BaseHTTPRequestHandler):
            def do_POST(self):  # noqa: N802 (the handler's name)
                length = int(self.headers["Content-Length"])
                received.append((self.path, self.headers["TTL"], self.rfile.read(length)))
                self.send_response(201)
                self.send_header("Content-Length", "0")
                self.end_headers()

            def log_message(self, *args):
                pass

        server = http.server.HTTPServer(("127.0.0.1", 0), PushServer)
        threading.Thread(target=server.serve_forever, daemon=True).start()
        self.addCleanup(server.server_close)
        self.addCleanup(server.shutdown)
        endpoint = f"http://127.0.0.1:{server.server_port}/push/abc"
        token = endpoint.encode().hex()
        foreign = "https://push.example.com/x".encode().hex()

        def report(method, device):
            headers = {"Content-Type": "application/json", "Authorization": f"Bearer {self.token}"}
            answer = send(self.service, method, "/push-token",
                          json.dumps({"token": device, "platform": "macos"}).encode(), headers)
            self.assertEqual(answer.status, 200)

        report("POST", token)
        report("POST", foreign)
        message = {"title": "標題", "body": "內容", "url": "http://127.0.0.1/doc"}
        deliveries = self.service.push_message(message)
        self.assertEqual(sorted((d["token"], d["status"]) for d in deliveries),
                         sorted([(token, 201), (foreign, None)]))
        self.assertEqual([(path, ttl, json.loads(body)) for path, ttl, body in received],
                         [("/push/abc", "60", message)])

        report("DELETE", token)
        self.assertEqual([d["token"] for d in self.service.push_message(message)], [foreign])
        self.assertEqual(self.service.push_message(raw="x", token=token)[0]["status"], 201)
        self.assertEqual(len(received), 2)


class ExpiryTest(unittest.TestCase):
    longMessage = False

    def test_an_expired_token_is_answered_401(self):
        with DevService(access_token_ttl=1) as service:
            token = service.signed_in_tokens()["access_token"]
            expires = jwt_parts(token)[1]["exp"]
            time.sleep(max(0.0, min(3.0, expires + 1.1 - time.time())))
            client = McpClient(service, token)
            answer = client.initialize()
            client.close()
            self.assertEqual((answer.status, answer.json()),
                             (401, {"error": "invalid_token",
                                    "error_description": "Token has expired"}))


if __name__ == "__main__":
    unittest.main()
