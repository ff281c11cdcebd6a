#!/usr/bin/env python3
"""Checks a running game server and web site against the Tavrensil Online
client's contract, and prints one row per check: PASS, FAIL, WARN or SKIP.

    python3 operator_kit/check_server.py --site https://game.example.com --login ali
    python3 operator_kit/check_server.py --site http://127.0.0.1:8080 --token DEMO --world s3

It talks to the server the way the client does: the update check without a
path prefix, hello and the signed play, beat and bye requests under the
chosen world's prefix, in the client's own order (play right after its
hello), forms encoded and signed exactly as the client does, the device
cookie "rb_dev" sent as "Cookie: rb_dev=<value>", and answers read as JSON
only when their status is 200. Probes the client never sends (old builds,
bad signatures, spent challenges) run afterwards in sequences of their own.

FAIL means the client as built would misbehave against this server; WARN
marks what lies beyond what the client reads, or the operator's own policy,
and says what the client does instead. Exit status: 0 when no check failed
(with --strict: and none warned), 1 otherwise, 2 for a usage error.
--junit FILE writes the rows as JUnit XML. See README.md in this folder.

Standard library only.
"""

import argparse
import hashlib
import http.client
import http.cookiejar
import json
import math
import os
import ssl
import sys
import time
import unicodedata
import urllib.error
import urllib.parse
import urllib.request
import xml.etree.ElementTree as ET
from html.parser import HTMLParser

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import client_rules as rules  # noqa: E402

DEFAULT_KEY_FILE = os.path.join(os.path.dirname(HERE), "keys", "signing-key-parts.txt")
MAX_BODY = 4 * 1024 * 1024
MAX_REDIRECTS = 10
MAX_PAGES = 12
# The user agent of the embedded browser control (IE 11 standards mode).
PAGE_USER_AGENT = "Mozilla/5.0 (Windows NT 10.0; WOW64; Trident/7.0; rv:11.0) like Gecko"
LOGOUT_WORDS = ("logout", "log-out", "signout", "sign-out", "cikis", "çıkış")

# The installer an update answer may offer: its fields, and the sizes the
# client takes.
INSTALLER_FIELDS = ("installer_url", "installer_sha256", "installer_size")
MIN_INSTALLER, MAX_INSTALLER = 64 * 1024, 512 * 1024 * 1024
NO_INSTALLER = "the client takes no installer from this answer (its update notice opens " \
               "download_url)"

LOST_BEAT = "the client takes it for a lost beat and sends the same challenge again in 20 s"

PASS, FAIL, WARN, SKIP = "PASS", "FAIL", "WARN", "SKIP"
RESULTS = (PASS, FAIL, WARN, SKIP)

# Every check, in the order it runs, with what it checks (for --list and
# the README). First the client's own road, then the probes, each in a
# sequence of its own, then the operator's policy on old builds.
CHECKS = [
    ("update", "GET /api/client/update?build=" + rules.BUILD + " (no prefix): a 200 JSON object whose "
               "must_update the client reads as false"),
    ("site-login", "start page <site>/?client=1 with X-Tavrensil-Client: 1, the login form "
                   "filled and sent, a page with play links reached (--login)"),
    ("device-cookie", "the site keeps the rb_dev cookie for <site>/ (--login; WARN without)"),
    ("play-url", "the play links: navigations the client takes over (\"/play\" or "
                 "\"play?\"), a token=, the world named by site= or /sN/ (N 2..15) (--login)"),
    ("shard-prefixes", "hello answers ok under the prefix of every world found"),
    ("hello", "GET <prefix>/api/client/hello?build=" + rules.BUILD + ": ok and a challenge"),
    ("play", "play signed over that hello's challenge, right after it: ok, csid, a new "
             "challenge, movie URL, flashvars"),
    ("beat", "beat signed over the play challenge: ok and a challenge"),
    ("challenge-rolls", "a second beat over the first beat's challenge: ok, and every "
                        "challenge differs from all before it"),
    ("bye", "bye signed over the last challenge (the client does not read the answer: "
            "WARN unless ok)"),
    ("beat-after-bye", "a beat over the challenge bye spent is refused (WARN without fatal)"),
    ("hello-one-time", "a play over the spent hello challenge is refused"),
    ("play-bad-sig", "hello and a play with a corrupted signature, hello and a play signed "
                     "for another site name: both refused"),
    ("beat-reused-challenge", "in a session of its own: a beat over an already spent "
                              "challenge is refused"),
    ("beat-bad-sig", "in that session: a beat with a corrupted signature is refused"),
    ("refusal-keeps-challenge", "in that session: after those refusals the current challenge "
                                "still works (WARN)"),
    ("update-old-build", "policy, WARN at most: the update check with an old build: "
                         "must_update true, latest_build, download_url"),
    ("update-installer", "when that answer offers an installer: installer_url https on the "
                         "site's host, installer_sha256 64 hex, installer_size 64 KiB..512 "
                         "MiB, latest_build above the old build; the download matches them "
                         "(WARN)"),
    ("hello-old-build", "policy, WARN at most: hello with an old build: ok false, update true"),
    ("error-answers", "every refusal of play came as status 200, a JSON object with ok false "
                      "and an error text; refusals of beat as status 200 (WARN)"),
]
CHECK_NAMES = [name for name, _ in CHECKS]


# ---------------------------------------------------------------------------
# The client's ways of reading an answer.


def truthy(value):
    """How the client reads a truth value: null, false, 0, "", [] and {}
    are false, everything else (the string "false" too) is true."""
    if value is None or value is False:
        return False
    if isinstance(value, (int, float)) and not isinstance(value, bool):
        return value != 0
    if isinstance(value, (str, list, dict)):
        return len(value) > 0
    return True


def short(value, limit=60):
    text = value if isinstance(value, str) else json.dumps(value, ensure_ascii=False)
    return text if len(text) <= limit else text[:limit - 1] + "…"


# Servers are untrusted, and what they send reaches the operator's terminal
# and files. Controls (C0, DEL, C1: terminal escape sequences, the 8-bit
# CSI) could drive the terminal; format controls (bidi overrides, isolates
# and marks, zero-width characters) reorder or hide what is read; line and
# paragraph separators, lone surrogates and the two non-characters break a
# row or the XML.
ESCAPED_CATEGORIES = ("Cc", "Cf", "Zl", "Zp", "Cs")


