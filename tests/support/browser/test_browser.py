#!/usr/bin/python3
"""A scripted web browser for end-to-end sign-in tests.

A test installs it as the desktop's default handler for http and https (`install`); the
application then "opens the browser" as it does on a real desktop, through xdg-open. Invoked
with one URL, the browser walks the identity provider's pages the way a user would: it follows
redirects one at a time, keeps cookies, fills in the login form, confirms the consent form and,
when the provider finally redirects to a URL whose scheme is not http(s) (the application's
callback), hands that URL on with `xdg-open`, as a real browser does, and exits.

Everything the browser keeps lives in its profile directory:
    config.json   {"login": "ada", "password": "pw", "mode": "login" | "abort",
                   "handoff": "xdg-open" | "none"}   (all optional; re-read on every run)
    cookies.txt   the cookie jar, kept across runs: a second sign-in reuses the provider session
    browser.log   one line per action, URLs without their query values

    test_browser.py [--profile DIR] URL
The profile is --profile, else $ZANDORIN_TEST_BROWSER_PROFILE. Exit status: 0 handed off,
1 the walk ended elsewhere (an error page, too many hops, no answer), 2 bad usage, 3 the
hand-off failed.

Tests may also import it and call `walk` directly. Standard library only.
"""

import html.parser
import http.cookiejar
import json
import os
import shlex
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request
from typing import NamedTuple, Optional

MAX_HOPS = 20
REQUEST_TIMEOUT = 10.0
WALK_TIMEOUT = 60.0
HANDOFF_TIMEOUT = 30.0
MAX_PAGE_BYTES = 1024 * 1024
DESKTOP_ID = "testbrowser.desktop"
HERE = os.path.abspath(__file__)

DEFAULT_CONFIG = {"login": "ada", "password": "pw", "mode": "login", "handoff": "xdg-open"}


def redact(url):
    """The URL with its query and fragment values left out (names kept, so that a log still
    tells a code from an error)."""
    parts = urllib.parse.urlsplit(url)
    query = ""
    if parts.query:
        names = [name for name, _ in urllib.parse.parse_qsl(parts.query, keep_blank_values=True)]
        query = "?" + "&".join(f"{name}=…" for name in names)
    fragment = "#…" if parts.fragment else ""
    return urllib.parse.urlunsplit((parts.scheme, parts.netloc, parts.path, "", "")) + query + fragment


class Profile:
    def __init__(self, directory):
        self.dir = os.path.abspath(directory)
        os.makedirs(self.dir, exist_ok=True)
        self.config_path = os.path.join(self.dir, "config.json")
        self.cookies_path = os.path.join(self.dir, "cookies.txt")
        self.log_path = os.path.join(self.dir, "browser.log")

    def config(self):
        config = dict(DEFAULT_CONFIG)
        try:
            with open(self.config_path, encoding="utf-8") as f:
                config.update(json.load(f))
        except FileNotFoundError:
            pass
        return config

    def configure(self, **changes):
        config = self.config()
        config.update(changes)
        with open(self.config_path, "w", encoding="utf-8") as f:
            json.dump(config, f)

    def log(self, line):
        with open(self.log_path, "a", encoding="utf-8") as f:
            f.write(f"{time.strftime('%H:%M:%S')} [{os.getpid()}] {line}\n")

    def log_lines(self):
        try:
            with open(self.log_path, encoding="utf-8") as f:
                return f.read().splitlines()
        except FileNotFoundError:
            return []

    def cookie_jar(self):
        jar = http.cookiejar.MozillaCookieJar(self.cookies_path)
        if os.path.exists(self.cookies_path):
            jar.load(ignore_discard=True, ignore_expires=False)
        return jar


class Form(NamedTuple):
    action: str
    method: str
    fields: list  # [(name, type, value)]


