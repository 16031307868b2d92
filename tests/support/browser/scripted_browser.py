#!/usr/bin/python3
"""A scripted web browser, installed (`install`) as the desktop's default for http(s): it fills
in the one form of each of the provider's pages and hands the first URL that is not http(s),
the callback, on with xdg-open. PROFILE_DIR/browser.log holds the URLs, without query values.

    scripted_browser.py PROFILE_DIR URL    exit status 0 handed off, 1 the walk failed
"""

import html.parser
import os
import shlex
import subprocess
import sys
import time
import urllib.error
import urllib.parse
import urllib.request

MAX_PAGES = 10
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

    # No proxies: the provider is on loopback, whatever the environment says.
    opener = urllib.request.build_opener(urllib.request.ProxyHandler({}),
                                         urllib.request.HTTPCookieProcessor())
    log(f"opens {redact(url)}")
    data = None
    for _ in range(MAX_PAGES):
        try:
            with opener.open(url, data, timeout=10) as response:
                url, page = response.url, response.read(1 << 20).decode(errors="replace")
        except urllib.error.HTTPError as answer:  # also a redirect that leaves the web
            target = urllib.parse.urljoin(answer.url, answer.headers.get("Location") or "")
            if 300 <= answer.code < 400 and not target.startswith("http"):
                log(f"leaves the web: {redact(target)}")
                return target
            log(f"gives up: status {answer.code} at {redact(answer.url)}")
            return None
        except OSError as e:
            log(f"gives up: {e}")
            return None
        forms = Forms()
        forms.feed(page)
        if len(forms.forms) != 1:
            log(f"gives up: {len(forms.forms)} forms at {redact(url)}")
            return None
        action, method, fields = forms.forms[0]
        url, data = urllib.parse.urljoin(url, action or url), urllib.parse.urlencode(fields)
        log(f"{method.upper()} {redact(url)}")
        if method != "post":
            url, data = url.split("?", 1)[0] + "?" + data, None
        data = data and data.encode()
    log(f"gives up: more than {MAX_PAGES} pages")
    return None


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
    # A test that holds the hand-off creates PROFILE_DIR/hold and removes it (30 s at most).
    hold = os.path.join(sys.argv[1], "hold")
    for _ in range(300):
        if not os.path.exists(hold):
            break
        time.sleep(0.1)
    sys.exit(1 if callback is None else subprocess.run(
        ["xdg-open", callback], stdin=subprocess.DEVNULL, timeout=30).returncode)