def printable(text):
    """The kit's one escaper: every text shown to the operator, on the
    terminal or in the JSON and JUnit files, goes through it. Backslashes
    are kept, so escaping twice changes nothing."""
    return "".join(escaped(ch) for ch in text)


def escaped(ch):
    code = ord(ch)
    if unicodedata.category(ch) not in ESCAPED_CATEGORIES and code not in (0xFFFE, 0xFFFF):
        return ch
    if code < 0x100:
        return "\\x%02x" % code
    return "\\u%04x" % code if code < 0x10000 else "\\U%08x" % code


def note(text):
    """One line on standard error, escaped."""
    sys.stderr.write(printable(text) + "\n")


def whole_number(value):
    """A JSON number without a fraction, as an int, the way the client reads
    a whole number; None for anything else."""
    if isinstance(value, bool) or not isinstance(value, (int, float)):
        return None
    if isinstance(value, float) and not (math.isfinite(value) and value.is_integer()):
        return None
    return int(value)


def field_state(obj, field):
    """How a field of an answer looks, JSON-written, for a row's detail."""
    if field not in obj:
        return "missing"
    return "empty" if obj[field] == "" else short(json.dumps(obj[field], ensure_ascii=False))


class Answer:
    """One exchange: status, headers and body, or the transport error."""

    def __init__(self, method, url, status=0, headers=None, body=b"", error=""):
        self.method, self.url = method, url
        self.status, self.headers, self.body, self.error = status, headers, body, error

    def where(self):
        return "%s %s" % (self.method, urllib.parse.urlsplit(self.url).path)

    def json_object(self):
        """(object, None) or (None, why not). Only a 200 answer is read,
        as the client does."""
        if self.error:
            return None, "no answer (%s)" % self.error
        if self.status != 200:
            return None, "HTTP %d (not read as JSON)" % self.status
        try:
            text = self.body.decode("utf-8")
        except UnicodeDecodeError:
            return None, "body is not UTF-8"
        try:
            value = json.loads(text)
        except ValueError:
            return None, "body is not JSON: %s" % short(text.strip(), 40)
        if not isinstance(value, dict):
            return None, "body is JSON but not an object"
        return value, None

    def describe(self):
        if self.error:
            return "no answer: %s" % self.error
        if self.status != 200:
            return "HTTP %d" % self.status
        value, problem = self.json_object()
        return problem if value is None else short(value, 120)


class Problem(Exception):
    """A failed check; the message is the table's detail."""


class NotApplicable(Exception):
    """A skipped check; the message says why."""


# ---------------------------------------------------------------------------
# HTTP.


class _NoRedirect(urllib.request.HTTPRedirectHandler):
    """Redirects are answers of their own: the API's are not followed (the
    client reads status 200 only) and the site's are followed by hand, so a
    redirect to a play URL is seen and not requested."""

    def redirect_request(self, req, fp, code, msg, headers, newurl):
        return None


class Http:
    def __init__(self, site, timeout, ca_file, verbose):
        self.site = site.rstrip("/")
        parts = urllib.parse.urlsplit(self.site)
        self.origin = "%s://%s" % (parts.scheme, parts.netloc)
        # The client sends scheme "http" only when its site URL begins with
        # "http://"; everything else goes over TLS.
        self.secure = not site.startswith("http://")
        self.timeout = timeout
        self.verbose = verbose
        context = ssl.create_default_context(cafile=ca_file) if ca_file else \
            ssl.create_default_context()
        https = urllib.request.HTTPSHandler(context=context)
        self.jar = http.cookiejar.CookieJar()
        self.api_opener = urllib.request.build_opener(https, _NoRedirect)
        self.page_opener = urllib.request.build_opener(
            https, urllib.request.HTTPCookieProcessor(self.jar), _NoRedirect)
        self.device = ""     # the rb_dev value sent with API requests, once known

    def _open(self, opener, method, url, body=None, headers=()):
        request = urllib.request.Request(url, data=body, method=method)
        for name, value in headers:
            request.add_header(name, value)
        try:
            with opener.open(request, timeout=self.timeout) as response:
                answer = Answer(method, url, response.status, response.headers,
                                response.read(MAX_BODY))
        except urllib.error.HTTPError as e:
            try:
                body = e.read(MAX_BODY)
            except (OSError, http.client.HTTPException):
                body = b""
            answer = Answer(method, url, e.code, e.headers, body)
        except urllib.error.URLError as e:
            answer = Answer(method, url, error=str(e.reason))
        except (OSError, http.client.HTTPException, ValueError) as e:
            answer = Answer(method, url, error="%s: %s" % (type(e).__name__, e))
        if self.verbose:
            note("  %s %s -> %s" % (method, url, answer.describe()))
        return answer

    # -- client API --------------------------------------------------------

    def _api_headers(self, has_body):
        headers = [("User-Agent", rules.API_USER_AGENT)]
        if self.device:
            headers.append(("Cookie", "%s=%s" % (rules.DEVICE_COOKIE, self.device)))
        if has_body:
            headers.append(("Content-Type", "application/x-www-form-urlencoded"))
        return headers

    def api_get(self, path):
        return self._open(self.api_opener, "GET", self.origin + path,
                          headers=self._api_headers(False))

    def api_post(self, path, fields):
        body = rules.encode_form(fields)
        return self._open(self.api_opener, "POST", self.origin + path, body,
                          self._api_headers(bool(body)))

    # -- web site ------------------------------------------------------------

    def page(self, method, url, body=None, headers=()):
        """A site page, following redirects by hand. Returns (answer, the
        play URL a redirect pointed at or None, the final URL)."""
        headers = [("User-Agent", PAGE_USER_AGENT)] + list(headers)
        for _ in range(MAX_REDIRECTS + 1):
            extra = list(headers)
            if body is not None:
                extra.append(("Content-Type", "application/x-www-form-urlencoded"))
            answer = self._open(self.page_opener, method, url, body, extra)
            location = answer.headers.get("Location") if answer.headers else None
            if answer.error or answer.status not in (301, 302, 303, 307, 308) or not location:
                return answer, None, url
            target = urllib.parse.urljoin(url, location)
            if rules.is_play_navigation(target):
                return answer, target, url
            if answer.status in (301, 302, 303) and method == "POST":
                method, body = "GET", None
            # The client header goes with the first request of the start page only.
            headers = [("User-Agent", PAGE_USER_AGENT)]
            url = target
        return Answer(method, url, error="more than %d redirects" % MAX_REDIRECTS), None, url

    def download(self, url, limit):
        """GET url like the client's installer download, reading at most
        `limit` bytes: (Answer without its body, bytes read, their SHA-256)."""
        request = urllib.request.Request(url, headers={"User-Agent": rules.API_USER_AGENT})
        digest, read = hashlib.sha256(), 0
        answer = Answer("GET", url)
        try:
            with self.api_opener.open(request, timeout=self.timeout) as response:
                answer.status, answer.headers = response.status, response.headers
                while read < limit:
                    chunk = response.read(min(1 << 20, limit - read))
                    if not chunk:
                        break
                    digest.update(chunk)
                    read += len(chunk)
        except urllib.error.HTTPError as e:
            answer.status, answer.headers = e.code, e.headers
        except urllib.error.URLError as e:
            answer.error = str(e.reason)
        except (OSError, http.client.HTTPException, ValueError) as e:
            answer.error = "%s: %s" % (type(e).__name__, e)
        if self.verbose:
            note("  GET %s -> %s" % (url, answer.error or "HTTP %d, %d bytes read" % (
                answer.status, read)))
        return answer, read, digest.hexdigest()

    def device_cookie(self):
        """The rb_dev value the browser would hold for <site>/, or ""."""
        probe = urllib.request.Request(self.site + "/")
        self.jar.add_cookie_header(probe)
        for part in (probe.get_header("Cookie") or "").split(";"):
            name, _, value = part.strip().partition("=")
            if name == rules.DEVICE_COOKIE:
                return value
        return ""


