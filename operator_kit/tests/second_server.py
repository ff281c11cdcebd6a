"""A second game server for the kit's tests, written from the client's
contract alone (not from the reference server): update, hello, play, beat
and bye answered exactly as the client needs, and nothing more.

Its choices differ from the reference server's where the contract leaves
them open: it keeps only the latest hello challenge of each client (a new
hello replaces it), admits every build, and its update answer carries
must_update alone. A client plays whole sessions against it, so the kit
must not fail it.
"""

import hashlib
import hmac
import json
import secrets
import threading
import urllib.parse
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer

API = "/api/client/"


class SecondServer:
    def __init__(self, key, token, error_text="İstek reddedildi."):
        self.key, self.token, self.error_text = key, token, error_text
        self.lock = threading.Lock()
        self.hello_challenge = {}   # client address -> (prefix, challenge)
        self.sessions = {}          # csid -> {"prefix", "challenge", "ended"}
        handler = type("Handler", (_Handler,), {"app": self})
        self.httpd = ThreadingHTTPServer(("127.0.0.1", 0), handler)
        self.base = "http://127.0.0.1:%d" % self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def stop(self):
        self.httpd.shutdown()
        self.httpd.server_close()

    def signed(self, form, action, subject):
        text = "TAVRENSIL/1\n%s\n%s\n%s" % (action, form.get("challenge", ""), subject)
        expected = hmac.new(self.key, text.encode("utf-8"), hashlib.sha256).hexdigest()
        return hmac.compare_digest(expected.encode(), form.get("sig", "").encode("utf-8"))

    def refuse(self, fatal=False):
        return dict({"ok": False, "error": self.error_text}, **({"fatal": True} if fatal else {}))

    def answer(self, client, prefix, name, form):
        with self.lock:
            if name == "update" and not prefix:
                return {"must_update": False}
            if name == "hello":
                challenge = secrets.token_hex(16)
                self.hello_challenge[client] = (prefix, challenge)
                return {"ok": True, "challenge": challenge}
            if name == "play":
                return self.play(client, prefix, form)
            if name in ("beat", "bye"):
                return self.session_request(prefix, name, form)
        return None

    def play(self, client, prefix, form):
        site = prefix[1:] or "local"
        subject = "%s\n%s" % (form.get("token", ""), site)
        if (self.hello_challenge.get(client) != (prefix, form.get("challenge"))
                or form.get("token") != self.token or not self.signed(form, "play", subject)):
            return self.refuse()
        del self.hello_challenge[client]
        csid, challenge = secrets.token_hex(16), secrets.token_hex(16)
        self.sessions[csid] = {"prefix": prefix, "challenge": challenge, "ended": False}
        return {"ok": True, "csid": csid, "challenge": challenge,
                "movie": "http://127.0.0.1/game.swf", "flashvars": "csid=" + csid}

    def session_request(self, prefix, action, form):
        csid = form.get("csid", "")
        session = self.sessions.get(csid)
        if session is None or session["prefix"] != prefix or session["ended"]:
            return self.refuse(fatal=True)
        if form.get("challenge") != session["challenge"] or not self.signed(form, action, csid):
            return self.refuse()
        if action == "bye":
            session["ended"] = True
            return {"ok": True}
        session["challenge"] = secrets.token_hex(16)
        return {"ok": True, "challenge": session["challenge"]}


class _Handler(BaseHTTPRequestHandler):
    app = None

    def log_message(self, fmt, *args):
        pass

    def do_GET(self):
        self.serve({})

    def do_POST(self):
        length = int(self.headers.get("Content-Length") or 0)
        body = self.rfile.read(min(length, 65536)).decode("utf-8", "replace")
        self.serve(dict(urllib.parse.parse_qsl(body, keep_blank_values=True)))

    def serve(self, form):
        path = urllib.parse.urlsplit(self.path).path
        at = path.find(API)
        answer = None
        if at >= 0:
            answer = self.app.answer(self.client_address[0], path[:at], path[at + len(API):],
                                     form)
        data = json.dumps(answer).encode() if answer is not None else b"not found"
        self.send_response(200 if answer is not None else 404)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.end_headers()
        self.wfile.write(data)
