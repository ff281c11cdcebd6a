"""Tests of the reference game server and web site.

Run from the repository root:
    python3 -m unittest discover -s reference_server/tests -v

Most tests talk to real server processes started on port 0. Signatures are
computed here with hmac/hashlib from the key file, and play URLs are read
with a parser written here after the client's rules, so the tests do not
trust the server's own helpers for what they check.
"""

import hashlib
import hmac
import html
import http.client
import json
import os
import re
import shutil
import signal
import socket
import ssl
import struct
import subprocess
import sys
import tempfile
import threading
import time
import unittest
from urllib.parse import quote

HERE = os.path.dirname(os.path.abspath(__file__))
SERVER_DIR = os.path.dirname(HERE)
REPO = os.path.dirname(SERVER_DIR)
SERVER = os.path.join(SERVER_DIR, "server.py")
KEY_FILE = os.path.join(REPO, "keys", "signing-key-parts.txt")

sys.path.insert(0, SERVER_DIR)
import faults  # noqa: E402
import game  # noqa: E402
import server  # noqa: E402
import startup  # noqa: E402
import swf  # noqa: E402

# The client's build number as it sends it, from the VERSION file.
BUILD = str(game.CLIENT_BUILD)
BUILD_B = BUILD.encode()
SHARDS = [""] + ["/s%d" % n for n in range(2, 16)]


# ---------------------------------------------------------------------------
# Independent helpers.


def load_key(path=KEY_FILE):
    halves = {}
    with open(path, encoding="ascii") as f:
        for line in f:
            line = line.strip()
            if line and not line.startswith("#"):
                name, _, value = line.partition("=")
                halves[name] = bytes.fromhex(value)
    return bytes(a ^ b for a, b in zip(halves["A"], halves["B"]))


KEY = load_key()


def sig(action, challenge, subject, key=KEY):
    text = b"TAVRENSIL/1\n" + action + b"\n" + challenge + b"\n" + subject
    return hmac.new(key, text, hashlib.sha256).hexdigest().encode()


def encode_form(fields):
    """Like the client: keys in ascending order, RFC 3986 unreserved kept."""
    return "&".join("%s=%s" % (quote(k, safe="-._~"), quote(v, safe="-._~"))
                    for k, v in sorted(fields.items())).encode()


def client_parse_play_url(url):
    """(site, shard, token) as the client reads a play URL."""
    def value_at(start):
        end = len(url)
        for ch in "&#?":
            i = url.find(ch, start)
            if i != -1:
                end = min(end, i)
        return url[start:end]

    site, shard, token = "local", "", None
    i = url.find("site=")
    if i != -1:
        value = value_at(i + 5)
        if value and value not in ("local", "s1"):
            site, shard = value, "/" + value
    else:
        for n in range(15, 1, -1):
            if "/s%d/" % n in url:
                site, shard = "s%d" % n, "/s%d" % n
                break
    j = url.find("token=")
    if j != -1:
        token = value_at(j + 6)
    return site, shard, token


def parse_swf(data):
    """Header fields and tag list of an uncompressed SWF."""
    sig_, version = data[:3], data[3]
    length = struct.unpack("<I", data[4:8])[0]
    bits = "".join(format(b, "08b") for b in data[8:8 + 17])
    nbits = int(bits[:5], 2)

    def field(n):
        raw = bits[5 + n * nbits:5 + (n + 1) * nbits]
        v = int(raw, 2)
        return v - (1 << nbits) if raw[0] == "1" else v

    rect = [field(n) for n in range(4)]
    pos = 8 + (5 + 4 * nbits + 7) // 8
    rate_lo, rate_hi, frames = data[pos], data[pos + 1], struct.unpack("<H", data[pos + 2:pos + 4])[0]
    pos += 4
    tags = []
    while pos < len(data):
        code_len = struct.unpack("<H", data[pos:pos + 2])[0]
        code, tlen = code_len >> 6, code_len & 0x3F
        pos += 2
        if tlen == 0x3F:
            tlen = struct.unpack("<I", data[pos:pos + 4])[0]
            pos += 4
        tags.append((code, data[pos:pos + tlen]))
        pos += tlen
    return {"signature": sig_, "version": version, "length": length, "rect": rect,
            "fps": rate_hi + rate_lo / 256.0, "frames": frames, "tags": tags, "end": pos}


PE_AT = 0x80                        # fake_installer's PE header
SECURITY_ENTRY = PE_AT + 24 + 96 + 4 * 8
FAKE_SIGNATURE = b"\x30\x82" + b"S" * 1022


def fake_installer(content=4096):
    """As much of a signed installer as the server reads: "MZ", a PE32 header
    whose data directory 4 (security) points at the signature ending the file."""
    head = bytearray(PE_AT + 24 + 224)
    struct.pack_into("<2s58xI", head, 0, b"MZ", PE_AT)
    struct.pack_into("<4s16xH2xH90xI", head, PE_AT, b"PE\0\0", 224, 0x10B, 16)
    body = bytes(head) + bytes(range(256)) * (content // 256)
    struct.pack_into("<II", head, SECURITY_ENTRY, len(body), len(FAKE_SIGNATURE))
    return bytes(head) + body[len(head):] + FAKE_SIGNATURE


# ---------------------------------------------------------------------------
# A server process and a small HTTP client.


class ServerProcess:
    def __init__(self, *args):
        self.errors = tempfile.TemporaryFile()
        self.proc, self.base = startup.start(["--quiet"] + list(args), stderr=self.errors,
                                             cwd=REPO)
        self.scheme, _, port = self.base.partition("://")
        self.port = int(port.rsplit(":", 1)[1])

    def stop(self, signum=signal.SIGTERM, timeout=5):
        if self.proc.poll() is None:
            self.proc.send_signal(signum)
        try:
            return self.proc.wait(timeout)
        finally:
            self.proc.stdout.close()
            self.errors.close()

    def connection(self, timeout=5):
        if self.scheme == "https":
            ctx = ssl._create_unverified_context()
            return http.client.HTTPSConnection("127.0.0.1", self.port, timeout=timeout, context=ctx)
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)

    def request(self, method, path, body=None, headers=None):
        conn = self.connection()
        try:
            hdrs = dict(headers or {})
            if body is not None and "Content-Type" not in hdrs:
                hdrs["Content-Type"] = "application/x-www-form-urlencoded"
            conn.request(method, path, body=body, headers=hdrs)
            resp = conn.getresponse()
            return resp.status, resp.headers, resp.read()
        finally:
            conn.close()

    def get_json(self, path, **kw):
        status, headers, body = self.request("GET", path, **kw)
        return status, json.loads(body.decode("utf-8"))

    def post_form(self, path, fields, **kw):
        status, headers, body = self.request("POST", path, encode_form(fields), **kw)
        return status, headers, body

    def post_json_answer(self, path, fields, **kw):
        status, headers, body = self.post_form(path, fields, **kw)
        return status, json.loads(body.decode("utf-8"))

    def control(self, action, payload=None):
        body = None if payload is None else json.dumps(payload).encode()
        method = "GET" if payload is None else "POST"
        status, _, raw = self.request(method, "/_control/" + action, body,
                                      {"Content-Type": "application/json"})
        return status, json.loads(raw.decode("utf-8"))

    def log(self):
        return self.control("log")[1]["entries"]

    def last_verdict(self):
        return self.log()[-1]["verdict"]

    def new_token(self, user="deniz"):
        return self.control("token", {"user": user})[1]["token"]

    # -- the client's session steps ------------------------------------------

    def hello(self, shard="", build=BUILD):
        status, answer = self.get_json(shard + "/api/client/hello?build=" + build)
        assert status == 200 and answer["ok"], answer
        return answer["challenge"].encode()

    def play(self, token, shard="", site=None, challenge=None, scheme="http", **overrides):
        site = site if site is not None else (shard[1:] if shard else "local")
        if challenge is None:
            challenge = self.hello(shard, overrides.get("build", BUILD))
        token_b = token.encode() if isinstance(token, str) else token
        fields = {"build": BUILD, "challenge": challenge.decode(), "scheme": scheme,
                  "sig": sig(b"play", challenge, token_b + b"\n" + site.encode()).decode(),
                  "token": token_b.decode()}
        fields.update(overrides)
        return self.post_json_answer(shard + "/api/client/play", fields)

    def session_request(self, action, shard, csid, challenge, **overrides):
        fields = {"build": BUILD, "challenge": challenge, "csid": csid,
                  "sig": sig(action.encode(), challenge.encode(), csid.encode()).decode()}
        fields.update(overrides)
        return self.post_json_answer("%s/api/client/%s" % (shard, action), fields)

    def start_session(self, shard="/s3"):
        status, answer = self.play(self.new_token(), shard)
        assert status == 200 and answer["ok"], answer
        return answer