# ---------------------------------------------------------------------------
# Reading pages: forms and links.


class PageParser(HTMLParser):
    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.forms = []      # {"action", "method", "inputs": [(name, type, value)]}
        self.links = []      # href values in page order
        self._form = None

    def handle_starttag(self, tag, attrs):
        a = {k: (v or "") for k, v in attrs}
        if tag == "form":
            self._form = {"action": a.get("action", ""),
                          "method": (a.get("method") or "get").upper(), "inputs": []}
            self.forms.append(self._form)
        elif tag in ("input", "button") and self._form is not None:
            kind = a.get("type", "submit" if tag == "button" else "text").lower()
            self._form["inputs"].append((a.get("name", ""), kind, a.get("value", "")))
        elif tag == "a" and a.get("href"):
            self.links.append(a["href"])

    def handle_endtag(self, tag):
        if tag == "form":
            self._form = None


def parse_page(answer):
    parser = PageParser()
    try:
        parser.feed(answer.body.decode("utf-8", "replace"))
        parser.close()
    except Exception:  # a broken page gives what was read before it broke
        pass
    return parser


def login_form(forms):
    """The form with a password field, else one with a text field."""
    for form in forms:
        if any(kind == "password" for _, kind, _ in form["inputs"]):
            return form
    for form in forms:
        if any(kind in ("text", "email") for _, kind, _ in form["inputs"]):
            return form
    return None


def fill_form(form, user, password):
    fields, user_done, submit_done = [], False, False
    for name, kind, value in form["inputs"]:
        if not name:
            continue
        if kind == "password":
            fields.append((name, password))
        elif kind in ("text", "email", "") and not user_done:
            fields.append((name, user))
            user_done = True
        elif kind == "submit":
            if not submit_done:
                fields.append((name, value))
                submit_done = True
        elif kind in ("hidden", "text", "email"):
            fields.append((name, value))
    return urllib.parse.urlencode(fields).encode("ascii")


# ---------------------------------------------------------------------------
# The checks.


