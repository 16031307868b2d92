#!/usr/bin/python3
"""A scripted web browser for end-to-end sign-in tests, installed (`install`) as the desktop's
default for http(s) so that the application opens it through xdg-open. It walks the identity
provider's pages as a user would: redirects one at a time, cookies kept (a second sign-in reuses
the provider session), the login form filled in, the consent confirmed (mode "abort": cancel
clicked); the first redirect to a URL that is not http(s), the callback, is handed on with
xdg-open. The profile directory holds config.json ({"login", "password", "mode": "login" |
"abort"}), cookies.txt and browser.log (URLs without their query values).

    scripted_browser.py --profile DIR URL   exit status 0 handed off, 1 the walk failed,
                                            3 the hand-off failed
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

MAX_HOPS = 20
WALK_TIMEOUT = 60.0
DESKTOP_ID = "testbrowser.desktop"
DEFAULT_CONFIG = {"login": "ada", "password": "pw", "mode": "login"}


def redact(url):
    """The URL with its query and fragment values left out (names kept, so that a log still
    tells a code from an error)."""
    parts = urllib.parse.urlsplit(url)
    names = [name for name, _ in urllib.parse.parse_qsl(parts.query, keep_blank_values=True)]
    query = "?" + "&".join(f"{name}=…" for name in names) if names else ""
    return (urllib.parse.urlunsplit((parts.scheme, parts.netloc, parts.path, "", "")) + query
            + ("#…" if parts.fragment else ""))


class Profile:
    def __init__(self, directory):
        self.dir = os.path.abspath(directory)
        os.makedirs(self.dir, exist_ok=True)
        self.config_path = os.path.join(self.dir, "config.json")
        self.cookies_path = os.path.join(self.dir, "cookies.txt")
        self.log_path = os.path.join(self.dir, "browser.log")

    def config(self):
        config = dict(DEFAULT_CONFIG)
        if os.path.exists(self.config_path):
            with open(self.config_path, encoding="utf-8") as f:
                config.update(json.load(f))
        return config

    def configure(self, **changes):
        config = dict(self.config(), **changes)
        with open(self.config_path, "w", encoding="utf-8") as f:
            json.dump(config, f)

    def log(self, line):
        with open(self.log_path, "a", encoding="utf-8") as f:
            f.write(f"{time.strftime('%H:%M:%S')} [{os.getpid()}] {line}\n")

    def log_lines(self):
        if not os.path.exists(self.log_path):
            return []
        with open(self.log_path, encoding="utf-8") as f:
            return f.read().splitlines()


class PageParser(html.parser.HTMLParser):
    """Forms and links: all a scripted user looks at."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.forms = []  # [(action, method, [(name, type, value)])]
        self.links = []  # [href]
        self._form = None

    def handle_starttag(self, tag, attrs):
        a = {k: v or "" for k, v in attrs}
        if tag == "form":
            self._form = (a.get("action", ""), a.get("method", "get").lower(), [])
            self.forms.append(self._form)
        elif tag in ("input", "button") and self._form is not None and a.get("name"):
            kind = a.get("type", "text" if tag == "input" else "submit").lower()
            self._form[2].append((a["name"], kind, a.get("value", "")))
        elif tag == "a" and "href" in a:
            self.links.append(a["href"])

    def handle_endtag(self, tag):
        if tag == "form":
            self._form = None


class AnswersAsTheyCome(urllib.request.HTTPErrorProcessor):
    """Hands every answer back as it is: redirects are followed by the walk itself, one hop at
    a time, and error statuses are pages like any other."""

    def http_response(self, request, response):
        return response

    https_response = http_response


def _fill(fields, config):
    data = []
    for name, kind, value in fields:
        if kind in ("submit", "button", "reset"):
            continue
        if name == "login":
            value = config["login"]
        elif kind == "password" or name == "password":
            value = config["password"]
        data.append((name, value))
    return data