class PageParser(html.parser.HTMLParser):
    """Forms, links and the title: all a scripted user looks at."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.forms = []
        self.links = []  # [(href, text)]
        self.title = ""
        self._form = None
        self._link = None
        self._in_title = False

    def handle_starttag(self, tag, attrs):
        a = {k: (v if v is not None else "") for k, v in attrs}
        if tag == "form":
            self._form = Form(a.get("action", ""), a.get("method", "get").lower(), [])
            self.forms.append(self._form)
        elif tag in ("input", "button") and self._form is not None and a.get("name"):
            kind = a.get("type", "text" if tag == "input" else "submit").lower()
            self._form.fields.append((a["name"], kind, a.get("value", "")))
        elif tag == "a" and "href" in a:
            self._link = [a["href"], ""]
            self.links.append(self._link)
        elif tag == "title":
            self._in_title = True

    def handle_endtag(self, tag):
        if tag == "form":
            self._form = None
        elif tag == "a":
            self._link = None
        elif tag == "title":
            self._in_title = False

    def handle_data(self, data):
        if self._link is not None:
            self._link[1] += data
        if self._in_title:
            self.title += data


class WalkResult(NamedTuple):
    final_url: Optional[str]  # the non-http(s) URL the provider redirected to, or None
    hops: int
    failure: Optional[str]  # why the walk ended without one


class AnswersAsTheyCome(urllib.request.HTTPErrorProcessor):
    """Hands every answer back as it is: redirects are followed by the walk itself, one hop at
    a time, and error statuses are pages like any other."""

    def http_response(self, request, response):
        return response

    https_response = http_response


def _opener(jar):
    # No proxies: the provider is on loopback, whatever the environment says.
    return urllib.request.build_opener(urllib.request.ProxyHandler({}),
                                       urllib.request.HTTPCookieProcessor(jar), AnswersAsTheyCome())


def _fill(form, config):
    data = []
    for name, kind, value in form.fields:
        if kind in ("submit", "button", "reset"):
            continue
        if name == "login":
            value = config["login"]
        elif kind == "password" or name == "password":
            value = config["password"]
        data.append((name, value))
    return data


def _describe(form_data):
    """Field names with only the login shown; a password never reaches the log."""
    return ", ".join(f"{n}={v}" if n in ("login", "prompt") else n for n, v in form_data)


def _abort_link(page):
    for href, text in page.links:
        if "/abort" in href or text.strip().strip("[]").strip().lower() in ("cancel", "abort"):
            return href
    return None


def walk(url, profile, config=None, timeout=WALK_TIMEOUT):
    """Follows `url` through the provider's pages. Returns a WalkResult; the cookie jar is saved
    whatever happens."""
    config = config or profile.config()
    jar = profile.cookie_jar()
    opener = _opener(jar)
    deadline = time.monotonic() + timeout
    method, data = "GET", None
    try:
        for hop in range(1, MAX_HOPS + 1):
            left = deadline - time.monotonic()
            if left <= 0:
                return _fail(profile, hop, f"no end within {timeout:.0f} s")
            scheme = urllib.parse.urlsplit(url).scheme.lower()
            if scheme not in ("http", "https"):
                profile.log(f"leaves the web: {redact(url)}")
                return WalkResult(url, hop - 1, None)
            body = urllib.parse.urlencode(data).encode() if data is not None else None
            request = urllib.request.Request(url, data=body, method=method)
            if body is not None:
                request.add_header("Content-Type", "application/x-www-form-urlencoded")
            request.add_header("Accept", "text/html")
            try:
                with opener.open(request, timeout=min(REQUEST_TIMEOUT, left)) as response:
                    status = response.status
                    location = response.headers.get("Location")
                    content = response.read(MAX_PAGE_BYTES).decode(errors="replace")
            except (urllib.error.URLError, OSError) as e:
                return _fail(profile, hop, f"{method} {redact(url)}: {e}")
            profile.log(f"{method} {redact(url)} -> {status}")

            if 300 <= status < 400 and location:
                url, method, data = urllib.parse.urljoin(url, location), "GET", None
                continue
            page = PageParser()
            page.feed(content)
            if status != 200:
                return _fail(profile, hop, f"error page {status}: {page.title.strip()!r}")

            if config["mode"] == "abort":
                href = _abort_link(page)
                if href is None:
                    return _fail(profile, hop, f"no way to cancel on {page.title.strip()!r}")
                profile.log("clicks cancel")
                url, method, data = urllib.parse.urljoin(url, href), "GET", None
                continue
            if len(page.forms) != 1:
                return _fail(profile, hop, f"{len(page.forms)} forms on {page.title.strip()!r}")
            form = page.forms[0]
            data = _fill(form, config)
            profile.log(f"submits form: {_describe(data)}")
            url = urllib.parse.urljoin(url, form.action or url)
            method = "POST" if form.method == "post" else "GET"
            if method == "GET":
                url = url.split("?", 1)[0] + "?" + urllib.parse.urlencode(data)
                data = None
        return _fail(profile, MAX_HOPS, f"more than {MAX_HOPS} hops")
    finally:
        jar.save(ignore_discard=True, ignore_expires=False)


def _fail(profile, hops, why):
    profile.log(f"gives up: {why}")
    return WalkResult(None, hops, why)


def hand_off(url, profile, env=None):
    """Passes `url` to the desktop's handler for its scheme, as a browser does. Returns
    xdg-open's exit status (None when it did not finish in time)."""
    try:
        proc = subprocess.Popen(["xdg-open", url], stdin=subprocess.DEVNULL,
                                stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, env=env)
    except OSError as e:
        profile.log(f"hand-off failed: {e}")
        return None
    try:
        _, err = proc.communicate(timeout=HANDOFF_TIMEOUT)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.communicate()
        profile.log(f"hand-off: xdg-open still running after {HANDOFF_TIMEOUT:.0f} s")
        return None
    detail = err.decode(errors="replace").strip().replace(url, redact(url))
    profile.log(f"hand-off via xdg-open -> {proc.returncode}" + (f": {detail}" if detail else ""))
    return proc.returncode


