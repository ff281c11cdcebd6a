#!/usr/bin/env python3
"""Reference game server and web site for the Tavrensil Online client.

One process serves both sides the client talks to:

* the web site shown in the client's embedded browser: start page, login,
  the list of game worlds whose links are the play URLs, the device cookie;
* the client API under every world's path prefix: update, hello, play, beat
  and bye, with signed requests and one-time challenges;
* the demo game movie the play answer points at;
* with --installer, a release's installer, offered to builds that must update.

For tests it also keeps a machine-readable request log, injects faults per
endpoint and offers a local control API under /_control/.

Standard library only. Start with:  python3 reference_server/server.py --port 8080
See README.md in this folder for every option.
"""

import argparse
import contextlib
import email.utils
import functools
import json
import os
import re
import signal
import socket
import ssl
import sys
import threading
import time
import traceback
from dataclasses import dataclass, field
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from urllib.parse import quote, urlsplit

import faults as faultmod
import game
import installer as installermod
import reqlog
import swf
import webpages
from game import Malformed, Refused, Text

HERE = os.path.dirname(os.path.abspath(__file__))
DEFAULT_KEY_FILE = os.path.join(os.path.dirname(HERE), "keys", "signing-key-parts.txt")

MAX_BODY = 64 * 1024
DEVICE_COOKIE = "rb_dev"
WEB_COOKIE = "rb_web"
DEVICE_COOKIE_DAYS = 365
API_PREFIX = "/api/client/"
API_METHODS = {"update": "GET", "hello": "GET", "play": "POST", "beat": "POST", "bye": "POST"}
SITE_PAGES = ("/", "/login", "/logout", "/worlds", "/download")
MOVIE_NAME = re.compile(r"^[A-Za-z0-9._-]{1,63}\.swf$")
TOKEN_TEXT = re.compile(r"^[A-Za-z0-9._~-]{1,128}$")
HOST_HEADER = re.compile(r"^[A-Za-z0-9.\-]+(:\d{1,5})?$|^\[[0-9A-Fa-f:.]+\](:\d{1,5})?$")

JSON_TYPE = "application/json; charset=utf-8"
HTML_TYPE = "text/html; charset=utf-8"
SWF_TYPE = "application/x-shockwave-flash"
OCTET_TYPE = "application/octet-stream"

# Hostile deliveries wake this often to notice a stopping server.
POLL_SECONDS = 0.25
ENDLESS_PREFIX = b'{"ok": true, "pad": "'
FILLER = b"x" * 65536
HOSTILE_MODES = ("endless", "trickle", "tricklebody", "silent")
# Characters a redirect's Location keeps as they are; others are escaped.
URL_SAFE = "/?&=%:@!$'()*+,;[]"
CONTROL_CHARS = re.compile(r"[\x00-\x1f\x7f-\x9f]")


# ---------------------------------------------------------------------------
# Form and cookie decoding.


class FormError(ValueError):
    pass


_HEX_DIGITS = b"0123456789abcdefABCDEF"


def percent_decode(raw):
    """Decode %XX escapes and "+" (a space) in bytes; reject a broken escape.

    Stricter than urllib on purpose: a client that writes a lone "%" should
    be told, not silently accepted.
    """
    out = bytearray()
    i = 0
    while i < len(raw):
        b = raw[i]
        if b == 0x25:  # "%"
            pair = raw[i + 1:i + 3]
            if len(pair) != 2 or any(c not in _HEX_DIGITS for c in pair):
                raise FormError("broken percent escape")
            out.append(int(pair, 16))
            i += 3
            continue
        out.append(0x20 if b == 0x2B else b)
        i += 1
    return bytes(out)


def decode_form(raw):
    """A urlencoded body or query as {name: value bytes}, in arrival order.

    Names must be UTF-8 and appear once; values stay bytes because the
    signature is checked over the exact bytes the client signed.
    """
    form = {}
    if not raw:
        return form
    for pair in raw.split(b"&"):
        name, sep, value = pair.partition(b"=")
        if not sep:
            raise FormError("field without '='")
        try:
            key = percent_decode(name).decode("utf-8")
        except UnicodeDecodeError:
            raise FormError("field name is not UTF-8") from None
        if not key:
            raise FormError("empty field name")
        if key in form:
            raise FormError("duplicate field " + key)
        form[key] = percent_decode(value)
    return form


def form_for_log(form):
    return {k: v.decode("utf-8", "replace") for k, v in form.items()}


def read_cookies(headers):
    """All cookies of the request's Cookie headers; the first of a name wins."""
    cookies = {}
    for value in headers.get_all("Cookie") or []:
        for part in value.split(";"):
            name, sep, val = part.strip().partition("=")
            if sep and name and name not in cookies:
                cookies[name] = val
    return cookies


def http_date(seconds_from_now):
    return email.utils.formatdate(time.time() + seconds_from_now, usegmt=True)


def device_cookie_header(value):
    days = DEVICE_COOKIE_DAYS
    return ("%s=%s; Expires=%s; Max-Age=%d; Path=/; HttpOnly"
            % (DEVICE_COOKIE, value, http_date(days * 86400), days * 86400))


# ---------------------------------------------------------------------------
# Responses.