class Checker:
    def __init__(self, options, key):
        self.o = options
        self.key = key
        self.http = Http(options.site, options.timeout, options.ca_file, options.verbose)
        self.results = []            # (check, result, detail, seconds)
        self.warnings = []           # the running row's warnings
        self.refusals = []           # (check, Answer) of every refusal a probe saw
        self.site_name = rules.world_site_name(options.world)
        self.shard = None
        self.token = options.token or ""
        self.play_url = ""
        self.play_links = []         # absolute URLs
        self.links_page = None       # where the play links were found
        self.logged_in = False
        self.hello_challenge = None
        self.session = None          # the client's road: {"csid", "challenge", "spent", "bye"}
        self.probe = None            # the beat probes' own session, once opened
        self.probe_failure = None    # why it could not be opened
        self.bye_challenge = None
        self.update_answered = False
        self.old_build_must_update = None
        self.old_build_answer = None
        if options.token:
            self.play_url = rules.play_url_for(self.http.site, options.world, options.token)
            self.site_name, self.shard, _ = rules.parse_play_url(self.play_url)

    # -- running -------------------------------------------------------------

    def run(self):
        for name in CHECK_NAMES:
            method = getattr(self, "check_" + name.replace("-", "_"))
            self.warnings = []
            started = time.monotonic()
            try:
                detail = method()
                status = WARN if self.warnings else PASS
                parts = self.warnings + ([detail] if detail else [])
            except Problem as p:
                status, parts = FAIL, [str(p)] + self.warnings
            except NotApplicable as n:
                status, parts = SKIP, [str(n)]
            except Exception as e:  # a bug in the kit must not hide the other rows
                status, parts = FAIL, ["kit error: %s: %s" % (type(e).__name__, e)]
            detail = "; ".join(dict.fromkeys(parts)) or "ok"
            self.results.append((name, status, detail, time.monotonic() - started))
            if self.o.verbose:
                note("%s %s: %s" % (status, name, detail))
        self.close_probe()
        return self.results

    def need(self, condition, what):
        if not condition:
            raise NotApplicable("needs %s" % what)

    def warn(self, text):
        """Something beyond what the client reads, or the operator's policy:
        the row says WARN, and the text says what the client does instead."""
        self.warnings.append(text)

    # -- helpers -------------------------------------------------------------

    def api_object(self, answer, then="", then_body=None):
        """The answer as the client reads it, or a FAIL saying what the
        client does instead: `then` without a 200 answer, `then_body` (by
        default the same) with a 200 answer that is no JSON object."""
        value, problem = answer.json_object()
        if value is None:
            if answer.status == 200 and then_body is not None:
                then = then_body
            raise Problem("%s: %s%s" % (answer.where(), problem, ": " + then if then else ""))
        return value

    def read_ok(self, answer, required=(), optional=(), then="", then_body=None):
        """The string fields of a success answer, read as the client reads
        them (a missing or non-string field is empty). `required` pairs each
        field with what the client does when it reads empty (a FAIL);
        `optional` fields may be empty, and only warn when not strings."""
        obj = self.api_object(answer, then, then_body)
        ok = obj.get("ok")
        if not truthy(ok):
            raise Problem("%s refused: %s" % (answer.where(), short(obj, 120)))
        if ok is not True:
            self.warn("%s: \"ok\" is %s, not true: the client reads it as true" % (
                answer.where(), field_state(obj, "ok")))
        values = {}
        for field, consequence in list(required) + [(f, None) for f in optional]:
            value = obj.get(field)
            text = value if isinstance(value, str) else ""
            if not text and consequence is not None:
                raise Problem("%s: \"%s\" is %s%s" % (
                    answer.where(), field, field_state(obj, field),
                    ": " + consequence if consequence else ""))
            if not isinstance(value, str):
                self.warn("%s: \"%s\" is %s: the client reads it as empty" % (
                    answer.where(), field, field_state(obj, field)))
            values[field] = text
        return values

    def expect_refused(self, check, answer):
        """Detail text when the request was refused; Problem when not.
        Refusals are kept for the error-answers row."""
        if answer.error:
            raise Problem("%s: no answer (%s)" % (answer.where(), answer.error))
        obj, problem = answer.json_object()
        if obj is not None and truthy(obj.get("ok")):
            raise Problem("%s was ACCEPTED: %s" % (answer.where(), short(obj, 120)))
        self.refusals.append((check, answer))
        if answer.status != 200:
            return "refused with HTTP %d" % answer.status
        if obj is None:
            return "refused (%s)" % problem
        text = obj.get("error")
        return "refused: %s%s" % (short(text) if isinstance(text, str) else "no error text",
                                  ", fatal" if truthy(obj.get("fatal")) else "")

    def api(self, name):
        return "%s/api/client/%s" % (self.shard or "", name)

    def hello(self, shard=None, build=rules.BUILD):
        shard = self.shard if shard is None else shard
        return self.http.api_get("%s/api/client/hello?build=%s" % (shard, build))

    def new_hello_challenge(self):
        answer = self.hello()
        try:
            return self.read_ok(answer, [("challenge", "")])["challenge"]
        except Problem as p:
            raise Problem("could not get a hello challenge: %s" % p) from None

    def scheme(self):
        return "https" if self.http.secure else "http"

    def play(self, challenge, token, site=None, sig=None):
        site = self.site_name if site is None else site
        if sig is None:
            sig = rules.sign(self.key, "play", challenge, rules.play_subject(token, site))
        return self.http.api_post(self.api("play"), {
            "build": rules.BUILD, "challenge": challenge, "scheme": self.scheme(),
            "sig": sig, "token": token})

    def session_request(self, session, action, challenge, sig=None):
        csid = session["csid"]
        if sig is None:
            sig = rules.sign(self.key, action, challenge, csid)
        return self.http.api_post(self.api(action), {
            "build": rules.BUILD, "challenge": challenge, "csid": csid, "sig": sig})

    @staticmethod
    def new_session(play_values):
        return {"csid": play_values["csid"], "challenge": play_values["challenge"],
                "spent": [], "bye": False}

    @staticmethod
    def took_challenge(session, answer):
        """Follow the session's challenge whenever a beat was accepted, even
        one that should not have been, so later rows test what they name."""
        obj, _ = answer.json_object()
        if obj and truthy(obj.get("ok")) and isinstance(obj.get("challenge"), str):
            session["spent"].append(session["challenge"])
            session["challenge"] = obj["challenge"]

    def probe_session(self):
        """The beat probes' own session (hello, play, one beat), so that no
        probe spends or replaces a challenge the client's road relies on."""
        self.need(self.session, "play")
        if self.probe is None and self.probe_failure is None:
            saved, self.warnings = self.warnings, []
            try:
                token, _ = self.fresh_token()
                challenge = self.new_hello_challenge()
                session = self.new_session(self.read_ok(
                    self.play(challenge, token), [("csid", ""), ("challenge", "")]))
                answer = self.session_request(session, "beat", session["challenge"])
                self.read_ok(answer, [("challenge", "")])
                self.took_challenge(session, answer)
                self.probe = session
            except Problem as p:
                self.probe_failure = str(p)
            finally:
                self.warnings = saved
        if self.probe is None:
            hint = "" if self.o.login else " (with --token the same token is sent again; " \
                                            "--login takes a fresh one from the site)"
            raise NotApplicable("needs a session of its own for the probe, which could not be "
                                "opened: %s%s" % (self.probe_failure, hint))
        return self.probe

    def close_probe(self):
        if self.probe is not None and not self.probe["bye"]:
            self.session_request(self.probe, "bye", self.probe["challenge"])
            self.probe["bye"] = True

    def fresh_token(self):
        """A token for one more play: the site shows a new one once the last
        was spent. With --token the same token is used again."""
        if not self.o.login or not self.logged_in:
            return self.token, "with the same token"
        try:
            links, _ = self.find_play_links(self.links_page)
            url = self.pick_world(links)
        except Problem:
            return self.token, "with the same token (the site gave no new one)"
        token = rules.parse_play_url(url)[2] or self.token
        return token, ("with a new token from the site" if token != self.token
                       else "with the token the site still shows")

    @staticmethod
    def corrupt(sig):
        return sig[:-1] + ("0" if sig[-1:] != "0" else "1")

    # -- site ------------------------------------------------------------------

    def find_play_links(self, start_url, first=None):
        """Play links reachable from a page: on it, or on same-site pages
        it links to (never logout pages, never play URLs themselves)."""
        queue, seen, pages = [(start_url, first)], set(), 0
        while queue and pages < MAX_PAGES:
            url, answer = queue.pop(0)
            if url in seen:
                continue
            seen.add(url)
            if answer is None:
                answer, play, url = self.http.page("GET", url)
                if play:
                    return [play], url
            pages += 1
            if answer.error or answer.status != 200:
                continue
            hrefs = [urllib.parse.urljoin(url, h) for h in parse_page(answer).links]
            plays = [h for h in hrefs if rules.is_play_navigation(h)]
            if plays:
                return plays, url
            for h in hrefs:
                same_site = h.startswith(self.http.origin + "/")
                if same_site and not any(w in h.lower() for w in LOGOUT_WORDS):
                    queue.append((urllib.parse.urldefrag(h)[0], None))
        raise Problem("no play link found on %d page(s) after logging in" % pages)

    def pick_world(self, links):
        for url in links:
            site, _, token = rules.parse_play_url(url)
            if site == self.site_name and token:
                return url
        worlds = sorted({rules.parse_play_url(u)[0] for u in links})
        raise Problem("no play link for world %r; worlds linked: %s" % (
            self.site_name, ", ".join(worlds) or "none"))

    # -- the rows: the client's road ---------------------------------------------

    def check_update(self):
        answer = self.http.api_get("/api/client/update?build=" + rules.BUILD)
        obj = self.api_object(answer, "the client skips its update check, so no player "
                                      "could ever be told to update")
        self.update_answered = True
        must = obj.get("must_update")
        if truthy(must):
            raise Problem("build %s must update (must_update %s): the client would show the "
                          "update notice and stop at start-up" % (rules.BUILD, short(must)))
        if must is not False:
            self.warn("must_update is %s, not false: the client reads it as false" %
                      field_state(obj, "must_update"))
        self.update_fields(obj, empty_url_ok=True)
        return ", ".join("%s %s" % (f, field_state(obj, f)) for f in
                         ("must_update", "latest_build", "download_url") if f in obj)

    def update_fields(self, obj, empty_url_ok):
        """Warnings for the fields the client reads only when it must
        update; the latest build as the notice would show it."""
        latest = obj.get("latest_build")
        if isinstance(latest, bool) or not isinstance(latest, (int, float)):
            self.warn("latest_build is %s: an update notice would show the newest version "
                      "as v1" % field_state(obj, "latest_build"))
            latest = 1
        elif latest != int(latest):
            self.warn("latest_build is %s, not a whole number: an update notice would show "
                      "v%d" % (short(latest), int(latest)))
        url = obj.get("download_url")
        if not isinstance(url, str) or not (url or empty_url_ok):
            self.warn("download_url is %s: an update notice would open no page" %
                      field_state(obj, "download_url"))
        return int(latest)

    def check_site_login(self):
        if not self.o.login:
            raise NotApplicable("no --login: token given on the command line")
        user, _, password = self.o.login.partition(":")
        start = self.http.site + "/?client=1"
        answer, play, url = self.http.page("GET", start, headers=[rules.CLIENT_HEADER])
        if play:
            raise Problem("the start page redirects straight to a play URL: %s" % play)
        if answer.error or answer.status != 200:
            raise Problem("start page %s: %s" % (start, answer.describe()))
        form = login_form(parse_page(answer).forms)
        if form is None:
            raise Problem("start page %s has no login form" % url)
        action = urllib.parse.urljoin(url, form["action"] or url)
        body = fill_form(form, user, password)
        if form["method"] == "POST":
            answer, play, landed = self.http.page("POST", action, body)
        else:
            answer, play, landed = self.http.page(
                "GET", action.split("?")[0] + "?" + body.decode("ascii"))
        if play:
            links, page = [play], None
        else:
            if answer.error or answer.status != 200:
                raise Problem("login at %s: %s" % (action, answer.describe()))
            try:
                links, page = self.find_play_links(landed, answer)
            except Problem as p:
                if login_form(parse_page(answer).forms) is not None:
                    raise Problem("login as %r refused: the site answered with a login form "
                                  "again (%s)" % (user, urllib.parse.urlsplit(landed).path)) from None
                raise Problem("login as %r: %s" % (user, p)) from None
        self.logged_in = True
        self.play_links, self.links_page = links, page or landed
        return "logged in as %r at %s; %d play link(s) on %s" % (
            user, urllib.parse.urlsplit(action).path, len(links),
            urllib.parse.urlsplit(self.links_page).path or "/")

    def check_device_cookie(self):
        if not self.o.login:
            raise NotApplicable("no --login: API requests go without a device cookie")
        self.need(self.logged_in, "site-login")
        value = self.http.device_cookie()
        if not value:
            names = sorted({c.name for c in self.http.jar})
            self.warn("no %s cookie for %s/ (cookies set: %s): the client sends its requests "
                      "without a device cookie" % (
                          rules.DEVICE_COOKIE, self.http.site, ", ".join(names) or "none"))
            return None
        self.http.device = value
        return "%s=%s… kept for %s/; sent with every API request" % (
            rules.DEVICE_COOKIE, value[:8], self.http.site)

    def check_play_url(self):
        if not self.o.login:
            raise NotApplicable("no --login: play URL built from --token: %s" % self.play_url)
        self.need(self.logged_in, "site-login")
        problems = []
        for url in self.play_links:
            site, shard, token = rules.parse_play_url(url)
            if not token:
                problems.append("no token in %s" % url)
            if "site=" in url and not all(c.isalnum() or c in "-._~" for c in site):
                problems.append("site name %r of %s is no path prefix" % (site, url))
            if not rules.names_world(url) and site != "local":
                problems.append("%s names no world" % url)
        # The chosen world's link is used even when another link is faulty.
        self.play_url = self.pick_world(self.play_links)
        site, self.shard, self.token = rules.parse_play_url(self.play_url)
        if problems:
            raise Problem("; ".join(problems[:3]) + (" …" if len(problems) > 3 else ""))
        shapes = sorted({"site=" if "site=" in u else "/sN/" if rules.names_world(u)
                         else "plain" for u in self.play_links})
        shown = self.play_url[len(self.http.origin):].replace(self.token, self.token[:6] + "…")
        return "%s → site %s, prefix %s (%d links, shapes: %s)" % (
            shown, site, self.shard or "(none)", len(self.play_links), ", ".join(shapes))

    def check_shard_prefixes(self):
        self.need(self.shard is not None and self.token, "a play URL with a token")
        worlds = {}
        for url in self.play_links or [self.play_url]:
            site, shard, _ = rules.parse_play_url(url)
            worlds.setdefault(shard, site)
        failed = []
        for shard, site in sorted(worlds.items()):
            answer = self.hello(shard)
            try:
                self.read_ok(answer, [("challenge", "")])
            except Problem as p:
                failed.append("world %s: %s" % (site, p))
        if failed:
            raise Problem("; ".join(failed[:3]) + (" …" if len(failed) > 3 else ""))
        def order(shard):
            digits = shard[2:] if shard.startswith("/s") else ""
            return (shard != "", not digits.isdigit(), int(digits) if digits.isdigit() else 0,
                    shard)
        return "hello ok under %s; update asked without a prefix" % (
            ", ".join(s or "(none)" for s in sorted(worlds, key=order)))

    def check_hello(self):
        self.need(self.shard is not None, "a play URL")
        answer = self.hello()
        values = self.read_ok(answer, [("challenge", "the client would sign its play over "
                                                     "an empty challenge")],
                              then="the client shows \"Güvenlik kapısına bağlanılamadı.\"",
                              then_body="the client shows \"Güvenlik doğrulaması başarısız.\"")
        self.hello_challenge = values["challenge"]
        return "%s: challenge %s" % (answer.where(), short(self.hello_challenge, 40))

    def check_play(self):
        # Right after the hello, as the client does: a server that keeps
        # only a client's latest hello challenge is within the contract.
        self.need(self.hello_challenge, "hello")
        answer = self.play(self.hello_challenge, self.token)
        values = self.read_ok(answer, [
            ("csid", "the client would start the movie but never beat nor say goodbye"),
            ("challenge", "the client would sign its beats over an empty challenge"),
            ("movie", "the client would start no game movie")], ["flashvars"],
            then="the client shows \"Oyun bileti alınamadı.\"",
            then_body="the client shows \"Oyun başlatılamadı.\"")
        if not values["movie"].startswith(("http://", "https://")):
            raise Problem("movie %s is not an absolute http(s) URL: the Flash control "
                          "could not load it" % short(values["movie"]))
        if values["challenge"] == self.hello_challenge:
            raise Problem("the play answer's challenge is the spent hello challenge")
        self.session = self.new_session(values)
        return "csid %s…, movie %s, flashvars %s" % (
            values["csid"][:8], short(values["movie"], 50), short(values["flashvars"], 30))

    def check_beat(self):
        self.need(self.session, "play")
        answer = self.session_request(self.session, "beat", self.session["challenge"])
        values = self.read_ok(answer, [("challenge", "the client would sign its next beat "
                                                     "and its goodbye over an empty challenge")],
                              then=LOST_BEAT)
        self.took_challenge(self.session, answer)
        return "challenge %s" % short(values["challenge"], 40)

    def check_challenge_rolls(self):
        self.need(self.session and self.session["spent"], "beat")
        answer = self.session_request(self.session, "beat", self.session["challenge"])
        self.read_ok(answer, [("challenge", "the client would sign its next beat and its "
                                            "goodbye over an empty challenge")], then=LOST_BEAT)
        self.took_challenge(self.session, answer)
        seen = [self.hello_challenge] + self.session["spent"] + [self.session["challenge"]]
        names = ["hello", "play"] + ["beat %d" % i for i in range(1, len(seen) - 1)]
        for i in range(1, len(seen)):
            for j in range(i):
                if seen[i] == seen[j]:
                    raise Problem("the %s answer repeats the %s challenge %s" % (
                        names[i], names[j], short(seen[i], 40)))
        return "%d challenges, all different" % len(seen)

    def check_bye(self):
        self.need(self.session, "play")
        self.bye_challenge = self.session["challenge"]
        answer = self.session_request(self.session, "bye", self.bye_challenge)
        obj, problem = answer.json_object()
        self.session["bye"] = obj is not None and truthy(obj.get("ok"))
        if not self.session["bye"]:
            self.warn("%s: %s: the client does not read the goodbye's answer, but the session "
                      "was not ended by it and lives on until your server ends it" % (
                          answer.where(), problem or "refused: " + short(obj, 100)))
            return None
        if obj.get("ok") is not True:
            self.warn("\"ok\" is %s, not true" % field_state(obj, "ok"))
        return "ok"

    def check_beat_after_bye(self):
        self.need(self.session and self.session["bye"], "bye")
        answer = self.session_request(self.session, "beat", self.bye_challenge)
        detail = self.expect_refused("beat-after-bye", answer)
        obj, _ = answer.json_object()
        if obj is None or not truthy(obj.get("fatal")):
            self.warn("refused without \"fatal\": a client whose session you end keeps "
                      "beating every 20 s (only a 200 answer with fatal true stops it)")
        return detail

    # -- the rows: probes, each in a sequence of its own -------------------------

    def check_hello_one_time(self):
        self.need(self.session, "play")
        token, how = self.fresh_token()
        answer = self.play(self.hello_challenge, token)
        return "play again with the spent hello challenge %s: %s" % (
            how, self.expect_refused("hello-one-time", answer))

    def check_play_bad_sig(self):
        self.need(self.hello_challenge, "hello")
        token, how = self.fresh_token()
        challenge = self.new_hello_challenge()
        good = rules.sign(self.key, "play", challenge, rules.play_subject(token, self.site_name))
        first = self.expect_refused("play-bad-sig", self.play(challenge, token,
                                                              sig=self.corrupt(good)))
        other = "s2" if self.site_name == "local" else "local"
        challenge = self.new_hello_challenge()
        second = self.expect_refused("play-bad-sig", self.play(challenge, token, site=other))
        return "corrupted: %s; signed for %r: %s" % (first, other, second)

    def check_beat_reused_challenge(self):
        probe = self.probe_session()
        spent = [c for c in probe["spent"] if c != probe["challenge"]]
        if not spent:
            raise NotApplicable("the challenge never rolled (see challenge-rolls)")
        answer = self.session_request(probe, "beat", spent[-1])
        self.took_challenge(probe, answer)
        detail = self.expect_refused("beat-reused-challenge", answer)
        return "beat over the spent %s…: %s" % (spent[-1][:8], detail)

    def check_beat_bad_sig(self):
        probe = self.probe_session()
        good = rules.sign(self.key, "beat", probe["challenge"], probe["csid"])
        answer = self.session_request(probe, "beat", probe["challenge"], sig=self.corrupt(good))
        self.took_challenge(probe, answer)
        return self.expect_refused("beat-bad-sig", answer)

    def check_refusal_keeps_challenge(self):
        probe = self.probe_session()
        answer = self.session_request(probe, "beat", probe["challenge"])
        obj, problem = answer.json_object()
        if obj is None or not truthy(obj.get("ok")):
            self.warn("the current challenge no longer works after refused requests (%s): "
                      "the client keeps its challenge after a refusal, so one forged or "
                      "mangled beat over it locks the client out of its session" % (
                          problem or "refused: " + short(obj, 100)))
            return None
        self.took_challenge(probe, answer)
        return "beat over the current challenge still ok"

    # -- the rows: the operator's policy (WARN at most) -----------------------------

    def check_update_old_build(self):
        self.need(self.update_answered, "update")
        build = str(self.o.old_build)
        answer = self.http.api_get("/api/client/update?build=" + build)
        obj, problem = answer.json_object()
        self.old_build_must_update = obj is not None and truthy(obj.get("must_update"))
        self.old_build_answer = obj
        if obj is None:
            self.warn("build %s: %s: a client of that build skips its update check and "
                      "starts" % (build, problem))
            return None
        if not self.old_build_must_update:
            self.warn("build %s: must_update is %s: a client of that build is not told to "
                      "update (which builds you turn away is your policy)" % (
                          build, field_state(obj, "must_update")))
            return None
        latest = self.update_fields(obj, empty_url_ok=False)
        return "build %s: must_update true, latest_build %d, download_url %s" % (
            build, latest, short(obj.get("download_url")))

    def check_update_installer(self):
        self.need(self.old_build_must_update, "update-old-build with must_update true")
        obj = self.old_build_answer
        if not any(f in obj for f in INSTALLER_FIELDS):
            raise NotApplicable("the update answer offers no installer (the client opens "
                                "download_url)")
        url, sha256 = obj.get("installer_url"), obj.get("installer_sha256")
        size = whole_number(obj.get("installer_size"))
        latest = whole_number(obj.get("latest_build"))
        problems = self.installer_problems(obj, url, sha256, size, latest)
        if problems:
            raise Problem("; ".join(problems) + ": " + NO_INSTALLER)
        answer, read, digest = self.http.download(url, size + 1)
        what = "the installer download %s" % short(url)
        if answer.error:
            self.warn("%s: no answer after %d bytes (%s)" % (what, read, answer.error))
        elif answer.status != 200:
            self.warn("%s: HTTP %d" % (what, answer.status))
        elif read != size:
            self.warn("%s: %s the announced %d bytes: the client refuses it" % (
                what, "more than" if read > size else "only %d of" % read, size))
        elif digest != sha256.lower():
            self.warn("%s: SHA-256 %s is not the announced %s: the client refuses it" % (
                what, digest, sha256))
        else:
            return "%s: %d bytes, SHA-256 as announced, latest_build %d" % (
                short(url), size, latest)
        return None

    def installer_problems(self, obj, url, sha256, size, latest):
        """What the client refuses in an update answer's installer fields."""
        problems, host = [], None
        if isinstance(url, str) and all("!" <= ch <= "~" for ch in url) \
                and url.startswith("https://"):
            try:
                parts = urllib.parse.urlsplit(url)
                parts.port      # a port that is no number, or out of range, raises
                host = parts.hostname
            except ValueError:
                pass
        site_host = urllib.parse.urlsplit(self.http.site).hostname
        if host is None:
            problems.append("installer_url %s is no https URL of printable ASCII" % short(
                field_state(obj, "installer_url")))
        elif host != site_host:
            problems.append("installer_url %s is not on the site's host %s (unless the "
                            "client's build names that host)" % (short(url), site_host))
        if not (isinstance(sha256, str) and len(sha256) == 64
                and all(ch in "0123456789abcdefABCDEF" for ch in sha256)):
            problems.append("installer_sha256 is %s, not 64 hex digits" %
                            field_state(obj, "installer_sha256"))
        if size is None or not MIN_INSTALLER <= size <= MAX_INSTALLER:
            problems.append("installer_size is %s, not a whole number of 64 KiB to 512 MiB" %
                            field_state(obj, "installer_size"))
        if latest is None or latest <= self.o.old_build:
            problems.append("latest_build is %s, not a whole number above build %d" % (
                field_state(obj, "latest_build"), self.o.old_build))
        return problems

    def check_hello_old_build(self):
        self.need(self.hello_challenge, "hello")
        build = str(self.o.old_build)
        answer = self.hello(build=build)
        obj, problem = answer.json_object()
        if obj is None:
            self.warn("build %s: %s: a client of that build shows \"Güvenlik kapısına "
                      "bağlanılamadı.\", not an update notice" % (build, problem))
        elif truthy(obj.get("ok")):
            self.warn("build %s is greeted and may play (which builds you turn away is your "
                      "policy)" % build)
        elif not truthy(obj.get("update")):
            text = obj.get("error")
            self.warn("build %s is refused without update true: a client of that build shows "
                      "%s and is not offered the update" % (
                          build, short(text) if isinstance(text, str) and text else
                          "\"Güvenlik doğrulaması başarısız.\""))
        elif self.old_build_must_update is False:
            self.warn("build %s: hello sends it to its update check (update true), but the "
                      "update check lets it start: a client of that build is left with an "
                      "empty window" % build)
        else:
            return "build %s: ok false, update true: its update check tells it to update" % build
        return None

    def check_error_answers(self):
        if not self.refusals:
            raise NotApplicable("no refusal was seen")
        problems = []
        for check, answer in self.refusals:
            obj, problem = answer.json_object()
            if answer.where().endswith("/play"):
                if answer.status != 200 or answer.error:
                    problems.append("%s: play refused with %s: the client shows \"Oyun bileti "
                                    "alınamadı.\", not your error text" % (check, problem))
                elif obj is None or not isinstance(obj.get("error"), str) \
                        or not obj["error"].strip():
                    problems.append("%s: play refused without an error text: the client "
                                    "shows \"Oyun başlatılamadı.\"" % check)
            elif obj is None:
                self.warn("%s: beat refused with %s: the client takes it for a lost beat and "
                          "tries again in 20 s; only a 200 answer with fatal true can end its "
                          "session" % (check, problem))
            if obj is not None and obj.get("ok") is not False:
                self.warn("%s: \"ok\" is %s, not false: the client reads it as false" % (
                    check, field_state(obj, "ok")))
        if problems:
            raise Problem("; ".join(problems[:3]) + (" …" if len(problems) > 3 else ""))
        return "%d refusals: status 200, ok false; play with an error text" % len(self.refusals)


