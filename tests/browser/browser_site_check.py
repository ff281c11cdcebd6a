#!/usr/bin/env python3
"""The reference web site in a real browser: headless Chromium logs in and
picks a world, and the navigation it is sent on must be one the client
takes over and can read.

What it does, as a player in the client's window would:

1. starts the reference server (port 0, --require-device) and headless
   Chromium, driven over the DevTools protocol on a pipe (file descriptors
   3 and 4, JSON messages ending in a NUL byte);
2. opens the start page <base>/?client=1 with the header
   "X-Tavrensil-Client: 1", as the client's browser host does;
3. fills in the login form and clicks its submit button;
4. on the page with the world links, clicks the links of one world (both
   link shapes when the site offers both);
5. for each click, catches the document request of the navigation and
   cancels it as the client does (the page is never loaded), then checks
   the URL with the client's rules: a play navigation ("/play" or "play?"),
   a token= value, the world named by "site=" or a "/sN/" segment with N
   from 2 to 15, read into the expected site name and path prefix;
6. checks that the browser holds the device cookie "rb_dev" for <base>/;
7. opens a signed game session (hello, play) with the token taken from
   the navigation and that cookie, which the server requires.

Exit status 0 when every step passes, 1 when one fails, 77 when Chromium is
not installed (the test is then skipped). Everything has a time limit; a
run takes a few seconds.

    python3 tests/browser/browser_site_check.py [--world s3] [--chromium PATH]
"""

import argparse
import json
import os
import select
import shutil
import signal
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
REPO = os.path.dirname(os.path.dirname(HERE))
KEY_FILE = os.path.join(REPO, "keys", "signing-key-parts.txt")
sys.path.insert(0, os.path.join(REPO, "operator_kit"))
sys.path.insert(0, os.path.join(REPO, "reference_server"))
sys.path.insert(0, os.path.join(REPO, "tests", "e2e"))
import client_rules as rules  # noqa: E402  (the client's play-URL and signing rules)
import harness  # noqa: E402  (the one way our runners report)
import startup  # noqa: E402

SKIP = 77
COMMAND_TIMEOUT = 15.0     # one DevTools command
STEP_TIMEOUT = 15.0        # one page or navigation to arrive
TOTAL_TIMEOUT = 90.0       # the whole run
USER = "ayşe"
PASSWORD = "gizli"


class CheckFailed(Exception):
    pass


class Deadline:
    def __init__(self, seconds):
        self.end = time.monotonic() + seconds

    def left(self, cap):
        left = self.end - time.monotonic()
        if left <= 0:
            raise CheckFailed("the whole check took longer than %d s" % TOTAL_TIMEOUT)
        return min(left, cap)


# ---------------------------------------------------------------------------
# Processes.


class ReferenceServer:
    def __init__(self, *args):
        try:
            self.proc, self.base = startup.start(["--quiet"] + list(args), cwd=REPO)
        except startup.StartError as e:
            raise CheckFailed(str(e)) from None

    def log(self):
        """The server's request log (its local control API)."""
        with urllib.request.urlopen(self.base + "/_control/log", timeout=10) as response:
            return json.loads(response.read().decode("utf-8"))["entries"]

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait(5)
        self.proc.stdout.close()