@dataclass
class Response:
    status: int
    body: bytes = b""
    content_type: str = JSON_TYPE
    headers: list = field(default_factory=list)
    verdict: str = "ok"
    # How to deliver it: "normal"; "drop" (close without a byte);
    # "dropbody" (headers with the full length, part of the body, close);
    # "truncate" (a well-formed answer whose body was cut short);
    # "endless" (the body, then filler until the peer leaves, announcing
    # `length` or no length at all); "trickle"/"tricklebody" (the whole
    # answer / the body one byte every `pace` seconds); "silent" (nothing,
    # the connection held open).
    mode: str = "normal"
    keep: int = None     # bytes of the body kept by dropbody/truncate
    length: int = None   # Content-Length announced by an endless answer
    pace: float = 0.0    # seconds between two bytes of a trickle
    late: float = 0.0    # seconds the answer is held back after serving
    outcome: str = ""    # how a hostile delivery ended, for the stderr line


def json_response(status, obj, verdict="ok", headers=None):
    body = json.dumps(obj, ensure_ascii=False).encode("utf-8")
    return Response(status, body, JSON_TYPE, list(headers or []), verdict)


def html_response(status, body, verdict="page", headers=None):
    return Response(status, body, HTML_TYPE, list(headers or []), verdict)


def api_error(status, verdict, text=Text.INVALID_REQUEST, headers=None):
    return json_response(status, {"ok": False, "error": text}, verdict, headers)


def redirect(location, verdict, headers=None, status=303):
    headers = list(headers or []) + [("Location", location)]
    return html_response(status, webpages.message_page("Yönlendiriliyor", location),
                         verdict, headers)


class ServerStopping(Exception):
    """A hostile delivery ends because the server is stopping."""


@functools.lru_cache(maxsize=256)
def demo_movie(shard, name):
    return swf.build_demo_swf(background=swf.movie_background(shard, name))


# ---------------------------------------------------------------------------
# Routing.


@dataclass
class Route:
    endpoint: str     # fault/log name: update, hello, play, beat, bye, page,
                      # movie, installer, control, api-unknown, other
    shard: str
    world: object     # game.World, or None for an unknown prefix
    rest: str         # the path after the prefix


def classify(path, installer_path=None):
    if path.startswith("/_control/"):
        return Route("control", "", None, path)
    shard, rest = game.split_shard(path)
    world = game.WORLD_BY_SHARD.get(shard)
    if world is None:
        return Route("other", shard, None, rest)
    if installer_path and path == installer_path:
        return Route("installer", shard, world, rest)
    if rest.startswith(API_PREFIX):
        name = rest[len(API_PREFIX):]
        return Route(name if name in API_METHODS else "api-unknown", shard, world, rest)
    if rest.startswith("/static/"):
        return Route("movie", shard, world, rest)
    if rest == "/play" or (shard == "" and rest in SITE_PAGES):
        return Route("page", shard, world, rest)
    api_at = path.find(API_PREFIX)
    if api_at > 0:
        # An API path under a prefix that names no world (for example what a
        # "site=eu1" play URL makes the client use): answer in JSON.
        return Route("other", path[:api_at], None, path[api_at:])
    return Route("other", shard, world, rest)


# ---------------------------------------------------------------------------
# The application: configuration and shared state of one server.


class App:
    def __init__(self, config, options, request_log, fault_table):
        self.config = config
        self.state = game.GameState(config)
        self.log = request_log
        self.faults = fault_table
        self.tls = bool(options.tls_cert)
        self.public_url = (options.public_url or "").rstrip("/")
        self.control = not options.no_control
        self.movie_url = options.movie_url   # None: the server's own movie
        self.installer = config.installer    # None without --installer
        self.installer_path = ("/download/" + quote(self.installer.name)
                               if self.installer else None)
        self.quiet = options.quiet
        self.stopping = threading.Event()
        self.hostile = threading.Condition()   # guards hostile_active
        self.hostile_active = 0
        self.port = 0

    @contextlib.contextmanager
    def counting_hostile(self, hostile):
        """Counts a hostile delivery, with its stderr line, while it runs."""
        if not hostile:
            yield
            return
        with self.hostile:
            self.hostile_active += 1
        try:
            yield
        finally:
            with self.hostile:
                self.hostile_active -= 1
                self.hostile.notify_all()

    def wait_for_hostile(self, timeout):
        """After `stopping` is set: give hostile deliveries a moment to end
        and write their lines; True when none is left."""
        with self.hostile:
            return self.hostile.wait_for(lambda: self.hostile_active == 0, timeout)

    def scheme(self):
        return "https" if self.tls else "http"

    def config_view(self):
        c = self.config
        return {"required_build": c.required_build, "latest_build": c.latest_build,
                "download_url": c.download_url, "accounts": list(c.accounts),
                "dev_token": c.dev_token, "movie": c.movie_name,
                "token_ttl": c.token_ttl, "challenge_ttl": c.challenge_ttl,
                "session_idle": c.session_idle, "require_device": c.require_device,
                "tls": self.tls, "public_url": self.public_url, "movie_url": self.movie_url,
                "broken": sorted(c.broken),
                "installer": self.installer and {
                    "path": self.installer_path, "sha256": self.installer.sha256,
                    "size": self.installer.size, "fault": self.installer.fault}}


