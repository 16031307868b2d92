"""test_distributor.py as a context manager, for tests that need a UnifiedPush distributor on
their (private) session bus and a push server to send messages through. Standard library only;
the distributor itself runs under /usr/bin/python3.

    with TestDistributor(env=session.env, interface="both") as distributor:
        ... the app registers ...
        endpoint = distributor.wait_for("registered") and distributor.registrations()[0]
        assert distributor.push(endpoint["endpoint"], b"hello") == 201
"""

import http.client
import json
import os
import signal
import subprocess
import threading
import time
import urllib.parse

SCRIPT = os.path.join(os.path.dirname(os.path.abspath(__file__)), "test_distributor.py")
PYTHON = "/usr/bin/python3"  # has dbus and gi
START_TIMEOUT = 10.0
STOP_TIMEOUT = 5.0
HTTP_TIMEOUT = 10.0


class DistributorError(RuntimeError):
    pass


class TestDistributor:
    """Starts the distributor on the bus of `env` (default: this process's environment) and
    stops it by PID, each wait bounded."""

    __test__ = False  # not a test case, whatever the name says

    def __init__(self, name="zandorintest", interface="2", refuse=None, env=None,
                 timeout=START_TIMEOUT):
        self.argv = [PYTHON, SCRIPT, "--name", name, "--interface", str(interface)]
        if refuse:
            self.argv += ["--refuse", refuse]
        self.env = dict(os.environ if env is None else env)
        self.timeout = timeout
        self.proc = None
        self.port = None
        self.bus_name = None
        self._lines = []
        self._stderr = []
        self._cond = threading.Condition()
        self._threads = []

    def __enter__(self):
        self.start()
        return self

    def __exit__(self, *exc):
        self.stop()
        return False

    def start(self):
        self.proc = subprocess.Popen(self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=self.env)
        self._threads = [threading.Thread(target=self._read, args=(self.proc.stdout, True),
                                          daemon=True),
                         threading.Thread(target=self._read, args=(self.proc.stderr, False),
                                          daemon=True)]
        for thread in self._threads:
            thread.start()
        try:
            ready = self.wait_for("ready", timeout=self.timeout)[0]
        except DistributorError:
            self.stop()
            raise
        self.port, self.bus_name = ready["port"], ready["name"]

    def stop(self):
        """Ends the distributor (closing its stdin, then SIGTERM, then SIGKILL); its status."""
        if self.proc is None:
            return None
        proc = self.proc
        try:
            proc.stdin.close()
        except BrokenPipeError:
            pass
        for ending in (None, signal.SIGTERM, signal.SIGKILL):
            if ending is not None and proc.poll() is None:
                os.kill(proc.pid, ending)
            try:
                proc.wait(STOP_TIMEOUT)
                break
            except subprocess.TimeoutExpired:
                continue
        for thread in self._threads:
            thread.join(STOP_TIMEOUT)
        proc.stdout.close()
        proc.stderr.close()
        return proc.returncode

    def _read(self, stream, events):
        for raw in stream:
            line = raw.decode(errors="replace").rstrip("\n")
            with self._cond:
                if events:
                    try:
                        self._lines.append(json.loads(line))
                    except ValueError:
                        self._stderr.append(line)
                else:
                    self._stderr.append(line)
                self._cond.notify_all()
        with self._cond:
            self._cond.notify_all()

    def stderr(self):
        with self._cond:
            return "\n".join(self._stderr)

    def events(self, kind=None):
        """The events so far, in order; only those of one kind when given."""
        with self._cond:
            return [e for e in self._lines if kind is None or e.get("event") == kind]

    def wait_for(self, kind, count=1, timeout=START_TIMEOUT, **match):
        """Waits until `count` events of `kind` whose fields equal `match` have arrived; all
        such events. Raises DistributorError, with what did arrive, when they do not."""
        def matching():
            return [e for e in self._lines if e.get("event") == kind
                    and all(e.get(k) == v for k, v in match.items())]

        end = time.monotonic() + timeout
        with self._cond:
            while len(matching()) < count:
                left = end - time.monotonic()
                if left <= 0 or (self.proc.poll() is not None and not self._alive_readers()):
                    raise DistributorError(
                        f"{count} {kind!r} event(s) matching {match} expected; got "
                        f"{self._lines!r}; stderr: {chr(10).join(self._stderr)}")
                self._cond.wait(min(left, 0.2))
            return matching()

    def _alive_readers(self):
        return any(thread.is_alive() for thread in self._threads)

    def _request(self, method, path, body=None):
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=HTTP_TIMEOUT)
        try:
            connection.request(method, path, body=body,
                               headers={"Content-Type": "application/octet-stream",
                                        "TTL": "60"})
            response = connection.getresponse()
            return response.status, response.read()
        finally:
            connection.close()

    def registrations(self):
        """[{service, endpoint, description, interface}]"""
        status, body = self._request("GET", "/control/registrations")
        if status != 200:
            raise DistributorError(f"registrations: HTTP {status}")
        return json.loads(body)

    def push(self, endpoint, body):
        """POSTs `body` (bytes) to an endpoint of this distributor; the HTTP status."""
        url = urllib.parse.urlsplit(endpoint)
        if (url.scheme, url.hostname, url.port) != ("http", "127.0.0.1", self.port):
            raise DistributorError(f"not an endpoint of this distributor: {endpoint!r}")
        return self._request("POST", url.path, bytes(body))[0]

    def unregister(self, service):
        """Unregisters `service` on the distributor's initiative; how many registrations it
        had."""
        status, body = self._request("POST", "/control/unregister",
                                     json.dumps({"service": service}).encode())
        if status != 200:
            raise DistributorError(f"unregister: HTTP {status}")
        return json.loads(body)["count"]