def install(profile_dir, env):
    """Makes this browser the default for http and https in the desktop environment `env`
    (its XDG_DATA_HOME and XDG_CONFIG_HOME), with `profile_dir` as its profile."""
    profile = Profile(profile_dir)
    # xdg-open splits Exec on blanks without honouring quotes: point it at a launcher in the
    # profile, which quotes properly.
    launcher = os.path.join(profile.dir, "testbrowser")
    with open(launcher, "w", encoding="utf-8") as f:
        f.write("#!/bin/sh\nexec /usr/bin/python3 "
                f"{shlex.quote(HERE)} --profile {shlex.quote(profile.dir)} \"$@\"\n")
    os.chmod(launcher, 0o755)
    applications = os.path.join(env["XDG_DATA_HOME"], "applications")
    os.makedirs(applications, exist_ok=True)
    with open(os.path.join(applications, DESKTOP_ID), "w", encoding="utf-8") as f:
        f.write("[Desktop Entry]\nType=Application\nName=Test Browser\n"
                f"Exec={launcher} %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\n"
                "NoDisplay=true\n")
    os.makedirs(env["XDG_CONFIG_HOME"], exist_ok=True)
    subprocess.run(["xdg-mime", "default", DESKTOP_ID, "x-scheme-handler/http",
                    "x-scheme-handler/https"], env=env, check=True, timeout=30,
                   stdin=subprocess.DEVNULL, capture_output=True)
    return profile


def main(argv):
    args = argv[1:]
    profile_dir = os.environ.get("ZANDORIN_TEST_BROWSER_PROFILE")
    if len(args) == 3 and args[0] == "--profile":
        profile_dir, args = args[1], args[2:]
    if len(args) != 1 or not profile_dir:
        print("usage: test_browser.py [--profile DIR] URL "
              "(or ZANDORIN_TEST_BROWSER_PROFILE=DIR)", file=sys.stderr)
        return 2
    profile = Profile(profile_dir)
    url = args[0]
    if urllib.parse.urlsplit(url).scheme.lower() not in ("http", "https"):
        profile.log(f"refuses {redact(url)}: not a web address")
        return 2
    config = profile.config()
    profile.log(f"opens {redact(url)} (mode {config['mode']})")
    result = walk(url, profile, config)
    if result.final_url is None:
        return 1
    if config["handoff"] == "none":
        return 0
    return 0 if hand_off(result.final_url, profile) == 0 else 3


if __name__ == "__main__":
    sys.exit(main(sys.argv))