# ---------------------------------------------------------------------------
# The request handler.


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"   # keep-alive, as the client's HTTP stack expects
    server_version = "TavrensilRef/1.0"
    sys_version = ""
    timeout = 60                    # idle keep-alive connections end after this

    def version_string(self):
        return self.server_version

    @property
    def app(self):
        return self.server.app

    # -- plumbing ---------------------------------------------------------------

    def handle(self):
        # A TLS handshake is done here, in the connection's own thread, so a
        # slow or broken client never holds up the accepting loop.
        try:
            if isinstance(self.connection, ssl.SSLSocket):
                self.connection.do_handshake()
            super().handle()
        except (ssl.SSLError, ConnectionError, TimeoutError, OSError):
            self.close_connection = True

    def log_request(self, code="-", size="-"):
        pass  # dispatch() writes its own line

    def log_message(self, fmt, *args):
        if not self.app.quiet:
            sys.stderr.write("%s %s\n" % (self.address_string(), fmt % args))

    def do_GET(self):
        self.dispatch("GET")

    def do_POST(self):
        self.dispatch("POST")

    def do_HEAD(self):
        self.dispatch("HEAD")

    def do_PUT(self):
        self.dispatch("PUT")

    def do_DELETE(self):
        self.dispatch("DELETE")

    def read_body(self):
        """The request body, or a Response refusing it."""
        if self.headers.get("Transfer-Encoding"):
            return api_error(411, "chunked-body")
        length = self.headers.get("Content-Length")
        if length is None:
            return b""
        if not length.strip().isdigit():
            return api_error(400, "bad-content-length")
        length = int(length)
        if length > MAX_BODY:
            return api_error(413, "body-too-large", Text.TOO_LARGE)
        return self.rfile.read(length)

    # -- one request ------------------------------------------------------------

    def dispatch(self, method):
        started, t0 = time.time(), time.monotonic()
        raw_target = self.path.encode("latin-1", "replace")
        url = urlsplit(self.path)
        route = classify(url.path, self.app.installer_path)
        if route.endpoint == "control":
            self.handle_control(method, url)
            return
        entry = {
            "time": _iso(started), "client": "%s:%d" % self.client_address[:2],
            "tls": self.app.tls, "method": method, "path": url.path,
            "query": url.query, "endpoint": route.endpoint, "shard": route.shard,
            "headers": [[k, v] for k, v in self.headers.items()],
            "form": None, "status": None, "verdict": None, "fault": None,
        }
        body = self.read_body()
        if isinstance(body, Response):
            self.close_connection = True
            response = body
        else:
            entry["body_length"] = len(body)
            response = self.respond(method, route, url, raw_target, body, entry)
        entry.update(status=None if response.mode in ("drop", "silent") else response.status,
                     verdict=response.verdict,
                     duration_ms=int((time.monotonic() - t0) * 1000))
        # Logged before the answer goes out: a test that has read the answer
        # must find the entry when it asks for the log right after.
        seq = self.app.log.add(entry)
        if response.late:
            self.app.stopping.wait(response.late)
        with self.app.counting_hostile(response.mode in HOSTILE_MODES):
            sent = self.deliver(response)
            if response.mode in HOSTILE_MODES:
                # When a hostile answer ended, and how: a client must let go
                # of an answer it gave up on, and this shows when it did.
                self.app.log.amend(seq, ended_ms=int((time.monotonic() - t0) * 1000),
                                   outcome=response.outcome)
            if not self.app.quiet:
                note = response.outcome or ("" if sent else "peer left before the answer")
                sys.stderr.write("%s %s %s -> %s %s%s\n" % (
                    entry["time"], method, self.path, entry["status"], response.verdict,
                    " (%s)" % note if note else ""))

    def respond(self, method, route, url, raw_target, body, entry, fault="take"):
        """Apply the endpoint's fault, if any, and otherwise serve normally."""
        if fault == "take":
            fault = None
            if route.endpoint in faultmod.ENDPOINTS:
                fault = self.app.faults.take(route.endpoint)
        if fault is not None:
            entry["fault"] = fault.describe()
            self.log_faulted_form(body, entry)
        if fault is not None and fault.kind == "late":
            response = self.respond(method, route, url, raw_target, body, entry, fault=None)
            response.late = fault.value / 1000.0
            return response
        if fault is not None and fault.kind == "delay":
            # The delay comes first and the request is then served as usual,
            # so a client that gave up meanwhile still changed the state.
            self.app.stopping.wait(fault.value / 1000.0)
            fault = None
        if fault is not None:
            return self.fault_response(fault, route, url, body)
        try:
            return self.serve(method, route, url, raw_target, body, entry)
        except FormError as e:
            entry["form_error"] = str(e)
            return api_error(400, "bad-form")
        except Exception:  # a bug here must show as a 500, never as a drop
            traceback.print_exc()
            return api_error(500, "server-error", Text.UNAVAILABLE)

    def serve(self, method, route, url, raw_target, body, entry):
        if route.world is None:
            if route.rest.startswith(API_PREFIX):
                return api_error(404, "unknown-shard", Text.UNKNOWN_WORLD)
            return self.not_found()
        if route.endpoint in API_METHODS:
            return self.serve_api(method, route, raw_target, body, entry)
        if route.endpoint == "api-unknown":
            return api_error(404, "not-found", Text.NOT_FOUND)
        if route.endpoint == "movie":
            return self.serve_movie(method, route)
        if route.endpoint == "installer":
            return self.serve_installer(method)
        if route.endpoint == "page":
            return self.serve_page(method, route, url, body, entry)
        return self.not_found()

    def deliver(self, response):
        """Write the response as its mode says; False when the peer left."""
        if response.mode == "drop":
            self.close_connection = True
            return True
        if response.mode in HOSTILE_MODES:
            return self.deliver_hostile(response)
        body = response.body
        try:
            self.send_response(response.status)
            self.send_header("Content-Type", response.content_type)
            length = len(body)
            if response.mode == "truncate":
                body = body[:response.keep]
                length = len(body)   # well-formed, just short
            self.send_header("Content-Length", str(length))
            self.send_header("Cache-Control", "no-store")
            for name, value in response.headers:
                self.send_header(name, value)
            if self.close_connection:
                self.send_header("Connection", "close")
            self.end_headers()
            if response.mode == "dropbody":
                self.wfile.write(body[:response.keep])
                self.wfile.flush()
                self.close_connection = True
                return True
            if self.command != "HEAD":
                self.wfile.write(body)
            return True
        except OSError:  # the peer left (reset, broken pipe, TLS alert)
            self.close_connection = True
            return False

    def deliver_hostile(self, response):
        """Deliver an answer that never ends or crawls, until it is done, the
        peer leaves or the server stops; False when the peer left first."""
        self.close_connection = True
        self.hostile_sent = 0
        try:
            self.connection.settimeout(POLL_SECONDS)
            if response.mode == "silent":
                self.hold_silently()
            elif response.mode == "trickle":
                self.send_paced(self.head_bytes(response) + response.body, response.pace)
            else:
                self.send_paced(self.head_bytes(response), 0)
                self.send_paced(response.body, response.pace)
                while response.mode == "endless":
                    self.send_paced(FILLER, 0)
        except ServerStopping:
            response.outcome = "server stopping after %d bytes" % self.hostile_sent
            return True
        except OSError:  # reset, broken pipe, TLS alert: the peer gave up
            response.outcome = "peer left after %d bytes" % self.hostile_sent
            return False
        response.outcome = "all %d bytes sent" % self.hostile_sent
        return True

    def head_bytes(self, response):
        """Status line and headers of a hostile answer (always Connection: close)."""
        length = response.length if response.mode == "endless" else len(response.body)
        lines = ["HTTP/1.1 %d %s" % (response.status, self.responses.get(response.status, ("",))[0]),
                 "Server: " + self.version_string(), "Date: " + self.date_time_string(),
                 "Content-Type: " + response.content_type]
        if length is not None:
            lines.append("Content-Length: %d" % length)
        lines += ["%s: %s" % pair for pair in response.headers]
        lines += ["Cache-Control: no-store", "Connection: close", "", ""]
        return "\r\n".join(lines).encode("latin-1")

    def send_paced(self, data, pace):
        """Send all of data, one byte every `pace` seconds when pace > 0.
        Raises ServerStopping when the server stops, OSError when the peer leaves."""
        if pace:
            self.connection.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        view = memoryview(data)
        while view:
            sent = self.send_some(view[:1] if pace else view)
            self.hostile_sent += sent
            view = view[sent:]
            if pace and view and self.app.stopping.wait(pace):
                raise ServerStopping()

    def send_some(self, chunk):
        """What the socket took of chunk, waiting for room while the server runs.
        A retry after a timeout passes the same chunk, as TLS requires."""
        while True:
            if self.app.stopping.is_set():
                raise ServerStopping()
            try:
                return self.connection.send(chunk)
            except TimeoutError:
                continue

    def hold_silently(self):
        """Keep the connection open without a byte of answer until the peer
        closes it (what it sends meanwhile is dropped) or the server stops."""
        while not self.app.stopping.is_set():
            try:
                if not self.connection.recv(4096):
                    raise ConnectionAbortedError("peer closed")
            except TimeoutError:
                continue
        raise ServerStopping()

    # -- faults -------------------------------------------------------------------

    def fault_response(self, fault, route, url, body):
        """The answer a fault gives in place of the endpoint.

        The request itself is not processed (no token, challenge or session
        changes), except that a fatal beat ends the session it names: the
        client is told the session is over, so the server agrees.
        """
        verdict = "fault:" + fault.describe()
        if fault.kind == "status":
            answer = json_response(fault.value, {"ok": False, "error": Text.UNAVAILABLE}, verdict)
            if route.endpoint == "page":
                answer = html_response(fault.value, webpages.message_page(
                    "Hizmet dışı", Text.UNAVAILABLE), verdict)
            if fault.value == 503:
                answer.headers.append(("Retry-After", "5"))
            return answer
        if fault.kind == "drop":
            return Response(0, verdict=verdict, mode="drop")
        if fault.kind == "nonjson":
            return html_response(200, webpages.message_page(
                "Bakım", "Sunucu bakımda. Lütfen daha sonra tekrar deneyin."), verdict)
        if fault.kind == "refuse":
            return json_response(200, {"ok": False, "error": Text.UNAVAILABLE}, verdict)
        if fault.kind == "deep":
            depth = faultmod.DEFAULT_DEPTH if fault.value is None else fault.value
            return Response(200, b"[" * depth + b"]" * depth, verdict=verdict)
        if fault.kind == "fatal":
            self.end_session_named_in(body)
            return json_response(200, {"ok": False, "fatal": True,
                                       "error": Text.SESSION_KILLED}, verdict)
        if fault.kind in faultmod.HOSTILE_KINDS:
            return self.hostile_response(fault, route, url, verdict)
        if fault.kind == "upgrade":
            host = self.headers.get("Host", "")
            host = re.sub(r":\d+$", "", host) if HOST_HEADER.match(host) else "127.0.0.1"
            target = url.path + ("?" + url.query if url.query else "")
            location = "https://%s%s" % (
                host, quote(target.encode("latin-1", "replace"), safe=URL_SAFE))
            return redirect(location, verdict, status=308)
        # dropbody and truncate cut a realistic answer of the endpoint.
        answer = self.sample_answer(route)
        answer.verdict, answer.mode = verdict, fault.kind
        default_keep = len(answer.body) // 2
        answer.keep = min(fault.value if fault.value is not None else default_keep,
                          max(len(answer.body) - 1, 0))
        return answer

    def hostile_response(self, fault, route, url, verdict):
        """Answers of the faults that never finish, crawl, or send the client
        to another server."""
        if fault.kind == "redirect":
            target = url.path + ("?" + url.query if url.query else "")
            location = "http://127.0.0.1:%d%s" % (
                fault.value, quote(target.encode("latin-1", "replace"), safe=URL_SAFE))
            return redirect(location, verdict, status=307)
        if fault.kind == "silent":
            return Response(0, verdict=verdict, mode="silent")
        if fault.kind == "endless":
            return Response(200, ENDLESS_PREFIX, verdict=verdict, mode="endless")
        if fault.kind == "hugelength":
            length = faultmod.DEFAULT_HUGE_LENGTH if fault.value is None else fault.value
            return Response(200, ENDLESS_PREFIX, verdict=verdict, mode="endless", length=length)
        answer = self.sample_answer(route)   # trickle, tricklebody: a normal answer, slowly
        answer.verdict, answer.mode, answer.pace = verdict, fault.kind, fault.value / 1000.0
        return answer

    def log_faulted_form(self, body, entry):
        """A faulted request is not served, yet tests want to see what the
        client sent (e.g. the challenge of a beat that got a 500)."""
        if not body or self.command != "POST":
            return
        try:
            entry["form"] = form_for_log(decode_form(body))
        except FormError:
            pass

    def end_session_named_in(self, body):
        try:
            form = decode_form(body)
        except FormError:
            return
        if "csid" in form:
            self.app.state.kill_session(form["csid"], "fault:fatal")

    def sample_answer(self, route):
        """A plausible success answer of an endpoint, with values that were
        never issued, for faults that cut an answer short."""
        def fresh():
            return os.urandom(16).hex()

        base = self.base_url()
        samples = {
            "update": {"ok": True, "must_update": False,
                       "latest_build": self.app.config.latest_build,
                       "download_url": base + "/download"},
            "hello": {"ok": True, "challenge": fresh()},
            "play": {"ok": True, "csid": fresh(), "challenge": fresh(),
                     "movie": self.movie_url(route.shard),
                     "flashvars": "csid=" + fresh()},
            "beat": {"ok": True, "challenge": fresh()},
            "bye": {"ok": True},
        }
        if route.endpoint in samples:
            return json_response(200, samples[route.endpoint])
        if route.endpoint == "movie":
            return Response(200, demo_movie(route.shard, "game.swf"), SWF_TYPE)
        if route.endpoint == "installer":
            return Response(200, self.app.installer.body, OCTET_TYPE)
        return html_response(200, webpages.message_page("Tavrensil Online", "Örnek sayfa " * 20))

    # -- client API ---------------------------------------------------------------

    def serve_api(self, method, route, raw_target, body, entry):
        name = route.endpoint
        allowed = API_METHODS[name]
        if method != allowed:
            return api_error(405, "method-not-allowed", Text.METHOD, [("Allow", allowed)])
        query = decode_form(raw_target.partition(b"?")[2].partition(b"#")[0])
        form = {}
        if method == "POST":
            content_type = (self.headers.get("Content-Type") or "").split(";")[0].strip().lower()
            if body and content_type != "application/x-www-form-urlencoded":
                return api_error(400, "bad-content-type")
            form = decode_form(body)
            entry["form"] = form_for_log(form)
        device = read_cookies(self.headers).get(DEVICE_COOKIE, "")
        entry["device"] = device
        try:
            return json_response(200, self.api_answer(name, route.world, query, form, device))
        except Refused as r:
            status = 200
            if "refuse-with-status" in self.app.config.broken and name != "hello":
                status = 403   # deliberately broken mode (--break)
            return json_response(status, r.answer(), r.verdict)
        except Malformed as m:
            return api_error(400, m.verdict)

    def api_answer(self, name, world, query, form, device):
        state = self.app.state
        if name == "update":
            build = game.parse_build(_query_text(query, "build"))
            base = self.base_url()
            return state.update_answer(build, base + "/download",
                                       base + (self.app.installer_path or ""))
        if name == "hello":
            return state.hello(world, game.parse_build(_query_text(query, "build")))
        if name == "play":
            return state.play(world, form, self.app.tls, device, self.movie_for)
        if name == "beat":
            return state.beat(world, form)
        return state.bye(world, form)

    def base_url(self):
        """Where the client reached us: --public-url, else the Host header.

        The movie URL must be absolute and must work from the client's side,
        so it is built from the address the client itself used.
        """
        if self.app.public_url:
            return self.app.public_url
        host = self.headers.get("Host", "")
        if not HOST_HEADER.match(host):
            host = "127.0.0.1:%d" % self.app.port
        return "%s://%s" % (self.app.scheme(), host)

    def movie_url(self, shard):
        """The play answer's movie: --movie-url as given, else our own file."""
        if self.app.movie_url is not None:
            return self.app.movie_url
        return "%s%s/static/%s" % (self.base_url(), shard, self.app.config.movie_name)

    def movie_for(self, world, csid, user):
        """The play answer's movie URL and FlashVars for a new session."""
        base = self.base_url()
        movie = self.movie_url(world.shard)
        flashvars = "&".join("%s=%s" % (k, quote(v, safe="")) for k, v in (
            ("csid", csid), ("world", world.site_name), ("user", user),
            ("server", base + world.shard), ("lang", "tr")))
        return movie, flashvars

    def serve_movie(self, method, route):
        if method not in ("GET", "HEAD"):
            return html_response(405, webpages.message_page("Hata", Text.METHOD),
                                 "method-not-allowed", [("Allow", "GET")])
        name = route.rest[len("/static/"):]
        if not MOVIE_NAME.match(name):
            return self.not_found()
        return Response(200, demo_movie(route.shard, name), SWF_TYPE, verdict="movie")

    def serve_installer(self, method):
        """The installer file (--installer), as --installer-fault makes it."""
        if method not in ("GET", "HEAD"):
            return html_response(405, webpages.message_page("Hata", Text.METHOD),
                                 "method-not-allowed", [("Allow", "GET")])
        offered = self.app.installer
        return Response(200, offered.body, OCTET_TYPE,
                        verdict=":".join(filter(None, ("installer", offered.fault))),
                        mode="endless" if offered.fault == "endless" else "normal")

    # -- web site -----------------------------------------------------------------

    def serve_page(self, method, route, url, body, entry):
        cookies = read_cookies(self.headers)
        device, extra = self.ensure_device(cookies)
        web_id = cookies.get(WEB_COOKIE)
        path = route.rest
        if path == "/login" and method == "POST":
            response = self.page_login(body, device, entry)
        elif method not in ("GET", "HEAD"):
            response = html_response(405, webpages.message_page("Hata", Text.METHOD),
                                     "method-not-allowed", [("Allow", "GET")])
        elif path == "/":
            response = self.page_start(url, web_id, device, entry)
        elif path == "/worlds":
            response = self.page_worlds(web_id)
        elif path == "/logout":
            self.app.state.logout(web_id)
            response = redirect("/", "logout", [
                ("Set-Cookie", "%s=; Expires=%s; Path=/; HttpOnly" % (WEB_COOKIE, http_date(-86400)))])
        elif path == "/download":
            c = self.app.config
            response = html_response(200, webpages.download_page(c.latest_build, c.required_build),
                                     "download-page")
        elif path == "/play":
            has_token = "token=" in url.query
            response = html_response(200, webpages.play_page(route.world, has_token), "play-page")
        else:  # GET /login: the form lives on the start page
            response = redirect("/", "login-page")
        response.headers.extend(extra)
        return response

    def ensure_device(self, cookies):
        """The browser's device cookie; a fresh one is set when it has none
        (or one this server never issued, e.g. after a restart)."""
        device = cookies.get(DEVICE_COOKIE, "")
        with self.app.state.lock:
            known = device in self.app.state.devices
        if device and known:
            return device, []
        device = self.app.state.new_device()
        return device, [("Set-Cookie", device_cookie_header(device))]

    def page_start(self, url, web_id, device, entry):
        header_value = self.headers.get("X-Tavrensil-Client")
        arrived = self.app.state.note_start_page(header_value, device)
        entry["client_header"] = arrived
        client_param = "client=1" in url.query.split("&")
        user = self.app.state.web_user(web_id)
        page = webpages.start_page(user, arrived, header_value, client_param,
                                   accounts=self.app.config.accounts)
        return html_response(200, page, "start-page:" + ("header" if arrived else "no-header"))

    def page_login(self, body, device, entry):
        try:
            form = decode_form(body)
        except FormError:
            form = {}
        name = form.get("name", b"").decode("utf-8", "replace")
        entry["form"] = {"name": name, "password": "***" if form.get("password") else ""}
        user = self.app.state.check_account(name)
        if user is None:
            error = ("Kullanıcı adı boş olamaz." if not name.strip()
                     else "Bu hesapla giriş yapılamaz.")
            page = webpages.start_page(None, False, None, False, error, self.app.config.accounts)
            return html_response(200, page, "login-refused")
        web_id, _token = self.app.state.login(user, device)
        return redirect("/worlds", "login-ok",
                        [("Set-Cookie", "%s=%s; Path=/; HttpOnly" % (WEB_COOKIE, web_id))])

    def page_worlds(self, web_id):
        state = self.app.state
        user = state.web_user(web_id)
        token = state.current_token(web_id)
        if user is None or token is None:
            return redirect("/", "worlds-not-logged-in")
        return html_response(200, webpages.worlds_page(user, token.value), "worlds-page")

    def not_found(self):
        return html_response(404, webpages.message_page("Bulunamadı", Text.NOT_FOUND), "not-found")

    # -- control API --------------------------------------------------------------

    def handle_control(self, method, url):
        """Local test control; never logged and never faulted."""
        body = self.read_body()
        if isinstance(body, Response):
            self.close_connection = True
            self.deliver(body)
            return
        if not self.app.control:
            self.deliver(json_response(404, {"ok": False, "error": "control API is off"}))
            return
        try:
            payload = json.loads(body.decode("utf-8")) if body.strip() else {}
        except (UnicodeDecodeError, ValueError):
            self.deliver(json_response(400, {"ok": False, "error": "body is not JSON"}))
            return
        self.deliver(self.control_answer(method, url, payload))

    def control_answer(self, method, url, payload):
        action = url.path[len("/_control/"):]
        handlers = {
            ("GET", "log"): self.control_log,
            ("GET", "sessions"): self.control_state,
            ("GET", "state"): self.control_state,
            ("GET", "faults"): self.control_faults,
            ("POST", "fault"): self.control_set_fault,
            ("POST", "reset"): self.control_reset,
            ("POST", "token"): self.control_token,
        }
        handler = handlers.get((method, action))
        if handler is None:
            known = sorted({a for _, a in handlers})
            return json_response(404, {"ok": False, "error": "unknown control action",
                                       "actions": known})
        try:
            return handler(url, payload)
        except (faultmod.FaultRuleError, ValueError, TypeError, AttributeError) as e:
            return json_response(400, {"ok": False, "error": str(e)})

    def control_log(self, url, payload):
        since = 0
        for part in url.query.split("&"):
            if part.startswith("since="):
                since = int(part[len("since="):])
        return json_response(200, {"ok": True, "entries": self.app.log.since(since),
                                   "last": self.app.log.last_seq()})

    def control_state(self, url, payload):
        snapshot = self.app.state.snapshot()
        snapshot.update(ok=True, faults=self.app.faults.snapshot(),
                        config=self.app.config_view())
        return json_response(200, snapshot)

    def control_faults(self, url, payload):
        return json_response(200, {"ok": True, "faults": self.app.faults.snapshot()})

    def control_set_fault(self, url, payload):
        """Accepts {"rule": "hello=status:503:once"}, {"rules": [...]},
        {"endpoint": ..., "kind": ..., "value": ..., "once": ...},
        or {"clear": true}. All entries are checked before any is applied."""
        if not isinstance(payload, dict):
            raise ValueError("expected a JSON object")
        rules = payload.get("rules", [])
        if not isinstance(rules, list):
            raise ValueError("rules must be a list")
        if "rule" in payload:
            rules = [payload["rule"]] + rules
        changes = [faultmod.parse_fault_rule(str(rule)) for rule in rules]
        if "endpoint" in payload:
            endpoint = str(payload["endpoint"]).lower()
            changes.append((endpoint, faultmod.make_fault(
                endpoint, payload.get("kind", ""), payload.get("value"),
                payload.get("once", False))))
        if payload.get("clear"):
            self.app.faults.clear()
        elif not changes:
            raise ValueError("nothing to do: give rule, rules, endpoint/kind or clear")
        for endpoint, fault in changes:
            self.app.faults.set(endpoint, fault)
        return json_response(200, {"ok": True, "faults": self.app.faults.snapshot()})

    def control_reset(self, url, payload):
        what = {"faults": True, "log": True, "state": True}
        if isinstance(payload, dict):
            what.update({k: bool(v) for k, v in payload.items() if k in what})
        if what["faults"]:
            self.app.faults.clear()
        if what["log"]:
            self.app.log.clear()
        if what["state"]:
            self.app.state.reset()
        return json_response(200, {"ok": True, "reset": what})

    def control_token(self, url, payload):
        """A real single-use token without a browser login."""
        user = self.app.state.check_account(str((payload or {}).get("user", "test")))
        if user is None:
            raise ValueError("this user may not log in")
        token = self.app.state.issue_token(user)
        base = self.base_url()
        links = {w.key: [base + link for link in game.play_links(w, token.value)]
                 for w in game.WORLDS}
        return json_response(200, {"ok": True, "token": token.value, "user": user,
                                   "links": links})


