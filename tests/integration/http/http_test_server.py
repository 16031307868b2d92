#!/usr/bin/python3
"""Loopback HTTP/1.1 server for the curl adapter tests, on the listening socket it inherits as
fd 3. Appends one JSON object per line to LOG: an event per accepted connection and per request
(raw header lines, body in hex), each written before the answer. What it answers depends on the
path; connections are kept alive unless the path says otherwise. --tls serves
HTTPS with a throw-away self-signed certificate.

Usage: http_test_server.py LOG [--tls]
"""

import json
import os
import socket
import ssl
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

STALL_SECONDS = 30  # every wait is bounded; the test kills the process anyway
_log_lock = threading.Lock()
_log = open(sys.argv[1], "a", encoding="utf-8")


def emit(record):
    with _log_lock:
        _log.write(json.dumps(record) + "\n")
        _log.flush()


def tls_context():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    with tempfile.TemporaryDirectory() as folder:
        key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
        subprocess.run(
            ["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
             "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj", "/CN=127.0.0.1",
             "-addext", "subjectAltName=IP:127.0.0.1", "-keyout", key, "-out", cert],
            check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=30)
        context.load_cert_chain(cert, key)
    return context


def read_request(reader):
    line = reader.readline(65536)
    if not line:
        return None
    fields = []
    while len(fields) < 200:
        raw = reader.readline(65536)
        if raw in (b"\r\n", b"\n", b""):
            break
        fields.append(raw.rstrip(b"\r\n").decode("latin-1"))
    length = 0
    for field in fields:
        name, _, value = field.partition(":")
        if name.strip().lower() == "content-length":
            length = int(value.strip())
    return line.rstrip(b"\r\n").decode("latin-1"), fields, reader.read(length) if length else b""


def head(status, fields):
    lines = [f"HTTP/1.1 {status} Status"] + [f"{name}: {value}" for name, value in fields]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def wait_for_close(conn):
    try:
        while conn.recv(4096):
            pass
    except OSError:
        pass


def respond(conn, path, query, body):
    """Returns False when the connection must not carry another request."""
    if path.startswith("/status/"):
        status = int(path[len("/status/"):])
        text = f"status {status}\n".encode()
        fields = [("Content-Type", "text/plain"), ("X-Trace-Id", "abc-123"),
                  ("X-Padded", "  padded value  ")]
        if 300 <= status < 400:
            fields.append(("Location", "/status/200"))
        conn.sendall(head(status, fields + [("Content-Length", len(text))]) + text)
    elif path == "/echo":
        conn.sendall(head(200, [("Content-Length", len(body))]) + body)
    elif path == "/hang":
        wait_for_close(conn)
        return False
    elif path == "/drip":
        conn.sendall(head(200, [("Content-Length", "1000")]))
        for _ in range(STALL_SECONDS * 5):
            conn.sendall(b"x")
            time.sleep(0.2)
        return False
    elif path == "/big":
        size, framing = int(query["n"][0]), query["framing"][0]
        payload = b"x" * size
        if framing == "length":
            conn.sendall(head(200, [("Content-Length", size)]) + payload)
        elif framing == "chunked":
            conn.sendall(head(200, [("Transfer-Encoding", "chunked")]))
            for at in range(0, size, 512):
                conn.sendall(b"%x\r\n%s\r\n" % (len(payload[at:at + 512]), payload[at:at + 512]))
            conn.sendall(b"0\r\n\r\n")
        elif framing == "announce":  # says how much will come, sends a little, then stalls
            conn.sendall(head(200, [("Content-Length", size)]) + payload[:10])
            wait_for_close(conn)
            return False
        else:  # the end of the answer is the end of the connection
            conn.sendall(head(200, [("Connection", "close")]) + payload)
            return False
    else:
        conn.sendall(head(404, [("Content-Length", "0")]))
    return True


def serve(conn, context):
    try:
        if context is not None:
            conn = context.wrap_socket(conn, server_side=True)
        conn.settimeout(STALL_SECONDS)
        reader = conn.makefile("rb")
        while (request := read_request(reader)) is not None:
            line, fields, body = request
            emit({"event": "request", "line": line, "headers": fields, "body": body.hex()})
            url = urllib.parse.urlsplit(line.split(" ")[1])
            if not respond(conn, url.path, urllib.parse.parse_qs(url.query), body):
                return
    except OSError:
        pass  # the client gave up (time-out, oversized answer)
    finally:
        try:
            conn.shutdown(socket.SHUT_RDWR)  # at once, whoever still holds the socket
        except OSError:
            pass
        conn.close()


def main():
    context = tls_context() if "--tls" in sys.argv[1:] else None
    listener = socket.socket(fileno=3)
    for _ in range(100000):
        conn, _ = listener.accept()
        emit({"event": "connect"})
        threading.Thread(target=serve, args=(conn, context), daemon=True).start()


if __name__ == "__main__":
    main()
