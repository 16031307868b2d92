#!/usr/bin/python3
"""Loopback HTTP/1.1 server for the curl adapter tests, plain and over TLS (self-signed); prints
its PID and both ports, then logs to LOG, before answering, a JSON line per connection and per
request. Usage: http_test_server.py LOG"""

import http.server
import json
import os
import ssl
import subprocess
import sys
import tempfile
import threading
import urllib.parse

lock = threading.Lock()
log = open(sys.argv[1], "a", encoding="utf-8")


def emit(record):
    with lock:
        log.write(json.dumps(record) + "\n")
        log.flush()


class Handler(http.server.BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"
    disable_nagle_algorithm = True  # headers and body go out in separate writes
    timeout = 30  # every wait is bounded; the test kills the process anyway

    def setup(self):
        emit({"event": "connect"})
        super().setup()

    def do_GET(self):  # noqa: N802 (the handler's name)
        body = self.rfile.read(int(self.headers.get("Content-Length") or 0))
        emit({"event": "request", "line": self.requestline,
              "headers": [f"{k}: {v}".rstrip() for k, v in self.headers.items()]})
        url = urllib.parse.urlsplit(self.path)
        query = dict(urllib.parse.parse_qsl(url.query))
        fields = {"/echo": {"X-Padded": "  padded value  ", "Content-Length": len(body)},
                  "/redirect": {"Location": "/echo", "Content-Length": 0},
                  "/big": {"Transfer-Encoding": "chunked"} if query.get("framing") == "chunked"
                  else {"Content-Length": query.get("n")}}.get(url.path)
        if fields is None:  # /hang: never answered
            self.close_connection = True
            return self.connection.recv(1)  # until the client gives up
        self.send_response_only(302 if url.path == "/redirect" else 200)
        for name, value in fields.items():
            self.send_header(name, value)
        self.end_headers()
        if url.path == "/echo":
            self.wfile.write(body)
        elif "Transfer-Encoding" in fields:
            for at in range(0, int(query["n"]), 512):
                chunk = b"x" * min(512, int(query["n"]) - at)
                self.wfile.write(b"%x\r\n%s\r\n" % (len(chunk), chunk))
            self.wfile.write(b"0\r\n\r\n")
        elif url.path == "/big":  # announces, then stalls
            self.wfile.write(b"x" * 10)
            self.close_connection = True
            self.connection.recv(1)

    do_POST = do_GET  # noqa: N815

    def log_message(self, *args):
        pass


def main():
    http.server.ThreadingHTTPServer.request_queue_size = 64  # callers that connect at once
    plain, tls = (http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler) for _ in "12")
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    with tempfile.TemporaryDirectory() as folder:
        key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
        subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                        "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj",
                        "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                        key, "-out", cert], check=True, capture_output=True, timeout=30)
        context.load_cert_chain(cert, key)
    # The handshake happens in the connection's thread, not in the one that accepts.
    tls.socket = context.wrap_socket(tls.socket, server_side=True, do_handshake_on_connect=False)
    for server in (plain, tls):
        server.handle_error = lambda *args: None  # a client that gave up (time-out, refused cert)
    threading.Thread(target=tls.serve_forever, daemon=True).start()
    print(os.getpid(), plain.server_address[1], tls.server_address[1], flush=True)
    plain.serve_forever()


if __name__ == "__main__":
    main()