def _query_text(query, name):
    value = query.get(name)
    return None if value is None else value.decode("ascii", "replace")


def _iso(seconds):
    return time.strftime("%Y-%m-%dT%H:%M:%S", time.gmtime(seconds)) + ".%03dZ" % (
        int(seconds * 1000) % 1000)


# ---------------------------------------------------------------------------
# Start-up.


class Server(ThreadingHTTPServer):
    daemon_threads = True     # a delayed or idle connection never blocks exit
    request_queue_size = 64

    def handle_error(self, request, client_address):
        # Connections that break are part of the game (and of the faults we
        # inject); only real bugs deserve a traceback.
        exc = sys.exc_info()[1]
        if isinstance(exc, (ConnectionError, ssl.SSLError, TimeoutError)):
            return
        super().handle_error(request, client_address)


def parse_args(argv):
    p = argparse.ArgumentParser(
        description="Reference game server and web site for the Tavrensil Online client.")
    p.add_argument("--port", type=int, default=8080, help="port on 127.0.0.1 (0 = any free port)")
    p.add_argument("--key-file", default=DEFAULT_KEY_FILE, help="signing key halves A=/B=")
    p.add_argument("--accounts", default="", help="comma-separated account names allowed to log in")
    p.add_argument("--required-build", type=int, default=game.CLIENT_BUILD,
                   help="lowest client build allowed (default: the client's, from VERSION)")
    p.add_argument("--latest-build", type=int, default=None, help="newest build (default: required)")
    p.add_argument("--download-url", default="", help="download page URL in update answers")
    p.add_argument("--dev-token", default="", help="a fixed, reusable play token for development")
    p.add_argument("--movie", default="game.swf", help="movie file name in play answers")
    p.add_argument("--token-ttl", type=float, default=300.0, help="seconds a login token stays valid")
    p.add_argument("--challenge-ttl", type=float, default=120.0,
                   help="seconds a hello challenge stays valid (0 = forever)")
    p.add_argument("--session-idle", type=float, default=120.0,
                   help="seconds without beat before a session expires (0 = never)")
    p.add_argument("--require-device", action="store_true",
                   help="play needs the rb_dev cookie of the browser that logged in")
    p.add_argument("--movie-url", default=None, metavar="TEXT",
                   help="the play answer's movie field exactly as given (to test a client "
                        "against foreign movie addresses)")
    p.add_argument("--public-url", default="", help="base URL used in movie URLs (default: from Host)")
    p.add_argument("--log-file", default="", help="append one JSON line per request to this file")
    p.add_argument("--fault", action="append", default=[], metavar="ENDPOINT=KIND[:VALUE][:once]",
                   help="inject a fault (repeatable)")
    p.add_argument("--tls-cert", default="", help="certificate (PEM) to serve HTTPS")
    p.add_argument("--tls-key", default="", help="private key (PEM) for --tls-cert")
    p.add_argument("--no-control", action="store_true", help="disable the /_control/ API")
    p.add_argument("--quiet", action="store_true", help="no per-request lines on stderr")
    p.add_argument("--installer", default="", metavar="FILE",
                   help="a release's installer (a signed PE file), served at "
                        "/download/<its name> and offered to builds that must update")
    p.add_argument("--installer-fault", default="", metavar="MODE",
                   choices=installermod.FAULTS,
                   help="serve or announce the installer wrongly, to test clients: "
                        + ", ".join(installermod.FAULTS))
    p.add_argument("--break", dest="broken", action="append", default=[], metavar="MODE",
                   choices=sorted(game.BROKEN_MODES),
                   help="break one rule of the client contract on purpose, to test the "
                        "operator kit (repeatable): " + ", ".join(sorted(game.BROKEN_MODES)))
    args = p.parse_args(argv)
    if bool(args.tls_cert) != bool(args.tls_key):
        p.error("--tls-cert and --tls-key go together")
    if args.dev_token and not TOKEN_TEXT.match(args.dev_token):
        p.error("--dev-token may hold only letters, digits and . _ ~ -")
    if not MOVIE_NAME.match(args.movie):
        p.error("--movie must be a plain file name ending in .swf")
    if args.movie_url is not None and (not args.movie_url or CONTROL_CHARS.search(args.movie_url)):
        p.error("--movie-url must be non-empty and free of control characters")
    if not 0 <= args.port <= 65535:
        p.error("--port must be 0 to 65535")
    if args.installer_fault and not args.installer:
        p.error("--installer-fault needs --installer")
    return args