class Chromium:
    """Headless Chromium with the DevTools protocol on a pipe: it reads
    commands from descriptor 3 and writes answers and events to 4."""

    def __init__(self, program, deadline):
        self.deadline = deadline
        self.profile = tempfile.mkdtemp(prefix="tavrensil-chromium-")
        self.log = tempfile.TemporaryFile()
        to_browser_r, self.to_browser = os.pipe()
        self.from_browser, from_browser_w = os.pipe()

        def descriptors():   # runs in the child before exec
            a, b = os.dup(to_browser_r), os.dup(from_browser_w)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self.proc = subprocess.Popen(
            [program, "--headless=new", "--remote-debugging-pipe", "--no-sandbox",
             "--disable-gpu", "--user-data-dir=" + self.profile, "--no-first-run",
             "--no-default-browser-check", "--disable-extensions", "--disable-sync",
             "--disable-background-networking", "--disable-component-update",
             "--password-store=basic", "--use-mock-keychain", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=self.log, stderr=subprocess.STDOUT,
            preexec_fn=descriptors, close_fds=False, start_new_session=True)
        os.close(to_browser_r)
        os.close(from_browser_w)
        self.buffer = b""
        self.next_id = 0
        self.answers = {}
        self.handlers = {}       # event method -> callable(params, session)
        self.events = []

    # -- the protocol ------------------------------------------------------

    def _post(self, message):
        data = json.dumps(message).encode("utf-8") + b"\0"
        while data:
            _, ready, _ = select.select([], [self.to_browser], [],
                                        self.deadline.left(COMMAND_TIMEOUT))
            if not ready:
                raise CheckFailed("Chromium does not read its commands")
            data = data[os.write(self.to_browser, data):]

    def post(self, method, params=None, session=None):
        """Send a command without waiting for its answer; its id."""
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params or {}}
        if session:
            message["sessionId"] = session
        self._post(message)
        return self.next_id

    def pump(self, timeout):
        """Read what arrives within `timeout` seconds; handle events at once
        (a paused request waits for us, so nothing may wait for it)."""
        ready, _, _ = select.select([self.from_browser], [], [], max(timeout, 0))
        if not ready:
            return
        chunk = os.read(self.from_browser, 1 << 20)
        if not chunk:
            raise CheckFailed("Chromium closed its DevTools pipe (it ended?)")
        self.buffer += chunk
        while b"\0" in self.buffer:
            raw, self.buffer = self.buffer.split(b"\0", 1)
            message = json.loads(raw.decode("utf-8"))
            if "id" in message:
                self.answers[message["id"]] = message
            elif "method" in message:
                handler = self.handlers.get(message["method"])
                if handler:
                    handler(message.get("params", {}), message.get("sessionId"))
                self.events.append(message)

    def call(self, method, params=None, session=None):
        """Send a command and wait for its result."""
        ident = self.post(method, params, session)
        limit = time.monotonic() + COMMAND_TIMEOUT
        while ident not in self.answers:
            if time.monotonic() > limit:
                raise CheckFailed("no answer to %s within %d s" % (method, COMMAND_TIMEOUT))
            self.pump(self.deadline.left(0.2))
        answer = self.answers.pop(ident)
        if "error" in answer:
            raise CheckFailed("%s failed: %s" % (method, answer["error"].get("message")))
        return answer.get("result", {})

    def wait_for(self, what, test, session=None, poll=None, timeout=STEP_TIMEOUT):
        """Wait until test() is true, evaluating `poll` in the page between
        tries when given; returns test()'s value."""
        limit = time.monotonic() + timeout
        while True:
            value = test()
            if value:
                return value
            if time.monotonic() > limit:
                raise CheckFailed("timed out after %d s waiting for %s" % (timeout, what))
            self.pump(self.deadline.left(0.1))

    def evaluate(self, session, expression):
        result = self.call("Runtime.evaluate", {"expression": expression,
                                                "returnByValue": True}, session)
        if "exceptionDetails" in result:
            raise CheckFailed("script failed: %s" % json.dumps(result["exceptionDetails"])[:300])
        return result.get("result", {}).get("value")

    def close(self):
        if self.proc.poll() is None:
            try:
                self.post("Browser.close")
                self.proc.wait(5)
            except (OSError, CheckFailed, subprocess.TimeoutExpired):
                pass
        if self.proc.poll() is None:
            # The browser and its helpers are one process group, ours.
            try:
                os.killpg(self.proc.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.proc.wait(5)
        for fd in (self.to_browser, self.from_browser):
            try:
                os.close(fd)
            except OSError:
                pass
        shutil.rmtree(self.profile, ignore_errors=True)

    def log_tail(self, lines=15):
        self.log.seek(0)
        text = [line for line in self.log.read().decode("utf-8", "replace").splitlines()
                if "dbus" not in line]   # no system bus here; that noise says nothing
        return "\n".join(text[-lines:])


# ---------------------------------------------------------------------------
# The check.


FILL_AND_SUBMIT = r"""
(() => {
  const password = document.querySelector('input[type=password]');
  const form = password ? password.form : document.forms[0];
  if (!form) return 'no form';
  const user = Array.from(form.elements).find(e => e.tagName === 'INPUT' &&
      ['', 'text', 'email'].includes((e.getAttribute('type') || '').toLowerCase()));
  if (!user) return 'no user name field';
  user.focus(); user.value = %s;
  if (password) { password.focus(); password.value = %s; }
  const submit = form.querySelector('[type=submit]');
  if (!submit) return 'no submit button';
  submit.click();
  return 'submitted';
})()
"""

PAGE_STATE = r"""
(() => ({href: location.href, ready: document.readyState,
         links: Array.from(document.links).map(a => a.href),
         arrived: (document.getElementById('client-header') || {dataset: {}}).dataset.arrived || null}))()
"""


class Steps(harness.Results):
    """The check's steps, reported as every runner here reports."""

    def ok(self, name, detail):
        self.record(name, True, detail)

    def fail(self, name, detail):
        self.record(name, False, detail)


def shape_of(url):
    return "site=" if "site=" in url else ("/sN/" if rules.names_world(url) else "plain")


def run_check(chromium, server, world, steps):
    browser = chromium
    base = server.base
    start_url = base + "/?client=1"
    navigations = []           # play navigations caught and cancelled
    header_sent = []

    def on_paused(params, session):
        request = params["request"]
        url = request["url"]
        if rules.is_play_navigation(url):
            # The client's browser host cancels a play navigation and takes over.
            navigations.append(url)
            browser.post("Fetch.failRequest", {"requestId": params["requestId"],
                                               "errorReason": "Aborted"}, session)
            return
        reply = {"requestId": params["requestId"]}
        if url == start_url and not header_sent:
            # The client asks for its start page with this extra header.
            headers = [{"name": k, "value": v} for k, v in request.get("headers", {}).items()]
            headers.append({"name": rules.CLIENT_HEADER[0], "value": rules.CLIENT_HEADER[1]})
            reply["headers"] = headers
            header_sent.append(url)
        browser.post("Fetch.continueRequest", reply, session)

    browser.handlers["Fetch.requestPaused"] = on_paused
    version = browser.call("Browser.getVersion")
    target = browser.call("Target.createTarget", {"url": "about:blank"})["targetId"]
    session = browser.call("Target.attachToTarget", {"targetId": target,
                                                     "flatten": True})["sessionId"]
    browser.call("Fetch.enable", {"patterns": [{"urlPattern": "*", "resourceType": "Document",
                                                "requestStage": "Request"}]}, session)
    browser.call("Page.enable", {}, session)
    steps.ok("browser", "%s, DevTools over a pipe" % version.get("product", "?"))

    def page_state():
        return browser.evaluate(session, PAGE_STATE)

    # Start page.
    browser.call("Page.navigate", {"url": start_url}, session)
    state = browser.wait_for("the start page", lambda: (lambda s: s if s["ready"] == "complete"
                             and s["href"].startswith(base) else None)(page_state()))
    if not header_sent:
        raise CheckFailed("the start page request was not seen")
    has_password = browser.evaluate(session, "!!document.querySelector('input[type=password]')")
    if not has_password:
        raise CheckFailed("the start page %s has no login form" % state["href"])
    steps.ok("start page", "%s (the site saw the client header: %s)" % (
        state["href"][len(base):], "yes" if state["arrived"] == "1" else "no"))
    if state["arrived"] != "1":
        raise CheckFailed("the start page did not note the X-Tavrensil-Client header")

    # Log in.
    result = browser.evaluate(session, FILL_AND_SUBMIT % (json.dumps(USER), json.dumps(PASSWORD)))
    if result != "submitted":
        raise CheckFailed("login form: %s" % result)

    def worlds_page():
        s = page_state()
        if s["ready"] != "complete" or s["href"].startswith(start_url):
            return None
        plays = [h for h in s["links"] if rules.is_play_navigation(h)]
        return (s, plays) if plays else None

    state, plays = browser.wait_for("a page with play links after logging in", worlds_page)
    steps.ok("login", "logged in as %s; %s shows %d play links" % (
        USER, state["href"][len(base):], len(plays)))

    # Pick the world: click each shape of its link.
    site_name = rules.world_site_name(world)
    mine = [h for h in plays if rules.parse_play_url(h)[0] == site_name]
    if not mine:
        raise CheckFailed("no link for world %s on %s" % (world, state["href"]))
    by_shape = {}
    for href in mine:
        by_shape.setdefault(shape_of(href), href)
    token = None
    for shape, href in sorted(by_shape.items()):
        before = len(navigations)
        index = state["links"].index(href)
        browser.evaluate(session, "document.links[%d].click(), 'clicked'" % index)
        browser.wait_for("the play navigation of the %s link" % shape,
                         lambda: len(navigations) > before)
        url = navigations[before]
        site, shard, url_token = rules.parse_play_url(url)
        problems = []
        if not rules.is_play_navigation(url):
            problems.append("not a play navigation")
        if not url_token:
            problems.append("no token=")
        if not rules.names_world(url) and site_name != "local":
            # Only the main world may go without a name: it reads as "local".
            problems.append("names no world by site= or /sN/ (N 2..15)")
        if site != site_name:
            problems.append("reads as site %r, not %r" % (site, site_name))
        expected_shard = "" if site_name == "local" else "/" + site_name
        if shard != expected_shard:
            problems.append("prefix %r, not %r" % (shard, expected_shard))
        if problems:
            raise CheckFailed("navigation %s: %s" % (url, "; ".join(problems)))
        token = token or url_token
        steps.ok("world link (%s)" % shape, "%s → site %s, prefix %s, token %s…; cancelled" % (
            url[len(base):].replace(url_token, url_token[:6] + "…"), site, shard or "(none)",
            url_token[:6]))
    still = page_state()
    if rules.is_play_navigation(still["href"]):
        raise CheckFailed("the browser went on to the play page %s" % still["href"])
    played = [e["path"] for e in server.log() if e.get("verdict") == "play-page"]
    if played:
        raise CheckFailed("the server was asked for a play page: %s" % ", ".join(played))

    # The device cookie for <base>/.
    cookies = browser.call("Network.getCookies", {"urls": [base + "/"]}, session)["cookies"]
    device = next((c for c in cookies if c["name"] == rules.DEVICE_COOKIE), None)
    if device is None or not device.get("value"):
        raise CheckFailed("no %s cookie for %s/ (cookies: %s)" % (
            rules.DEVICE_COOKIE, base, ", ".join(c["name"] for c in cookies) or "none"))
    steps.ok("device cookie", "%s=%s… for %s/ (path %s%s)" % (
        device["name"], device["value"][:8], base, device.get("path"),
        ", HttpOnly" if device.get("httpOnly") else ""))

    # The session the client would open from there.
    key = rules.read_key_parts(KEY_FILE)
    shard = "" if site_name == "local" else "/" + site_name
    cookie = "%s=%s" % (rules.DEVICE_COOKIE, device["value"])
    hello = api(base + shard + "/api/client/hello?build=" + rules.BUILD, None, cookie)
    if not hello.get("ok"):
        raise CheckFailed("hello: %s" % hello)
    challenge = hello["challenge"]
    play = api(base + shard + "/api/client/play", rules.encode_form({
        "build": rules.BUILD, "challenge": challenge, "scheme": "http",
        "sig": rules.sign(key, "play", challenge, rules.play_subject(token, site_name)),
        "token": token}), cookie)
    if play.get("ok") is not True:
        raise CheckFailed("play with the browser's token and cookie refused: %s" % play)
    steps.ok("session", "hello and signed play accepted with the browser's token and "
             "cookie (csid %s…)" % play["csid"][:8])


def api(url, body, cookie):
    request = urllib.request.Request(url, data=body, method="POST" if body else "GET")
    request.add_header("User-Agent", rules.API_USER_AGENT)
    request.add_header("Cookie", cookie)
    if body:
        request.add_header("Content-Type", "application/x-www-form-urlencoded")
    try:
        with urllib.request.urlopen(request, timeout=10) as response:
            if response.status != 200:
                raise CheckFailed("%s: HTTP %d" % (url, response.status))
            return json.loads(response.read().decode("utf-8"))
    except urllib.error.HTTPError as e:
        raise CheckFailed("%s: HTTP %d" % (url, e.code)) from None
    except (urllib.error.URLError, OSError, ValueError) as e:
        raise CheckFailed("%s: %s" % (url, e)) from None


def hard_limit(signum, frame):
    raise CheckFailed("hard time limit reached")


def main(argv=None):
    p = argparse.ArgumentParser(description="The reference web site in headless Chromium.")
    p.add_argument("--world", default="s3", help="the world to pick (default s3)")
    p.add_argument("--chromium", default=os.environ.get("CHROMIUM", "chromium"),
                   help="the Chromium program (default: chromium on PATH)")
    args = p.parse_args(argv)
    program = shutil.which(args.chromium)
    if not program:
        print("SKIP: %s is not installed (Debian package \"chromium\"; tools/setup.sh "
              "installs it)" % args.chromium, flush=True)
        return SKIP
    steps = Steps()
    deadline = Deadline(TOTAL_TIMEOUT)
    server = chromium = None
    # A hard stop in case something blocks where no time limit reaches.
    signal.signal(signal.SIGALRM, hard_limit)
    signal.alarm(int(TOTAL_TIMEOUT) + 30)
    try:
        server = ReferenceServer("--require-device")
        chromium = Chromium(program, deadline)
        run_check(chromium, server, args.world, steps)
        return steps.summary()
    except CheckFailed as e:
        steps.fail("check", str(e))
        if chromium is not None:
            print("--- Chromium's last log lines ---\n%s" % chromium.log_tail(), flush=True)
        return steps.summary()
    finally:
        signal.alarm(0)
        if chromium is not None:
            chromium.close()
        if server is not None:
            server.stop()


if __name__ == "__main__":
    sys.exit(main())
