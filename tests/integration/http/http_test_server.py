#!/usr/bin/python3
"""Loopback HTTP/1.1 server for the curl adapter tests; its first line on stdout is its PID and
port. Appends to LOG, before answering, one JSON line per accepted connection and one per
request (raw header lines). The path says what to answer; connections are kept
alive otherwise. --tls serves HTTPS with a throw-away self-signed certificate.

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
import urllib.parse

lock = threading.Lock()
log = open(sys.argv[1], "a", encoding="utf-8")


def emit(record):
    with lock:
        log.write(json.dumps(record) + "\n")
        log.flush()


def head(status, *fields):
    lines = [f"HTTP/1.1 {status} Status"] + [f"{name}: {value}" for name, value in fields]
    return ("\r\n".join(lines) + "\r\n\r\n").encode("latin-1")


def answer(conn, target, body):
    """Whether the connection may carry another request."""
    url = urllib.parse.urlsplit(target)
    query = dict(urllib.parse.parse_qsl(url.query))
    if url.path == "/echo":
        conn.sendall(head(200, ("X-Padded", "  padded value  "), ("Content-Length", len(body)))
                     + body)
        return True
    if url.path == "/redirect":
        conn.sendall(head(302, ("Location", "/echo"), ("Content-Length", 0)))
        return True
    if url.path == "/big" and query["framing"] == "chunked":
        conn.sendall(head(200, ("Transfer-Encoding", "chunked")))
        for at in range(0, int(query["n"]), 512):
            chunk = b"x" * min(512, int(query["n"]) - at)
            conn.sendall(b"%x\r\n%s\r\n" % (len(chunk), chunk))
        conn.sendall(b"0\r\n\r\n")
        return True
    if url.path == "/big":  # announces, then stalls
        conn.sendall(head(200, ("Content-Length", query["n"])) + b"x" * 10)
    while conn.recv(4096):  # /hang, and the rest of an announced body: never answered
        pass
    return False


def serve(conn, context):
    try:
        if context is not None:
            conn = context.wrap_socket(conn, server_side=True)
        conn.settimeout(30)  # every wait is bounded; the test kills the process anyway
        reader = conn.makefile("rb")
        while line := reader.readline(65536):
            fields = []
            while (raw := reader.readline(65536)) not in (b"\r\n", b"\n", b""):
                fields.append(raw.rstrip(b"\r\n").decode("latin-1"))
            length = next((int(f.split(":", 1)[1]) for f in fields
                           if f.lower().startswith("content-length:")), 0)
            body = reader.read(length)
            line = line.rstrip(b"\r\n").decode("latin-1")
            emit({"event": "request", "line": line, "headers": fields})
            if not answer(conn, line.split(" ")[1], body):
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
    context = None
    if "--tls" in sys.argv:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        with tempfile.TemporaryDirectory() as folder:
            key, cert = os.path.join(folder, "key.pem"), os.path.join(folder, "cert.pem")
            subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
                            "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1", "-subj",
                            "/CN=127.0.0.1", "-addext", "subjectAltName=IP:127.0.0.1", "-keyout",
                            key, "-out", cert], check=True, capture_output=True, timeout=30)
            context.load_cert_chain(cert, key)
    listener = socket.create_server(("127.0.0.1", 0), backlog=64)
    print(os.getpid(), listener.getsockname()[1], flush=True)
    for _ in range(100000):
        conn, _ = listener.accept()
        emit({"event": "connect"})
        threading.Thread(target=serve, args=(conn, context), daemon=True).start()


if __name__ == "__main__":
    main()