def build_app(args):
    """Everything that can fail on bad input, before the port is opened."""
    key = game.read_key_parts(args.key_file)
    config = game.Config(
        key=key,
        required_build=args.required_build,
        latest_build=args.latest_build if args.latest_build is not None else args.required_build,
        download_url=args.download_url,
        accounts=tuple(a.strip() for a in args.accounts.split(",") if a.strip()),
        dev_token=args.dev_token,
        movie_name=args.movie,
        token_ttl=args.token_ttl,
        challenge_ttl=args.challenge_ttl,
        session_idle=args.session_idle,
        require_device=args.require_device,
        broken=frozenset(args.broken),
        installer=(installermod.load(args.installer, args.installer_fault)
                   if args.installer else None),
    )
    table = faultmod.FaultTable()
    for rule in args.fault:
        table.set(*faultmod.parse_fault_rule(rule))
    return App(config, args, reqlog.RequestLog(args.log_file or None), table)


def make_server(app, port, args):
    server = Server(("127.0.0.1", port), Handler)
    server.app = app
    app.port = server.server_address[1]
    if app.tls:
        context = ssl.SSLContext(ssl.PROTOCOL_TLS_SERVER)
        context.load_cert_chain(args.tls_cert, args.tls_key)
        # The handshake happens in the connection's thread (Handler.handle).
        server.socket = context.wrap_socket(server.socket, server_side=True,
                                            do_handshake_on_connect=False)
    return server


