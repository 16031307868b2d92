#!/usr/bin/python3
"""A scripted web browser for end-to-end sign-in tests, installed (`install`) as the desktop's
default for http(s) so that the application opens it through xdg-open. It walks the identity
provider's pages as a user would: redirects one at a time, cookies kept (a second sign-in reuses
the provider session), the one form of each page filled in (login "ada", password "pw") and
sent; the first URL that is not http(s), the callback, is handed on with xdg-open. The profile
directory holds cookies.txt and browser.log (URLs without their query values).

    scripted_browser.py PROFILE_DIR URL    exit status 0 handed off, 1 the walk failed
"""

import html.parser
import http.cookiejar
import os
import shlex
import subprocess
import sys
import time
import urllib.parse
import urllib.request

MAX_HOPS = 20
FIELDS = {"login": "ada", "password": "pw"}


def redact(url):
    return url.split("?", 1)[0] + ("?…" if "?" in url else "")


class Forms(html.parser.HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.forms = []  # [(action, method, [(name, value)])], buttons left out

    def handle_starttag(self, tag, attrs):
        a = {k: v or "" for k, v in attrs}
        if tag == "form":
            self.forms.append((a.get("action", ""), a.get("method", "get").lower(), []))
        elif tag == "input" and self.forms and a.get("name") and a.get("type") != "submit":
            self.forms[-1][2].append((a["name"], FIELDS.get(a["name"], a.get("value", ""))))


class AnswersAsTheyCome(urllib.request.HTTPErrorProcessor):
    """Every answer as it is: the walk follows redirects itself, error pages are pages."""

    def http_response(self, request, response):
        return response


def log_lines(profile):
    try:
        with open(os.path.join(profile, "browser.log"), encoding="utf-8") as f:
            return f.read().splitlines()
    except FileNotFoundError:
        return []


def walk(url, profile):
    """Follows `url` through the provider's pages: the non-http(s) URL it ends at, or None."""
    def log(line):
        with open(os.path.join(profile, "browser.log"), "a", encoding="utf-8") as f:
            f.write(f"{time.strftime('%H:%M:%S')} {line}\n")

    jar = http.cookiejar.MozillaCookieJar(os.path.join(profile, "cookies.txt"))
    if os.path.exists(jar.filename):
        jar.load(ignore_discard=True)
    # No proxies: the provider is on loopback, whatever the environment says.
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}),
                                         urllib.request.HTTPCookieProcessor(jar),
                                         AnswersAsTheyCome())
    log(f"opens {redact(url)}")
    data = None
    try:
        for _ in range(MAX_HOPS):
            if urllib.parse.urlsplit(url).scheme not in ("http", "https"):
                log(f"leaves the web: {redact(url)}")
                return url
            body = urllib.parse.urlencode(data).encode() if data is not None else None
            with opener.open(urllib.request.Request(url, data=body), timeout=10) as response:
                status, location = response.status, response.headers.get("Location")
                page = response.read(1 << 20).decode(errors="replace")
            log(f"{'POST' if body else 'GET'} {redact(url)} -> {status}")
            data = None
            if 300 <= status < 400 and location:
                url = urllib.parse.urljoin(url, location)
                continue
            forms = Forms()
            forms.feed(page)
            if status != 200 or len(forms.forms) != 1:
                log(f"gives up: status {status}, {len(forms.forms)} forms")
                return None
            action, method, data = forms.forms[0]
            url = urllib.parse.urljoin(url, action or url)
            if method != "post":
                url, data = url.split("?", 1)[0] + "?" + urllib.parse.urlencode(data), None
        log(f"gives up: more than {MAX_HOPS} hops")
        return None
    except OSError as e:
        log(f"gives up: {e}")
        return None
    finally:
        jar.save(ignore_discard=True)


def install(profile, env):
    """Makes this browser the default for http and https in the desktop environment `env` (its
    XDG_DATA_HOME and XDG_CONFIG_HOME), with `profile` as its profile directory."""
    os.makedirs(profile, exist_ok=True)
    # xdg-open splits Exec on blanks without honouring quotes: a launcher quotes properly.
    launcher = os.path.join(profile, "testbrowser")
    with open(launcher, "w", encoding="utf-8") as f:
        f.write(f"#!/bin/sh\nexec /usr/bin/python3 {shlex.quote(os.path.abspath(__file__))} "
                f'{shlex.quote(profile)} "$@"\n')
    os.chmod(launcher, 0o755)
    applications = os.path.join(env["XDG_DATA_HOME"], "applications")
    os.makedirs(applications, exist_ok=True)
    with open(os.path.join(applications, "testbrowser.desktop"), "w", encoding="utf-8") as f:
        f.write("[Desktop Entry]\nType=Application\nName=Test Browser\n"
                f"Exec={launcher} %u\nMimeType=x-scheme-handler/http;x-scheme-handler/https;\n")
    subprocess.run(["xdg-mime", "default", "testbrowser.desktop", "x-scheme-handler/http",
                    "x-scheme-handler/https"], env=env, check=True, timeout=30,
                   stdin=subprocess.DEVNULL, capture_output=True)
    return profile


if __name__ == "__main__":
    callback = walk(sys.argv[2], sys.argv[1])
    sys.exit(1 if callback is None else subprocess.run(
        ["xdg-open", callback], stdin=subprocess.DEVNULL, timeout=30).returncode)