def walk(url, profile):
    """Follows `url` through the provider's pages: (the non-http(s) URL the provider redirected
    to, None) or (None, why not). The cookie jar is saved whatever happens."""
    config = profile.config()
    jar = http.cookiejar.MozillaCookieJar(profile.cookies_path)
    if os.path.exists(profile.cookies_path):
        jar.load(ignore_discard=True)
    # No proxies: the provider is on loopback, whatever the environment says.
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}),
                                         urllib.request.HTTPCookieProcessor(jar),
                                         AnswersAsTheyCome())
    deadline = time.monotonic() + WALK_TIMEOUT
    method, data = "GET", None

    def fail(why):
        profile.log(f"gives up: {why}")
        return None, why

    try:
        for _ in range(MAX_HOPS):
            left = deadline - time.monotonic()
            if left <= 0:
                return fail(f"no end within {WALK_TIMEOUT:.0f} s")
            if urllib.parse.urlsplit(url).scheme.lower() not in ("http", "https"):
                profile.log(f"leaves the web: {redact(url)}")
                return url, None
            body = urllib.parse.urlencode(data).encode() if data is not None else None
            request = urllib.request.Request(url, data=body, method=method,
                                             headers={"Accept": "text/html"})
            if body is not None:
                request.add_header("Content-Type", "application/x-www-form-urlencoded")
            try:
                with opener.open(request, timeout=min(10.0, left)) as response:
                    status, location = response.status, response.headers.get("Location")
                    content = response.read(1 << 20).decode(errors="replace")
            except (urllib.error.URLError, OSError) as e:
                return fail(f"{method} {redact(url)}: {e}")
            profile.log(f"{method} {redact(url)} -> {status}")

            if 300 <= status < 400 and location:
                url, method, data = urllib.parse.urljoin(url, location), "GET", None
                continue
            if status != 200:
                return fail(f"error page {status}")
            page = PageParser()
            page.feed(content)
            if config["mode"] == "abort":
                href = next((href for href in page.links if "/abort" in href), None)
                if href is None:
                    return fail("no way to cancel")
                profile.log("clicks cancel")
                url, method, data = urllib.parse.urljoin(url, href), "GET", None
                continue
            if len(page.forms) != 1:
                return fail(f"{len(page.forms)} forms")
            action, form_method, fields = page.forms[0]
            data = _fill(fields, config)
            # Field names with only the login and prompt shown: a password never reaches the log.
            profile.log("submits form: " + ", ".join(
                f"{n}={v}" if n in ("login", "prompt") else n for n, v in data))
            url = urllib.parse.urljoin(url, action or url)
            method = "POST" if form_method == "post" else "GET"
            if method == "GET":
                url, data = url.split("?", 1)[0] + "?" + urllib.parse.urlencode(data), None
        return fail(f"more than {MAX_HOPS} hops")
    finally:
        jar.save(ignore_discard=True)


def hand_off(url, profile):
    """Passes `url` to the desktop's handler for its scheme, as a browser does; whether that
    worked."""
    try:
        done = subprocess.run(["xdg-open", url], stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, timeout=30)
    except subprocess.TimeoutExpired:
        profile.log("hand-off: xdg-open still running after 30 s")
        return False
    detail = done.stderr.decode(errors="replace").strip().replace(url, redact(url))
    profile.log(f"hand-off via xdg-open -> {done.returncode}" + (f": {detail}" if detail else ""))
    return done.returncode == 0


def install(profile_dir, env):
    """Makes this browser the default for http and https in the desktop environment `env`
    (its XDG_DATA_HOME and XDG_CONFIG_HOME), with `profile_dir` as its profile."""
    profile = Profile(profile_dir)
    # xdg-open splits Exec on blanks without honouring quotes: a launcher quotes properly.
    launcher = os.path.join(profile.dir, "testbrowser")
    with open(launcher, "w", encoding="utf-8") as f:
        f.write("#!/bin/sh\nexec /usr/bin/python3 "
                f"{shlex.quote(os.path.abspath(__file__))} --profile {shlex.quote(profile.dir)}"
                ' "$@"\n')
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
    if len(argv) != 4 or argv[1] != "--profile":
        print("usage: scripted_browser.py --profile DIR URL", file=sys.stderr)
        return 2
    profile = Profile(argv[2])
    profile.log(f"opens {redact(argv[3])} (mode {profile.config()['mode']})")
    final_url, _ = walk(argv[3], profile)
    if final_url is None:
        return 1
    return 0 if hand_off(final_url, profile) else 3


if __name__ == "__main__":
    sys.exit(main(sys.argv))