def main(argv=None):
    args = parse_args(argv)
    try:
        app = build_app(args)
        server = make_server(app, args.port, args)
    except (OSError, ssl.SSLError, game.KeyFileError, faultmod.FaultRuleError,
            installermod.InstallerError) as e:
        sys.stderr.write("server.py: %s\n" % e)
        return 2

    # The handler only records the signal: it runs on the main thread between
    # two bytecodes, possibly while that thread holds a lock, so taking one
    # here (Event.set does) can deadlock and leave the server running.
    signals = []

    def on_signal(signum, frame):
        signals.append(signum)

    signal.signal(signal.SIGTERM, on_signal)
    signal.signal(signal.SIGINT, on_signal)

    thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.1},
                              name="serve", daemon=True)
    thread.start()
    for mode in sorted(app.config.broken):
        sys.stderr.write("server.py: deliberately broken (--break %s): %s\n"
                         % (mode, game.BROKEN_MODES[mode]))
    print("serving %s://127.0.0.1:%d" % (app.scheme(), app.port), flush=True)
    while not signals:
        time.sleep(0.2)         # the handler runs; the loop sees it within 0.2 s
    app.stopping.set()          # cut injected delays and hostile answers short
    server.shutdown()
    app.wait_for_hostile(4 * POLL_SECONDS)
    server.server_close()
    app.log.close()
    if not app.quiet:
        sys.stderr.write("stopped\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