# ---------------------------------------------------------------------------
# Output and command line.


def count(results):
    return {s: sum(1 for _, st, _, _ in results if st == s) for s in RESULTS}


def summary(results):
    n = count(results)
    return "%d checks: %d passed, %d failed, %d warned, %d skipped" % (
        len(results), n[PASS], n[FAIL], n[WARN], n[SKIP])


def print_table(results, out):
    width = max(len("CHECK"), max(len(name) for name, _, _, _ in results))
    out.write("%-*s  %-6s  %s\n" % (width, "CHECK", "RESULT", "DETAIL"))
    for name, status, detail, _ in results:
        out.write("%-*s  %-6s  %s\n" % (width, name, status, printable(detail)))
    out.write("\n%s\n" % summary(results))


def write_junit(path, results, site, strict):
    """One test case per check: FAIL as a failure (WARN too with --strict),
    SKIP as skipped, every row's text in system-out."""
    n = count(results)
    failures = n[FAIL] + (n[WARN] if strict else 0)
    totals = {"tests": str(len(results)), "failures": str(failures), "errors": "0",
              "skipped": str(n[SKIP]),
              "time": "%.3f" % sum(seconds for _, _, _, seconds in results)}
    root = ET.Element("testsuites", dict(totals, name="tavrensil-contract"))
    host = urllib.parse.urlsplit(site).hostname or ""
    suite = ET.SubElement(root, "testsuite", dict(totals, name="tavrensil-contract", hostname=host))
    props = ET.SubElement(suite, "properties")
    ET.SubElement(props, "property", name="site", value=site)
    ET.SubElement(props, "property", name="strict", value="true" if strict else "false")
    for name, status, detail, seconds in results:
        shown = printable(detail)
        case = ET.SubElement(suite, "testcase", name=name, classname="tavrensil-contract",
                             time="%.3f" % seconds)
        if status == FAIL or (strict and status == WARN):
            # Cut before escaping, so that no escape is cut in half.
            failure = ET.SubElement(case, "failure", message=printable(short(detail, 200)),
                                    type=status)
            failure.text = shown
        elif status == SKIP:
            ET.SubElement(case, "skipped", message=shown)
        ET.SubElement(case, "system-out").text = "%s %s: %s" % (status, name, shown)
    ET.ElementTree(root).write(path, encoding="utf-8", xml_declaration=True)


