#!/usr/bin/python3
"""Loopback HTTP/1.1 server for the curl adapter tests.

Writes one JSON object per line to standard output: first {"port": N}, then an event per
accepted connection and per request, with the request's raw header lines and its body in hex.
What it answers depends on the path (see respond()). Connections are kept alive unless the
request or the path says otherwise. With --tls it serves HTTPS with a throw-away self-signed
certificate for 127.0.0.1.
"""

import argparse
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

# Every wait is bounded; the test kills the process anyway.
STALL_SECONDS = 30
MAX_HEADER_LINES = 200

_print_lock = threading.Lock()
_next_connection = 0


def emit(record):
    with _print_lock:
        sys.stdout.write(json.dumps(record) + "\n")
        sys.stdout.flush()


def tls_context():
    context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
    with tempfile.TemporaryDirectory() as folder:
        key = os.path.join(folder, "key.pem")
        cert = os.path.join(folder, "cert.pem")
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
    while len(fields) < MAX_HEADER_LINES:
        raw = reader.readline(65536)
        if raw in (b"\r\n", b"\n", b""):
            break
        fields.append(raw.rstrip(b"\r\n").decode("latin-1"))
    length = 0
    for field in fields:
        name, _, value = field.partition(":")
        if name.strip().lower() == "content-length":
            length = int(value.strip())
    body = reader.read(length) if length else b""
    return line.rstrip(b"\r\n").decode("latin-1"), fields, body


def head(status, fields):
    reasons = {100: "Continue", 103: "Early Hints", 200: "OK", 202: "Accepted", 302: "Found",
               401: "Unauthorized", 404: "Not Found", 500: "Internal Server Error"}
    lines = ["HTTP/1.1 %d %s" % (status, reasons.get(status, "Status"))]
    lines += ["%s: %s" % field for field in fields]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def wait_for_close(conn):
    conn.settimeout(STALL_SECONDS)
    try:
        while conn.recv(4096):
            pass
    except OSError:
        pass


def respond(conn, path, query, body, closing):
    """Returns False when the connection must not carry another request."""
    keep = [("Connection", "close")] if closing else []
    if path.startswith("/status/"):
        status = int(path[len("/status/"):])
        text = ("status %d\n" % status).encode()
        fields = [("Content-Type", "text/plain"), ("X-Trace-Id", "abc-123"),
                  ("X-Padded", "  padded value  ")]
        if 300 <= status < 400:
            fields.append(("Location", "/status/200"))
        fields.append(("Content-Length", str(len(text))))
        conn.sendall(head(status, fields + keep) + text)
    elif path == "/interim":
        conn.sendall(head(103, [("Link", "</a.css>; rel=preload")]))
        conn.sendall(head(200, [("X-Final", "yes"), ("Content-Length", "2")] + keep) + b"ok")
    elif path == "/trailer":
        conn.sendall(head(200, [("Transfer-Encoding", "chunked")] + keep) +
                     b"2\r\nok\r\n0\r\nX-Checksum: abc\r\n\r\n")
    elif path == "/echo":
        conn.sendall(head(200, [("Content-Type", "application/octet-stream"),
                                ("Content-Length", str(len(body)))] + keep) + body)
    elif path == "/sse":
        conn.sendall(head(200, [("Content-Type", "text/event-stream"),
                                ("Cache-Control", "no-cache"), ("Connection", "close")]))
        for piece in SSE_PIECES:
            time.sleep(0.05)
            conn.sendall(piece)
        return False
    elif path == "/close-silently":
        conn.sendall(head(200, [("Content-Length", "2")]) + b"ok")
        return False
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
        size = int(query.get("n", ["0"])[0])
        framing = query.get("framing", ["length"])[0]
        payload = b"x" * size
        if framing == "length":
            conn.sendall(head(200, [("Content-Length", str(size))] + keep) + payload)
        elif framing == "chunked":
            conn.sendall(head(200, [("Transfer-Encoding", "chunked")] + keep))
            for at in range(0, size, 512):
                chunk = payload[at:at + 512]
                conn.sendall(b"%x\r\n%s\r\n" % (len(chunk), chunk))
            conn.sendall(b"0\r\n\r\n")
        elif framing == "announce":  # says how much will come, sends a little, then stalls
            conn.sendall(head(200, [("Content-Length", str(size))]) + payload[:10])
            wait_for_close(conn)
            return False
        else:  # the end of the answer is the end of the connection
            conn.sendall(head(200, [("Connection", "close")]) + payload)
            return False
    else:
        conn.sendall(head(404, [("Content-Length", "0")] + keep))
    return not closing


SSE_PIECES = [b"event: message\nda", b"ta: {\"jsonrpc\":\"2.0\",", b"\"id\":1,\"result\":{}}\n",
              b"\n", b": done\n\n"]


def serve(conn, number, context):
    try:
        if context is not None:
            try:
                conn = context.wrap_socket(conn, server_side=True)
            except (ssl.SSLError, OSError) as error:
                emit({"event": "tls_error", "conn": number, "error": str(error)})
                return
        conn.settimeout(STALL_SECONDS)
        reader = conn.makefile("rb")
        while True:
            request = read_request(reader)
            if request is None:
                return
            line, fields, body = request
            emit({"event": "request", "conn": number, "line": line, "headers": fields,
                  "body": body.hex()})
            target = line.split(" ")[1] if line.count(" ") >= 2 else "/"
            url = urllib.parse.urlsplit(target)
            closing = any(f.lower().replace(" ", "") == "connection:close" for f in fields)
            if not respond(conn, url.path, urllib.parse.parse_qs(url.query), body, closing):
                return
    except OSError:
        pass  # the client gave up (time-out, oversized answer): nothing to report
    finally:
        try:
            conn.shutdown(socket.SHUT_RDWR)
        except OSError:
            pass
        conn.close()


def main():
    global _next_connection
    parser = argparse.ArgumentParser()
    parser.add_argument("--tls", action="store_true")
    args = parser.parse_args()
    context = tls_context() if args.tls else None
    listener = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    listener.bind(("127.0.0.1", 0))
    listener.listen(64)
    emit({"port": listener.getsockname()[1]})
    while True:
        conn, _ = listener.accept()
        _next_connection += 1
        emit({"event": "connect", "conn": _next_connection})
        threading.Thread(target=serve, args=(conn, _next_connection, context), daemon=True).start()


if __name__ == "__main__":
    main()