def raw_exchange(port, request, timeout=5, limit=None):
    """Send raw bytes and read until the server closes the connection (or
    `limit` bytes arrived)."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        s.sendall(request)
        chunks, count = [], 0
        while limit is None or count < limit:
            data = s.recv(65536)
            if not data:
                break
            chunks.append(data)
            count += len(data)
        return b"".join(chunks)


def raw_request(method, path, body=b""):
    return (b"%s %s HTTP/1.1\r\nHost: 127.0.0.1\r\n"
            b"Content-Type: application/x-www-form-urlencoded\r\n"
            b"Content-Length: %d\r\n\r\n%s" % (method, path, len(body), body))


def recv_exactly(sock, count):
    data = b""
    while len(data) < count:
        chunk = sock.recv(count - len(data))
        if not chunk:
            raise EOFError("closed after %d bytes" % len(data))
        data += chunk
    return data


def read_head(sock, limit=8192):
    """(status, headers, body bytes read past the head) from a socket."""
    data = b""
    while b"\r\n\r\n" not in data:
        chunk = sock.recv(1)
        if not chunk or len(data) > limit:
            raise EOFError("no complete head in %r" % data[:200])
        data += chunk
    return split_response(data)


def split_response(raw):
    head, _, body = raw.partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    headers = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    return int(lines[0].split()[1]), headers, body


# ---------------------------------------------------------------------------
# Pure functions, in-process.


class DemoMovieTest(unittest.TestCase):
    def test_header_and_tags_parse_back(self):
        data = swf.build_demo_swf(background=(1, 2, 3))
        info = parse_swf(data)
        self.assertEqual(info["signature"], b"FWS")
        self.assertEqual(info["version"], 10)
        self.assertEqual(info["length"], len(data))
        self.assertEqual(info["rect"], [0, 20000, 0, 12000])  # 1000x600 px in twips
        self.assertEqual(info["fps"], 24.0)
        self.assertEqual(info["frames"], 48)
        codes = [code for code, _ in info["tags"]]
        self.assertEqual(codes, [9] + [1] * 48 + [0])
        self.assertEqual(info["tags"][0][1], b"\x01\x02\x03")
        self.assertEqual(info["end"], len(data))

    def test_other_sizes_and_rates(self):
        for width, height, fps, frames in [(1, 1, 1.5, 1), (2000, 1500, 60.0, 300)]:
            with self.subTest(width=width, height=height):
                info = parse_swf(swf.build_demo_swf(width, height, fps, frames))
                self.assertEqual(info["rect"], [0, width * 20, 0, height * 20])
                self.assertEqual(info["fps"], fps)
                self.assertEqual(info["frames"], frames)

    def test_colours_differ_by_world_and_name(self):
        colours = {swf.movie_background(s, n) for s in SHARDS for n in ("game.swf", "Loading.swf")}
        self.assertEqual(len(colours), 2 * len(SHARDS))


class FormDecodingTest(unittest.TestCase):
    CASES = [
        (b"", {}),
        (b"a=1&b=", {"a": b"1", "b": b""}),
        (b"sig=ab%2Fc&x=a+b", {"sig": b"ab/c", "x": b"a b"}),
        (b"t=%C3%BC%0A", {"t": "ü\n".encode()}),
    ]
    BAD = [b"a", b"a=1&a=2", b"a=%4", b"a=%zz", b"=1", b"a=1&&b=2", b"%FF=1"]

    def test_good_forms(self):
        for raw, expected in self.CASES:
            with self.subTest(raw=raw):
                self.assertEqual(server.decode_form(raw), expected)

    def test_bad_forms(self):
        for raw in self.BAD:
            with self.subTest(raw=raw):
                with self.assertRaises(server.FormError):
                    server.decode_form(raw)


class FaultRuleTest(unittest.TestCase):
    GOOD = [
        ("hello=status:503", ("hello", "status", 503, False)),
        ("play=delay:3000", ("play", "delay", 3000, False)),
        ("bye=drop:once", ("bye", "drop", None, True)),
        ("beat=fatal", ("beat", "fatal", None, False)),
        ("update=truncate:5:once", ("update", "truncate", 5, True)),
        ("page=dropbody", ("page", "dropbody", None, False)),
        ("MOVIE=nonjson", ("movie", "nonjson", None, False)),
        ("beat=deep:once", ("beat", "deep", None, True)),
        ("beat=deep:600", ("beat", "deep", 600, False)),
        ("update=endless:once", ("update", "endless", None, True)),
        ("bye=hugelength", ("bye", "hugelength", None, False)),
        ("bye=hugelength:1000000000000", ("bye", "hugelength", 10 ** 12, False)),
        ("hello=trickle:50", ("hello", "trickle", 50, False)),
        ("movie=tricklebody:1", ("movie", "tricklebody", 1, False)),
        ("beat=silent", ("beat", "silent", None, False)),
        ("page=redirect:8081", ("page", "redirect", 8081, False)),
        ("hello=upgrade", ("hello", "upgrade", None, False)),
        ("play=delay:180000", ("play", "delay", 180000, False)),
    ]
    BAD = ["hello", "hello=", "nowhere=drop", "hello=explode", "hello=status", "beat=deep:0",
           "hello=status:99", "hello=status:abc", "play=fatal", "hello=drop:5",
           "hello=delay:-1", "hello=status:503:twice", "hello=endless:5", "hello=silent:1",
           "hello=hugelength:0", "hello=trickle", "hello=tricklebody:0", "hello=trickle:60001",
           "hello=redirect", "hello=redirect:0", "hello=redirect:65536",
           "page=upgrade", "hello=upgrade:443"]

    def test_good_rules(self):
        for rule, (endpoint, kind, value, once) in self.GOOD:
            with self.subTest(rule=rule):
                name, fault = faults.parse_fault_rule(rule)
                self.assertEqual((name, fault.kind, fault.value, fault.once),
                                 (endpoint, kind, value, once))

    def test_none_clears(self):
        self.assertEqual(faults.parse_fault_rule("hello=none"), ("hello", None))

    def test_bad_rules(self):
        for rule in self.BAD:
            with self.subTest(rule=rule):
                with self.assertRaises(faults.FaultRuleError):
                    faults.parse_fault_rule(rule)


class KeyTest(unittest.TestCase):
    def test_key_is_xor_of_halves(self):
        import game
        self.assertEqual(game.read_key_parts(KEY_FILE), KEY)

    def test_no_file_holds_the_combined_key(self):
        needle = KEY.hex()
        for folder, _, names in os.walk(SERVER_DIR):
            for name in names:
                if name.endswith((".py", ".md")):
                    with open(os.path.join(folder, name), encoding="utf-8") as f:
                        self.assertNotIn(needle, f.read().lower(), name)

    def test_bad_key_file_stops_the_server(self):
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
            f.write("A=00\n")
        try:
            proc = subprocess.run([sys.executable, SERVER, "--port", "0", "--key-file", f.name],
                                  capture_output=True, timeout=10)
        finally:
            os.unlink(f.name)
        self.assertEqual(proc.returncode, 2)
        self.assertIn(b"32 bytes", proc.stderr)


# ---------------------------------------------------------------------------
# One shared server for the web site, the API, faults and control.


class LiveServerTest(unittest.TestCase):
    srv = None
    log_path = None

    @classmethod
    def setUpClass(cls):
        cls.log_dir = tempfile.mkdtemp()
        cls.log_path = os.path.join(cls.log_dir, "requests.jsonl")
        cls.srv = ServerProcess("--dev-token", "DEMO", "--log-file", cls.log_path)

    @classmethod
    def tearDownClass(cls):
        cls.srv.stop()
        shutil.rmtree(cls.log_dir)

    def setUp(self):
        status, _ = self.srv.control("reset", {})
        self.assertEqual(status, 200)

    def assertRefused(self, answer, status, text, verdict, fatal=False):
        self.assertEqual(status, 200)
        self.assertIs(answer["ok"], False)
        self.assertEqual(answer["error"], text)
        self.assertEqual(answer.get("fatal", False), fatal)
        self.assertEqual(self.srv.last_verdict(), verdict)


class WebSiteTest(LiveServerTest):
    def cookies_of(self, headers):
        return {c.split("=", 1)[0]: c for c in headers.get_all("Set-Cookie") or []}

    def test_start_page_notes_the_client_header(self):
        for headers, arrived, note in [({"X-Tavrensil-Client": "1"}, "1", "alındı"),
                                       ({}, "0", "gelmedi")]:
            with self.subTest(headers=headers):
                status, hdrs, body = self.srv.request("GET", "/?client=1", headers=headers)
                page = body.decode("utf-8")
                self.assertEqual(status, 200)
                self.assertTrue(hdrs["Content-Type"].startswith("text/html"))
                self.assertIn('data-arrived="%s"' % arrived, page)
                self.assertIn(note, page)
        entries = self.srv.log()
        self.assertEqual([e["client_header"] for e in entries], [True, False])
        state = self.srv.control("sessions")[1]["start_page"]
        self.assertEqual((state["with_header"], state["without_header"]), (1, 1))

    def test_device_cookie_set_once(self):
        status, headers, _ = self.srv.request("GET", "/?client=1")
        cookie = self.cookies_of(headers)["rb_dev"]
        value = re.match(r"rb_dev=([0-9a-f]{32});", cookie).group(1)
        for attribute in ("Path=/", "HttpOnly", "Expires=", "Max-Age="):
            self.assertIn(attribute, cookie)
        _, headers2, _ = self.srv.request("GET", "/?client=1", headers={"Cookie": "rb_dev=" + value})
        self.assertNotIn("rb_dev", self.cookies_of(headers2))
        _, headers3, _ = self.srv.request("GET", "/?client=1")
        other = self.cookies_of(headers3)["rb_dev"]
        self.assertNotEqual(other.split(";")[0], cookie.split(";")[0])  # random per browser

    def login(self, name="Ayşe"):
        _, headers, _ = self.srv.request("GET", "/?client=1")
        device = self.cookies_of(headers)["rb_dev"].split(";")[0]
        body = ("name=%s&password=x" % quote(name)).encode()
        status, headers, _ = self.srv.request("POST", "/login", body, {"Cookie": device})
        return status, headers, device

    def test_login_then_worlds_in_both_shapes(self):
        status, headers, device = self.login()
        self.assertEqual(status, 303)
        self.assertEqual(headers["Location"], "/worlds")
        web = self.cookies_of(headers)["rb_web"].split(";")[0]
        cookie = "%s; %s" % (device, web)
        status, _, body = self.srv.request("GET", "/worlds", headers={"Cookie": cookie})
        self.assertEqual(status, 200)
        page = body.decode("utf-8")
        self.assertIn("Ayşe", page)
        by_param = [html.unescape(h) for h in re.findall(r'class="play-param" href="([^"]+)"', page)]
        by_path = [html.unescape(h) for h in re.findall(r'class="play-path" href="([^"]+)"', page)]
        self.assertEqual(len(by_param), 15)
        self.assertEqual(len(by_path), 15)
        expected = [("local", "")] + [("s%d" % n, "/s%d" % n) for n in range(2, 16)]
        tokens = set()
        for (site, shard), link_a, link_b in zip(expected, by_param, by_path):
            for link in (link_a, link_b):
                url = self.srv.base + link
                got_site, got_shard, token = client_parse_play_url(url)
                self.assertEqual((got_site, got_shard), (site, shard), link)
                self.assertTrue("/play" in url or "play?" in url)
                tokens.add(token)
        self.assertTrue(by_param[0].startswith("/play?site=local&token="))
        self.assertTrue(by_path[2].startswith("/s3/play?token="))
        self.assertEqual(len(tokens), 1)
        token = tokens.pop()
        self.assertRegex(token, r"^[A-Za-z0-9_-]{20,}$")
        # The token from the page plays at a world's prefix with its site name,
        # once; afterwards the page offers a fresh one.
        status, answer = self.srv.play(token, "/s7", "s7")
        self.assertTrue(answer["ok"], answer)
        status, answer = self.srv.play(token, "/s7", "s7")
        self.assertEqual(self.srv.last_verdict(), "used-token")
        _, _, body = self.srv.request("GET", "/worlds", headers={"Cookie": cookie})
        fresh = client_parse_play_url(re.search(r'href="([^"]+)"', body.decode().split("<table>")[1])
                                      .group(1))[2]
        self.assertNotEqual(fresh, token)

    def test_empty_name_refused_and_worlds_need_login(self):
        status, headers, _ = self.login("   ")
        self.assertEqual(status, 200)
        self.assertNotIn("rb_web", self.cookies_of(headers))
        self.assertEqual(self.srv.last_verdict(), "login-refused")
        status, headers, _ = self.srv.request("GET", "/worlds")
        self.assertEqual((status, headers["Location"]), (303, "/"))

    def test_play_page_in_a_browser(self):
        for path in ("/play?site=s5&token=abc", "/s4/play?token=abc"):
            with self.subTest(path=path):
                status, _, body = self.srv.request("GET", path)
                self.assertEqual(status, 200)
                self.assertIn("istemcisi burada devralır", body.decode("utf-8"))
        # A browser visit does not spend anything.
        self.assertEqual(self.srv.play("DEMO", "/s4", "s4")[1]["ok"], True)

    def test_unknown_pages(self):
        for path in ("/nowhere", "/s16/play?token=a", "/s3/worlds"):
            with self.subTest(path=path):
                self.assertEqual(self.srv.request("GET", path)[0], 404)


class MovieTest(LiveServerTest):
    def test_served_movies_parse(self):
        for path in ("/static/game.swf", "/s3/static/game.swf", "/static/Loading.swf",
                     "/s15/static/Loading_m.swf?m=2", "/static/Phone2.swf?v=31&m=2"):
            with self.subTest(path=path):
                status, headers, body = self.srv.request("GET", path)
                self.assertEqual(status, 200)
                self.assertEqual(headers["Content-Type"], "application/x-shockwave-flash")
                info = parse_swf(body)
                self.assertEqual((info["signature"], info["length"], info["frames"]),
                                 (b"FWS", len(body), 48))

    def test_bad_movie_names(self):
        for path in ("/static/../keys.swf", "/static/game.txt", "/static/"):
            with self.subTest(path=path):
                self.assertEqual(self.srv.request("GET", path)[0], 404)


class UpdateAndHelloTest(LiveServerTest):
    def test_update_answers(self):
        for path in ("/api/client/update?build=" + BUILD, "/s9/api/client/update?build=" + BUILD):
            status, answer = self.srv.get_json(path)
            self.assertEqual(status, 200)
            self.assertIs(answer["must_update"], False)
            self.assertEqual(answer["latest_build"], game.CLIENT_BUILD)
            self.assertEqual(answer["download_url"], self.srv.base + "/download")
        status, answer = self.srv.get_json("/api/client/update?build=6")
        self.assertIs(answer["must_update"], True)
        self.assertNotIn("installer_url", answer)    # no --installer

    def test_json_content_type_and_turkish_letters(self):
        status, headers, body = self.srv.request("GET", "/api/client/hello?build=3")
        self.assertEqual(headers["Content-Type"], "application/json; charset=utf-8")
        answer = json.loads(body.decode("utf-8"))
        self.assertEqual(answer, {"ok": False, "update": True, "error":
                                  "İstemci sürümünüz artık desteklenmiyor, lütfen yeni sürümü indirin."})
        self.assertIn("ü".encode("utf-8"), body)   # raw UTF-8, not \\u escapes

    def test_hello_challenges_are_fresh(self):
        seen = {self.srv.hello(shard) for shard in SHARDS for _ in range(2)}
        self.assertEqual(len(seen), 2 * len(SHARDS))

    def test_malformed_requests(self):
        cases = [
            ("GET", "/api/client/hello", None, 400, "bad-build"),
            ("GET", "/api/client/hello?build=seven", None, 400, "bad-build"),
            ("GET", "/api/client/update?build=%zz", None, 400, "bad-form"),
            ("POST", "/api/client/hello?build=" + BUILD, b"", 405, "method-not-allowed"),
            ("GET", "/api/client/play", None, 405, "method-not-allowed"),
            ("GET", "/api/client/nothing", None, 404, "not-found"),
            ("GET", "/s16/api/client/hello?build=" + BUILD, None, 404, "unknown-shard"),
            ("GET", "/s1/api/client/hello?build=" + BUILD, None, 404, "unknown-shard"),
            ("GET", "/eu1/api/client/hello?build=" + BUILD, None, 404, "unknown-shard"),
            ("POST", "/api/client/beat", b"build=" + BUILD_B + b"&csid=x", 400, "missing-field:challenge,sig"),
            ("POST", "/api/client/beat", b"build=" + BUILD_B + b"&build=" + BUILD_B, 400, "bad-form"),
        ]
        for method, path, body, status, verdict in cases:
            with self.subTest(path=path, method=method):
                got, headers, raw = self.srv.request(method, path, body)
                self.assertEqual(got, status)
                self.assertEqual(json.loads(raw.decode())["ok"], False)
                self.assertEqual(self.srv.last_verdict(), verdict)
        status, headers, _ = self.srv.request(
            "POST", "/api/client/beat", b"{}", {"Content-Type": "application/json"})
        self.assertEqual((status, self.srv.last_verdict()), (400, "bad-content-type"))


class SessionTest(LiveServerTest):
    def test_full_session(self):
        token = self.srv.new_token("Çağrı")
        challenge = self.srv.hello("/s3")
        status, answer = self.srv.play(token, "/s3", "s3", challenge)
        self.assertEqual(status, 200)
        self.assertIs(answer["ok"], True, answer)
        csid, current = answer["csid"], answer["challenge"]
        self.assertEqual(answer["movie"], self.srv.base + "/s3/static/game.swf")
        self.assertIn("csid=" + csid, answer["flashvars"])
        self.assertIn("world=s3", answer["flashvars"])
        self.assertIn("user=" + quote("Çağrı", safe=""), answer["flashvars"])
        self.assertEqual(self.srv.request("GET", "/s3/static/game.swf")[0], 200)
        seen = {challenge.decode(), current}
        for _ in range(3):
            status, beat = self.srv.session_request("beat", "/s3", csid, current)
            self.assertEqual(beat["ok"], True, beat)
            current = beat["challenge"]
            seen.add(current)
        self.assertEqual(len(seen), 5)   # every challenge new
        status, bye = self.srv.session_request("bye", "/s3", csid, current)
        self.assertEqual(bye, {"ok": True})
        session = self.srv.control("sessions")[1]["sessions"][0]
        self.assertEqual((session["state"], session["end_reason"], session["beats"]),
                         ("ended", "bye", 3))
        self.assertEqual(session["history"], ["beat", "beat", "beat", "bye"])
        self.assertEqual(session["site_name"], "s3")
        verdicts = [e["verdict"] for e in self.srv.log() if e["endpoint"] != "movie"]
        self.assertEqual(verdicts, ["ok"] * 6)   # hello, play, 3 beats, bye

    def test_main_world_signs_local(self):
        status, answer = self.srv.play(self.srv.new_token(), "", "local")
        self.assertTrue(answer["ok"], answer)
        self.assertEqual(answer["movie"], self.srv.base + "/static/game.swf")

    def test_play_refusals(self):
        t = self.srv.new_token
        used = t()
        self.assertTrue(self.srv.play(used, "/s2")[1]["ok"])
        spent_challenge = self.srv.hello("/s2")
        self.assertTrue(self.srv.play(t(), "/s2", challenge=spent_challenge)[1]["ok"])
        cases = [
            # (name, keyword arguments of play, error text, verdict)
            ("bad signature", dict(token=t(), shard="/s2", sig="0" * 64),
             "İmza doğrulanamadı.", "bad-sig"),
            ("signed with main instead of local", dict(token=t(), shard="", site="main"),
             "İmza doğrulanamadı.", "wrong-site:main"),
            ("signed for another world", dict(token=t(), shard="/s4", site="s3"),
             "İmza doğrulanamadı.", "wrong-site:s3"),
            ("signed with s1", dict(token=t(), shard="", site="s1"),
             "İmza doğrulanamadı.", "wrong-site:s1"),
            ("replayed hello challenge", dict(token=t(), shard="/s2", challenge=spent_challenge),
             "Güvenlik kodu daha önce kullanılmış; istek reddedildi.", "replayed-challenge"),
            ("unknown challenge", dict(token=t(), shard="/s2", challenge=b"00" * 16),
             "Güvenlik doğrulaması başarısız.", "unknown-challenge"),
            ("challenge from another world", dict(token=t(), shard="/s2",
                                                  challenge=self.srv.hello("/s5")),
             "Güvenlik doğrulaması başarısız.", "wrong-challenge"),
            ("unknown token", dict(token="nope", shard="/s2"),
             "Oturum süresi doldu, lütfen tekrar giriş yapın.", "unknown-token"),
            ("used token", dict(token=used, shard="/s2"),
             "Bu oturum anahtarı zaten kullanıldı, lütfen tekrar giriş yapın.", "used-token"),
            ("wrong scheme", dict(token=t(), shard="/s2", scheme="https"),
             "Bağlantı türü doğrulanamadı.", "bad-scheme"),
            ("old build", dict(token=t(), shard="/s2", build="6", challenge=self.srv.hello("/s2")),
             "İstemci sürümünüz artık desteklenmiyor, lütfen yeni sürümü indirin.", "old-build"),
        ]
        for name, kwargs, text, verdict in cases:
            with self.subTest(name):
                status, answer = self.srv.play(**kwargs)
                self.assertRefused(answer, status, text, verdict)
        # Nothing refused above was spent: the same kind of request, done
        # right, still works, and no session was opened by a refusal.
        self.assertEqual(len(self.srv.control("sessions")[1]["sessions"]), 2)

    def test_refused_play_spends_neither_token_nor_challenge(self):
        token, challenge = self.srv.new_token(), self.srv.hello("/s6")
        self.assertFalse(self.srv.play(token, "/s6", challenge=challenge, sig="1" * 64)[1]["ok"])
        self.assertTrue(self.srv.play(token, "/s6", challenge=challenge)[1]["ok"])

    def test_dev_token_is_reusable(self):
        for _ in range(2):
            status, answer = self.srv.play("DEMO", "/s3", "s3")
            self.assertTrue(answer["ok"], answer)
            self.assertIn("user=dev", answer["flashvars"])

    def test_beat_and_bye_refusals(self):
        a = self.srv.start_session("/s3")
        b = self.srv.start_session("/s3")
        ok, first = self.srv.session_request("beat", "/s3", a["csid"], a["challenge"])
        self.assertTrue(first["ok"])
        current = first["challenge"]
        replay = "Güvenlik kodu daha önce kullanılmış; istek reddedildi."
        cases = [
            ("replayed challenge", ("beat", "/s3", a["csid"], a["challenge"]), {},
             replay, "replayed-challenge"),
            ("bad signature", ("beat", "/s3", a["csid"], current), {"sig": "f" * 64},
             "İmza doğrulanamadı.", "bad-sig"),
            ("bye signature on a beat", ("beat", "/s3", a["csid"], current),
             {"sig": sig(b"bye", current.encode(), a["csid"].encode()).decode()},
             "İmza doğrulanamadı.", "bad-sig"),
            ("challenge of another session", ("beat", "/s3", a["csid"], b["challenge"]), {},
             "Güvenlik doğrulaması başarısız.", "wrong-challenge"),
            ("unknown csid", ("beat", "/s3", "deadbeef", current), {},
             "Oturum bulunamadı.", "unknown-csid"),
            ("session of another world", ("beat", "/s4", a["csid"], current), {},
             "Oturum bulunamadı.", "wrong-shard"),
            ("bye with replayed challenge", ("bye", "/s3", a["csid"], a["challenge"]), {},
             replay, "replayed-challenge"),
            ("bye with unknown csid", ("bye", "/s3", "deadbeef", current), {},
             "Oturum bulunamadı.", "unknown-csid"),
        ]
        for name, args, overrides, text, verdict in cases:
            with self.subTest(name):
                status, answer = self.srv.session_request(*args, **overrides)
                self.assertRefused(answer, status, text, verdict)
        # The refusals left the session's challenge alone.
        status, answer = self.srv.session_request("beat", "/s3", a["csid"], current)
        self.assertTrue(answer["ok"], answer)
        # After bye, beats are fatal and a second bye is refused.
        self.assertTrue(self.srv.session_request("bye", "/s3", a["csid"], answer["challenge"])[1]["ok"])
        status, answer = self.srv.session_request("beat", "/s3", a["csid"], "x")
        self.assertRefused(answer, status, "Oturum sona erdi.", "ended-session", fatal=True)
        status, answer = self.srv.session_request("bye", "/s3", a["csid"], "x")
        self.assertRefused(answer, status, "Oturum zaten sona ermiş.", "ended-session")


class FaultTest(LiveServerTest):
    def set_fault(self, rule):
        status, answer = self.srv.control("fault", {"rule": rule})
        self.assertEqual(status, 200, answer)

    def test_status(self):
        self.set_fault("hello=status:503")
        for _ in range(2):
            status, headers, body = self.srv.request("GET", "/api/client/hello?build=" + BUILD)
            self.assertEqual(status, 503)
            self.assertEqual(headers["Retry-After"], "5")
            self.assertEqual(json.loads(body.decode())["ok"], False)
        self.assertEqual(self.srv.last_verdict(), "fault:status:503")
        self.assertEqual(self.srv.control("sessions")[1]["challenges"]["issued"], 0)
        self.set_fault("page=status:500")
        self.assertEqual(self.srv.request("GET", "/?client=1")[0], 500)

    def test_once(self):
        self.set_fault("hello=status:502:once")
        self.assertEqual(self.srv.request("GET", "/api/client/hello?build=" + BUILD)[0], 502)
        self.assertEqual(self.srv.request("GET", "/api/client/hello?build=" + BUILD)[0], 200)
        self.assertEqual(self.srv.control("faults")[1]["faults"], [])

    def test_delay_does_not_block_other_requests(self):
        self.set_fault("play=delay:600")
        token = self.srv.new_token()
        result = {}

        def slow_play():
            started = time.monotonic()
            result["answer"] = self.srv.play(token, "/s2")[1]
            result["took"] = time.monotonic() - started

        worker = threading.Thread(target=slow_play)
        worker.start()
        time.sleep(0.1)
        started = time.monotonic()
        self.assertEqual(self.srv.request("GET", "/api/client/update?build=" + BUILD)[0], 200)
        self.assertLess(time.monotonic() - started, 0.4)
        worker.join(5)
        self.assertGreaterEqual(result["took"], 0.6)
        self.assertTrue(result["answer"]["ok"])          # served after the delay
        play_entry = [e for e in self.srv.log() if e["endpoint"] == "play"][0]
        self.assertEqual((play_entry["fault"], play_entry["verdict"]), ("delay:600", "ok"))

    def test_drop(self):
        self.set_fault("hello=drop")
        raw = raw_exchange(self.srv.port, b"GET /api/client/hello?build=" + BUILD_B + b" HTTP/1.1\r\n"
                                          b"Host: x\r\n\r\n")
        self.assertEqual(raw, b"")
        entry = self.srv.log()[-1]
        self.assertEqual((entry["status"], entry["verdict"]), (None, "fault:drop"))
        self.set_fault("play=drop")
        body = b"build=" + BUILD_B + b"&challenge=a&scheme=http&sig=b&token=c"
        raw = raw_exchange(self.srv.port, b"POST /api/client/play HTTP/1.1\r\nHost: x\r\n"
                           b"Content-Type: application/x-www-form-urlencoded\r\n"
                           b"Content-Length: %d\r\n\r\n%s" % (len(body), body))
        self.assertEqual(raw, b"")

    def test_drop_mid_body(self):
        self.set_fault("beat=dropbody")
        raw = raw_exchange(self.srv.port, b"POST /s2/api/client/beat HTTP/1.1\r\nHost: x\r\n"
                           b"Content-Length: 0\r\n\r\n")
        status, headers, body = split_response(raw)
        self.assertEqual(status, 200)
        self.assertGreater(int(headers["content-length"]), len(body))
        self.assertGreater(len(body), 0)
        self.assertTrue(body.startswith(b'{"ok": true'))
        self.set_fault("update=dropbody:3")
        conn = self.srv.connection()
        try:
            conn.request("GET", "/api/client/update?build=" + BUILD)
            response = conn.getresponse()
            with self.assertRaises(http.client.IncompleteRead) as caught:
                response.read()
            self.assertEqual(caught.exception.partial, b'{"o')
        finally:
            conn.close()

    def test_truncated_body(self):
        self.set_fault("hello=truncate")
        status, headers, body = self.srv.request("GET", "/api/client/hello?build=" + BUILD)
        self.assertEqual(status, 200)
        self.assertEqual(int(headers["Content-Length"]), len(body))
        self.assertTrue(body.startswith(b'{"ok": true'))
        with self.assertRaises(ValueError):
            json.loads(body.decode("utf-8", "replace"))
        self.set_fault("hello=truncate:4")
        self.assertEqual(self.srv.request("GET", "/api/client/hello?build=" + BUILD)[2], b'{"ok')

    def test_non_json(self):
        self.set_fault("update=nonjson")
        status, headers, body = self.srv.request("GET", "/api/client/update?build=" + BUILD)
        self.assertEqual(status, 200)
        self.assertTrue(headers["Content-Type"].startswith("text/html"))
        with self.assertRaises(ValueError):
            json.loads(body.decode("utf-8"))

    def test_fatal_beat(self):
        session = self.srv.start_session("/s5")
        self.set_fault("beat=fatal:once")
        status, answer = self.srv.session_request("beat", "/s5", session["csid"], session["challenge"])
        self.assertEqual(status, 200)
        self.assertEqual(answer, {"ok": False, "fatal": True,
                                  "error": game.Text.SESSION_KILLED})
        state = self.srv.control("sessions")[1]["sessions"][0]
        self.assertEqual((state["state"], state["end_reason"]), ("ended", "fault:fatal"))
        status, answer = self.srv.session_request("beat", "/s5", session["csid"], session["challenge"])
        self.assertEqual((answer["fatal"], self.srv.last_verdict()), (True, "ended-session"))

    def test_refuse_answers_plain_error(self):
        self.set_fault("hello=refuse:once")
        status, answer = self.srv.get_json("/s5/api/client/hello?build=" + BUILD)
        self.assertEqual(status, 200)
        self.assertEqual(answer, {"ok": False,
                                  "error": "Sunucu şu anda hizmet veremiyor, lütfen daha sonra tekrar deneyin."})
        self.assertTrue(self.srv.hello("/s5"))

    def test_hostile_kinds(self):
        """Answers that crawl, never end or send the client elsewhere, read
        on a raw socket: each case checks what makes its fault hostile."""
        form = b"build=" + BUILD_B + b"&csid=c1"
        cases = [
            ("hello=trickle:50", b"GET", b"/api/client/hello?build=" + BUILD_B, self.expect_trickle),
            ("update=tricklebody:50", b"GET", b"/api/client/update?build=" + BUILD_B,
             self.expect_tricklebody),
            ("beat=silent", b"POST", b"/s2/api/client/beat", self.expect_silence),
            ("update=endless", b"GET", b"/api/client/update?build=" + BUILD_B, self.expect_endless),
            ("bye=hugelength", b"POST", b"/s2/api/client/bye", self.expect_huge_length),
            ("play=redirect:8081", b"POST", b"/s3/api/client/play?x=1", self.expect_redirect),
        ]
        for rule, method, path, check in cases:
            with self.subTest(rule=rule):
                self.set_fault(rule)
                with socket.create_connection(("127.0.0.1", self.srv.port), timeout=5) as sock:
                    sock.sendall(raw_request(method, path, form if method == b"POST" else b""))
                    check(sock)
                entry = self.srv.log()[-1]
                self.assertEqual(entry["fault"], rule.split("=")[1])
                self.assertEqual(entry["form"], {"build": BUILD, "csid": "c1"}
                                 if method == b"POST" else None)

    def expect_trickle(self, sock):
        started = time.monotonic()
        self.assertEqual(recv_exactly(sock, 4), b"HTTP")   # the status line crawls too
        self.assertGreaterEqual(time.monotonic() - started, 0.14)

    def expect_tricklebody(self, sock):
        started = time.monotonic()
        status, headers, body = read_head(sock)
        self.assertLess(time.monotonic() - started, 2.0)   # trickled it would take 8 s
        self.assertEqual(status, 200)
        self.assertGreater(int(headers["content-length"]), 4)
        started = time.monotonic()
        body += recv_exactly(sock, 4 - len(body))
        self.assertEqual(body, b'{"ok')
        self.assertGreaterEqual(time.monotonic() - started, 0.09)

    def expect_silence(self, sock):
        sock.settimeout(0.5)
        with self.assertRaises(socket.timeout):   # b"" would mean it was closed
            sock.recv(1)
        self.assertIsNone(self.srv.log()[-1]["status"])

    def expect_endless(self, sock):
        status, headers, body = read_head(sock)
        self.assertEqual((status, headers["connection"]), (200, "close"))
        self.assertNotIn("content-length", headers)
        self.assertTrue(headers["content-type"].startswith("application/json"))
        started = time.monotonic()
        body += recv_exactly(sock, (1 << 20) + 1 - len(body))
        self.assertTrue(body.startswith(b'{"ok": true, "pad": "xxx'))
        self.assertLess(time.monotonic() - started, 3.0)

    def expect_huge_length(self, sock):
        status, headers, body = read_head(sock)
        self.assertEqual((status, headers["content-length"]), (200, "3000000000"))
        body += recv_exactly(sock, 100000)
        self.assertTrue(body.startswith(b'{"ok": true'))

    def expect_redirect(self, sock):
        status, headers, body = read_head(sock)
        self.assertEqual(status, 307)
        self.assertEqual(headers["location"], "http://127.0.0.1:8081/s3/api/client/play?x=1")
        self.assertEqual(len(body + recv_exactly(sock, int(headers["content-length"]) - len(body))),
                         int(headers["content-length"]))

    def test_fault_leaves_state_alone(self):
        token, challenge = self.srv.new_token(), self.srv.hello("/s8")
        self.set_fault("play=status:503:once")
        self.assertEqual(self.srv.play(token, "/s8", challenge=challenge)[0], 503)
        self.assertTrue(self.srv.play(token, "/s8", challenge=challenge)[1]["ok"])

    def test_bad_fault_requests(self):
        for payload in ({"rule": "hello=explode"}, {"endpoint": "nowhere", "kind": "drop"},
                        {}, {"rules": ["play=fatal"]}, {"rules": "hello=drop"}):
            with self.subTest(payload=payload):
                self.assertEqual(self.srv.control("fault", payload)[0], 400)
        self.assertEqual(self.srv.control("faults")[1]["faults"], [])

    def test_fault_by_fields_and_clear(self):
        status, answer = self.srv.control("fault", {"endpoint": "bye", "kind": "status",
                                                    "value": 500, "once": True})
        self.assertEqual(answer["faults"][0]["rule"], "bye=status:500:once")
        self.srv.control("fault", {"clear": True})
        self.assertEqual(self.srv.control("faults")[1]["faults"], [])


class ControlAndLogTest(LiveServerTest):
    def test_log_entries(self):
        body = b"build=" + BUILD_B + b"&challenge=c1&csid=zz&sig=s%C3%BC"
        request = (b"POST /s2/api/client/beat HTTP/1.1\r\nHost: 127.0.0.1\r\n"
                   b"User-Agent: TavrensilClient/1.0\r\nCookie: rb_dev=abc\r\n"
                   b"Content-Type: application/x-www-form-urlencoded\r\n"
                   b"Content-Length: %d\r\nConnection: close\r\n\r\n%s" % (len(body), body))
        raw_exchange(self.srv.port, request)
        entry = self.srv.log()[-1]
        self.assertEqual([h[0] for h in entry["headers"]],
                         ["Host", "User-Agent", "Cookie", "Content-Type", "Content-Length",
                          "Connection"])
        self.assertEqual(entry["headers"][1], ["User-Agent", "TavrensilClient/1.0"])
        self.assertEqual(entry["form"], {"build": BUILD, "challenge": "c1", "csid": "zz", "sig": "sü"})
        self.assertEqual(list(entry["form"]), ["build", "challenge", "csid", "sig"])
        self.assertEqual((entry["method"], entry["path"], entry["endpoint"], entry["shard"]),
                         ("POST", "/s2/api/client/beat", "beat", "/s2"))
        self.assertEqual((entry["status"], entry["verdict"], entry["device"]),
                         (200, "unknown-csid", "abc"))
        self.assertRegex(entry["time"], r"^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z$")

    def test_log_file_mirrors_the_log(self):
        self.srv.request("GET", "/api/client/update?build=" + BUILD)
        self.srv.request("GET", "/api/client/hello?build=" + BUILD)
        kept = self.srv.log()
        with open(self.log_path, encoding="utf-8") as f:
            lines = [json.loads(line) for line in f]
        self.assertEqual(lines[-2:], kept)
        self.assertEqual(self.srv.control("log")[1]["last"], kept[-1]["seq"])
        since = self.srv.request("GET", "/_control/log?since=%d" % kept[0]["seq"])[2]
        self.assertEqual(json.loads(since)["entries"], kept[1:])

    def test_control_requests_are_not_logged(self):
        self.srv.control("sessions")
        self.srv.control("faults")
        self.assertEqual(self.srv.log(), [])

    def test_sessions_and_reset(self):
        self.srv.start_session("/s11")
        state = self.srv.control("sessions")[1]
        self.assertEqual(state["sessions"][0]["world"], "s11")
        self.assertEqual(state["config"]["dev_token"], "DEMO")
        self.assertEqual(self.srv.control("reset", {"log": False})[0], 200)
        state = self.srv.control("sessions")[1]
        self.assertEqual(state["sessions"], [])
        self.assertNotEqual(self.srv.log(), [])   # log kept on request
        self.assertEqual([t["token"] for t in state["tokens"]], ["DEMO"])  # dev token survives

    def test_token_links(self):
        status, answer = self.srv.control("token", {"user": "ali"})
        links = answer["links"]
        self.assertEqual(set(links), {"main"} | {"s%d" % n for n in range(2, 16)})
        self.assertEqual(links["s3"][1], "%s/s3/play?token=%s" % (self.srv.base, answer["token"]))
        self.assertEqual(client_parse_play_url(links["main"][0]), ("local", "", answer["token"]))
        self.assertEqual(self.srv.control("nothing", {})[0], 404)


# ---------------------------------------------------------------------------
# Servers with their own options.


class OptionsTest(unittest.TestCase):
    def test_accounts_builds_and_command_line_faults(self):
        srv = ServerProcess("--accounts", "ali,veli", "--required-build", "8",
                            "--latest-build", "9", "--download-url", "https://example.invalid/dl",
                            "--fault", "hello=status:503:once", "--movie", "Loading.swf")
        try:
            status, answer = srv.get_json("/api/client/update?build=7")
            self.assertEqual(answer["must_update"], True)
            self.assertEqual((answer["latest_build"], answer["download_url"]),
                             (9, "https://example.invalid/dl"))
            self.assertEqual(srv.get_json("/api/client/update?build=8")[1]["must_update"], False)
            self.assertEqual(srv.request("GET", "/api/client/hello?build=8")[0], 503)
            self.assertEqual(srv.get_json("/api/client/hello?build=8")[1]["ok"], True)
            self.assertEqual(srv.get_json("/api/client/hello?build=7")[1]["update"], True)
            for name, allowed in (("ali", True), ("mehmet", False)):
                status, headers, _ = srv.request("POST", "/login", ("name=" + name).encode())
                self.assertEqual(status == 303, allowed, name)
            token = srv.new_token("veli")
            status, answer = srv.play(token, "/s2", build="8")
            self.assertTrue(answer["ok"], answer)
            self.assertTrue(answer["movie"].endswith("/s2/static/Loading.swf"))
        finally:
            self.assertEqual(srv.stop(), 0)

    def test_movie_url_as_given(self):
        for text in (r"\\127.0.0.1\share\x.swf", "file:///C:/x.swf"):
            with self.subTest(movie_url=text):
                srv = ServerProcess("--movie-url", text)
                try:
                    status, answer = srv.play(srv.new_token(), "/s3")
                    self.assertEqual((answer["ok"], answer["movie"]), (True, text))
                finally:
                    srv.stop()
        for bad in ("", "file:///x\x01.swf"):
            with self.subTest(movie_url=bad):
                proc = subprocess.run([sys.executable, SERVER, "--port", "0", "--movie-url", bad],
                                      capture_output=True, timeout=10)
                self.assertEqual(proc.returncode, 2)
                self.assertIn(b"--movie-url", proc.stderr)

    def installer_file(self, data, name="Tavrensil Setup.exe"):
        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)
        return f.name

    def test_installer(self):
        data = fake_installer()
        file, sec = self.installer_file(data), SECURITY_ENTRY
        table = len(data) - len(FAKE_SIGNATURE)
        base, where = "https://game.example:8443", "/download/Tavrensil%20Setup.exe"
        # --installer-fault: (the announced SHA-256 is that of the bytes served up
        # to the announced size, bytes served beyond it (read: 65537 at most), the bytes)
        cases = {
            "": (True, 0, lambda got: got == data),
            "wrong-hash": (False, 0, lambda got: got == data),
            "oversize": (True, 65536, lambda got: got.startswith(data)),
            "endless": (True, 65537, lambda got: got.startswith(data)),
            "tampered": (True, 0, lambda got: len(got) == len(data) and
                         sum(a != b for a, b in zip(got, data)) == 1),
            "unsigned": (True, 0, lambda got: got == data[:sec] + bytes(8) + data[sec + 8:table]),
        }
        for mode, (hash_matches, extra, bytes_ok) in cases.items():
            with self.subTest(mode):
                srv = ServerProcess("--installer", file, "--required-build", "8", "--public-url",
                                    base, *(["--installer-fault", mode] if mode else []))
                try:
                    self.assertNotIn("installer_url", srv.get_json("/api/client/update?build=8")[1])
                    answer = srv.get_json("/api/client/update?build=7")[1]
                    self.assertEqual((answer["installer_url"], answer["latest_build"]),
                                     (base + where, 8))
                    size = answer["installer_size"]
                    raw = raw_exchange(srv.port, b"GET %s HTTP/1.1\r\nConnection: close\r\n\r\n"
                                       % where.encode(), limit=size + 65537 + 200)  # 200: the head
                    _, headers, got = split_response(raw)
                    self.assertEqual((headers["content-type"], srv.log()[-1]["endpoint"]),
                                     ("application/octet-stream", "installer"))
                    if not mode:   # HEAD, and the fault kinds of every endpoint
                        _, head, body = srv.request("HEAD", where)
                        self.assertEqual((head["Content-Length"], body), (str(size), b""))
                        srv.control("fault", {"rule": "installer=status:503:once"})
                        self.assertEqual(srv.request("GET", where)[0], 503)
                finally:
                    srv.stop()
                got = got[:size + 65537]
                self.assertEqual(headers.get("content-length"),
                                 None if mode == "endless" else str(len(got)))
                self.assertEqual(hashlib.sha256(got[:size]).hexdigest() ==
                                 answer["installer_sha256"], hash_matches)
                self.assertEqual((len(got) - size, bytes_ok(got)), (extra, True))

    def test_installer_start_up_errors(self):
        data = fake_installer()
        huge = self.installer_file(b"", "huge.exe")
        os.truncate(huge, 512 * 1024 * 1024 + 1)   # sparse
        for args, says in [
                (["--installer", huge + ".none"], "No such file"),
                (["--installer", self.installer_file(b"PK\x03\x04", "x.zip")], "no MZ header"),
                (["--installer", huge], "larger than 512 MiB"),
                (["--installer-fault", "tampered", "--installer", self.installer_file(
                    data[:SECURITY_ENTRY] + bytes(8) + data[SECURITY_ENTRY + 8:])], "not signed")]:
            with self.subTest(says):
                proc = subprocess.run([sys.executable, SERVER, "--port", "0"] + args,
                                      capture_output=True, timeout=10)
                self.assertEqual((proc.returncode, len(proc.stderr.splitlines())), (2, 1))
                self.assertIn(says.encode(), proc.stderr)

    def test_expiry(self):
        srv = ServerProcess("--token-ttl", "0.5", "--challenge-ttl", "0.5", "--session-idle", "0.5")
        try:
            session = srv.start_session("/s2")
            late_token, late_challenge = srv.new_token(), srv.hello("/s2")
            time.sleep(0.6)
            status, answer = srv.play(late_token, "/s2")
            self.assertEqual((answer["error"], srv.last_verdict()),
                             ("Oturum süresi doldu, lütfen tekrar giriş yapın.", "expired-token"))
            status, answer = srv.play(srv.new_token(), "/s2", challenge=late_challenge)
            self.assertEqual(srv.last_verdict(), "expired-challenge")
            status, answer = srv.session_request("beat", "/s2", session["csid"], session["challenge"])
            self.assertEqual(answer, {"ok": False, "fatal": True,
                                      "error": "Oturum süresi doldu, lütfen tekrar giriş yapın."})
        finally:
            srv.stop()

    def test_require_device(self):
        srv = ServerProcess("--require-device")
        try:
            _, headers, _ = srv.request("GET", "/?client=1")
            device = headers["Set-Cookie"].split(";")[0]
            _, headers, _ = srv.request("POST", "/login", b"name=can", {"Cookie": device})
            web = headers["Set-Cookie"].split(";")[0]
            page = srv.request("GET", "/worlds", headers={"Cookie": device + "; " + web})[2].decode()
            token = client_parse_play_url(html.unescape(re.search(
                r'class="play-path" href="([^"]+)"', page).group(1)))[2]
            challenge = srv.hello()
            fields = {"build": BUILD, "challenge": challenge.decode(), "scheme": "http", "token": token,
                      "sig": sig(b"play", challenge, token.encode() + b"\nlocal").decode()}
            status, answer = srv.post_json_answer("/api/client/play", fields)
            self.assertEqual((answer["ok"], srv.last_verdict()), (False, "bad-device"))
            status, answer = srv.post_json_answer("/api/client/play", fields,
                                                  headers={"Cookie": "rb_dev=" + "0" * 32})
            self.assertEqual(srv.last_verdict(), "bad-device")
            status, answer = srv.post_json_answer("/api/client/play", fields,
                                                  headers={"Cookie": device})
            self.assertTrue(answer["ok"], answer)
        finally:
            srv.stop()

    def test_tls(self):
        openssl = shutil.which("openssl")
        if not openssl:
            self.skipTest("openssl is needed to make a test certificate")
        folder = tempfile.mkdtemp()
        try:
            cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
            subprocess.run([openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt",
                            "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1",
                            "-subj", "/CN=localhost", "-keyout", key, "-out", cert],
                           check=True, capture_output=True, timeout=20)
            srv = ServerProcess("--tls-cert", cert, "--tls-key", key)
            try:
                self.assertEqual(srv.scheme, "https")
                status, answer = srv.play(srv.new_token(), "/s3", scheme="https")
                self.assertTrue(answer["ok"], answer)
                self.assertTrue(answer["movie"].startswith("https://127.0.0.1:"))
                status, answer = srv.play(srv.new_token(), "/s3", scheme="http")
                self.assertEqual(srv.last_verdict(), "bad-scheme")
                # A plain-HTTP client does not disturb the TLS server.
                with socket.create_connection(("127.0.0.1", srv.port), timeout=5) as s:
                    s.sendall(b"GET / HTTP/1.1\r\n\r\n")
                    s.recv(100)
                self.assertEqual(srv.get_json("/api/client/update?build=" + BUILD)[0], 200)
            finally:
                self.assertEqual(srv.stop(), 0)
        finally:
            shutil.rmtree(folder)


class BrokenModeTest(unittest.TestCase):
    """--break: deliberately broken rules, for testing the operator kit
    (operator_kit/ covers every mode against the kit)."""

    def test_unknown_mode_is_a_usage_error(self):
        proc = subprocess.run([sys.executable, SERVER, "--port", "0", "--break", "nonsense"],
                              capture_output=True, timeout=10)
        self.assertEqual(proc.returncode, 2)
        self.assertIn(b"reuse-challenge", proc.stderr)

    def test_modes_are_announced_and_applied(self):
        srv = ServerProcess("--dev-token", "DEMO", "--break", "reuse-challenge",
                            "--break", "ignore-bye")
        try:
            self.assertEqual(srv.control("state")[1]["config"]["broken"],
                             ["ignore-bye", "reuse-challenge"])
            _, answer = srv.play("DEMO", "/s3")
            csid, first = answer["csid"].encode(), answer["challenge"].encode()
            for _ in range(2):   # the same challenge twice: accepted both times
                _, beat = srv.post_json_answer("/s3/api/client/beat", {
                    "build": BUILD, "challenge": first.decode(), "csid": csid.decode(),
                    "sig": sig(b"beat", first, csid).decode()})
                self.assertIs(beat["ok"], True, beat)
        finally:
            self.assertEqual(srv.stop(), 0)

    def test_warning_on_standard_error(self):
        proc = subprocess.Popen([sys.executable, SERVER, "--port", "0", "--break", "no-roll"],
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        try:
            self.assertTrue(proc.stdout.readline().startswith(b"serving "))
        finally:
            proc.send_signal(signal.SIGTERM)
            _, err = proc.communicate(timeout=10)
        self.assertIn(b"deliberately broken (--break no-roll)", err)


class SignalTest(unittest.TestCase):
    def test_sigterm_and_sigint_exit_zero(self):
        for signum in (signal.SIGTERM, signal.SIGINT):
            with self.subTest(signal=signum):
                srv = ServerProcess()
                self.assertEqual(srv.get_json("/api/client/update?build=" + BUILD)[0], 200)
                started = time.monotonic()
                self.assertEqual(srv.stop(signum), 0)
                self.assertLess(time.monotonic() - started, 3)

    def test_exit_with_hostile_connections_open(self):
        """Hostile answers end on SIGTERM (each says so on stderr), however
        the peer behaves, and do not hold up the exit."""
        errors = tempfile.TemporaryFile()
        proc, base = startup.start(["--fault", "beat=silent", "--fault", "update=endless"],
                                   stderr=errors, cwd=REPO)
        port = int(base.rsplit(":", 1)[1])
        silent = socket.create_connection(("127.0.0.1", port), timeout=5)
        endless = socket.create_connection(("127.0.0.1", port), timeout=5)
        try:
            endless.sendall(raw_request(b"GET", b"/api/client/update?build=" + BUILD_B))
            endless.recv(100)           # answering now, and never read again
            silent.sendall(raw_request(b"POST", b"/api/client/beat"))
            time.sleep(0.3)             # the silent request is read and held
            started = time.monotonic()
            proc.send_signal(signal.SIGTERM)
            self.assertEqual(proc.wait(5), 0)
            self.assertLess(time.monotonic() - started, 2)
            errors.seek(0)
            text = errors.read().decode("utf-8")
            for kind in ("silent", "endless"):
                self.assertRegex(text, r"fault:%s \(server stopping after \d+ bytes\)" % kind)
        finally:
            silent.close()
            endless.close()
            proc.stdout.close()
            errors.close()

    def test_exit_while_a_request_is_delayed(self):
        srv = ServerProcess("--fault", "hello=delay:30000")
        conn = srv.connection(timeout=10)
        conn.request("GET", "/api/client/hello?build=" + BUILD)
        time.sleep(0.2)
        started = time.monotonic()
        self.assertEqual(srv.stop(), 0)
        self.assertLess(time.monotonic() - started, 3)
        conn.close()


if __name__ == "__main__":
    unittest.main()