def write_json(path, results, checker, strict):
    with open(path, "w", encoding="utf-8") as f:
        json.dump({"site": checker.http.site, "world": checker.site_name,
                   "strict": strict, "counts": count(results),
                   "results": [{"check": n, "result": s, "detail": printable(d)}
                               for n, s, d, _ in results]},
                  f, ensure_ascii=False, indent=1)


def parse_args(argv):
    p = argparse.ArgumentParser(
        description="Check a game server and web site against the Tavrensil Online "
                    "client's contract.")
    p.add_argument("--site", help="the site base URL the client is started with, "
                                  "e.g. https://game.example.com")
    how = p.add_mutually_exclusive_group()
    how.add_argument("--token", help="a play token to use (for example a development token)")
    how.add_argument("--login", metavar="USER[:PASSWORD]",
                     help="log in on the web site and take the token from a play link")
    p.add_argument("--world", default="s3",
                   help="the world to play: main, s2..s15 or a site name (default s3)")
    p.add_argument("--key-file", default=DEFAULT_KEY_FILE,
                   help="the signing key halves A=/B= (default: the repository's keys/)")
    p.add_argument("--ca-file", help="trust these PEM certificates for https")
    p.add_argument("--old-build", type=int, default=1,
                   help="an old build to ask about your policy with (default 1)")
    p.add_argument("--timeout", type=float, default=20.0, help="seconds per request (default 20)")
    p.add_argument("--json", metavar="FILE", help="also write the results as JSON to FILE")
    p.add_argument("--junit", metavar="FILE", help="also write the results as JUnit XML to FILE")
    p.add_argument("--strict", action="store_true",
                   help="exit 1 when a check warned, too (and count WARN as failure in --junit)")
    p.add_argument("--list", action="store_true", help="list the checks and exit")
    p.add_argument("-v", "--verbose", action="store_true",
                   help="show every request and answer on standard error")
    args = p.parse_args(argv)
    if args.list:
        return args
    if not args.site:
        p.error("--site is required")
    if not (args.token or args.login):
        p.error("give --token TOKEN or --login USER[:PASSWORD]")
    if "://" not in args.site:
        args.site = "https://" + args.site   # the client reaches such a site over TLS
    parts = urllib.parse.urlsplit(args.site)
    if parts.scheme not in ("http", "https") or not parts.netloc:
        p.error("--site must be an http:// or https:// URL")
    if args.token is not None and not args.token:
        p.error("--token must not be empty")
    if args.login is not None and not args.login.partition(":")[0]:
        p.error("--login needs a user name")
    if args.timeout <= 0:
        p.error("--timeout must be positive")
    return args


def main(argv=None, out=None):
    out = out or sys.stdout
    args = parse_args(sys.argv[1:] if argv is None else argv)
    if args.list:
        for name, what in CHECKS:
            out.write("%-24s %s\n" % (name, what))
        return 0
    try:
        key = rules.read_key_parts(args.key_file)
    except rules.KeyFileError as e:
        note("check_server.py: %s" % e)
        return 2
    checker = Checker(args, key)
    out.write("Tavrensil Online contract check of %s (world %s, %s)\n\n" % (
        checker.http.site, checker.site_name,
        "login as %s" % args.login.partition(":")[0] if args.login else "given token"))
    results = checker.run()
    print_table(results, out)
    if args.json:
        write_json(args.json, results, checker, args.strict)
    if args.junit:
        write_junit(args.junit, results, checker.http.site, args.strict)
    out.flush()
    failing = (FAIL, WARN) if args.strict else (FAIL,)
    return 1 if any(status in failing for _, status, _, _ in results) else 0


if __name__ == "__main__":
    sys.exit(main())
