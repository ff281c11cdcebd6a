"""Game state of the reference server: worlds, key, signatures, sessions.

Everything the client API decides lives here, independent of HTTP: which
world a path prefix names, which site name the client signs for that world,
login tokens, one-time challenges, client sessions and the checks made on
play, beat and bye. The HTTP layer (server.py) only parses requests and
turns the outcomes into answers.

All state is kept in memory behind one lock; the server is small and the
requests are short, so a single lock keeps the rules easy to follow.
"""

import hashlib
import hmac
import os
import re
import secrets
import threading
import time
from dataclasses import dataclass, field

SIGN_PREFIX = b"TAVRENSIL/1\n"

# The client's version is written in the repository's VERSION file alone.
VERSION_FILE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "VERSION")


def read_client_version(path=VERSION_FILE):
    """The client's version ("major.minor.patch") and build number, its last number."""
    with open(path, encoding="ascii") as f:
        version = f.readline().strip()
    if not re.fullmatch(r"[0-9]+\.[0-9]+\.[0-9]+", version):
        raise ValueError("%s: expected major.minor.patch, found %r" % (path, version))
    return version, int(version.rsplit(".", 1)[1])


CLIENT_VERSION, CLIENT_BUILD = read_client_version()

# ---------------------------------------------------------------------------
# User-facing texts. The client shows "error" unchanged in a message box (or
# writes it to its log for a fatal beat), so they are proper Turkish.


class Text:
    INVALID_REQUEST = "Geçersiz istek."
    NOT_FOUND = "Aradığınız adres bulunamadı."
    UNKNOWN_WORLD = "Bilinmeyen oyun dünyası."
    METHOD = "Bu adres bu istek yöntemini desteklemiyor."
    TOO_LARGE = "İstek çok büyük."
    UPDATE_REQUIRED = ("İstemci sürümünüz artık desteklenmiyor, "
                       "lütfen yeni sürümü indirin.")
    TOKEN_EXPIRED = "Oturum süresi doldu, lütfen tekrar giriş yapın."
    TOKEN_USED = ("Bu oturum anahtarı zaten kullanıldı, "
                  "lütfen tekrar giriş yapın.")
    CHALLENGE_UNKNOWN = "Güvenlik doğrulaması başarısız."
    CHALLENGE_REPLAYED = ("Güvenlik kodu daha önce kullanılmış; "
                          "istek reddedildi.")
    CHALLENGE_EXPIRED = "Güvenlik kodunun süresi doldu, lütfen tekrar deneyin."
    BAD_SIG = "İmza doğrulanamadı."
    BAD_SCHEME = "Bağlantı türü doğrulanamadı."
    BAD_DEVICE = "Cihaz doğrulanamadı, lütfen siteye tekrar giriş yapın."
    UNKNOWN_SESSION = "Oturum bulunamadı."
    SESSION_ENDED = "Oturum sona erdi."
    SESSION_ALREADY_ENDED = "Oturum zaten sona ermiş."
    SESSION_EXPIRED = TOKEN_EXPIRED
    SESSION_KILLED = ("Başka bir cihazdan giriş yapıldığı için oturumunuz sonlandırıldı. "
                      "İyi oyunlar.")
    UNAVAILABLE = "Sunucu şu anda hizmet veremiyor, lütfen daha sonra tekrar deneyin."


# ---------------------------------------------------------------------------
# Worlds.


@dataclass(frozen=True)
class World:
    key: str        # our own name of the world: "main", "s2" .. "s15"
    site_name: str  # the name the client derives from the play URL and signs
    shard: str      # path prefix of the world's client API: "" or "/sN"
    title: str


def _make_worlds():
    # The client reads the main world as the site "local" with no prefix
    # (both from a plain "/play" URL and from "site=local"); every other world
    # is "sN" with the prefix "/sN", whether named by "site=sN" or by a "/sN/"
    # path segment. So each world has exactly one site name to verify.
    worlds = [World("main", "local", "", "Ana Dünya")]
    for n in range(2, 16):
        worlds.append(World("s%d" % n, "s%d" % n, "/s%d" % n, "Sunucu %d" % n))
    return tuple(worlds)


WORLDS = _make_worlds()
WORLD_BY_SHARD = {w.shard: w for w in WORLDS}
WORLD_BY_KEY = {w.key: w for w in WORLDS}

# Names a client might sign with by mistake; used only to explain a refusal
# in the request log ("wrong-site:main"), never to accept a request.
_MISTAKEN_SITE_NAMES = tuple(w.site_name for w in WORLDS) + ("main", "s1", "")

_SHARD_PATH = re.compile(r"^(/s\d+)(/.*)?$")


def split_shard(path):
    """Split a request path into (shard prefix, rest).

    "/s3/api/client/hello" gives ("/s3", "/api/client/hello"). A path that
    starts with "/s" and digits but names no world (for example "/s16/...")
    gives that prefix anyway, so the caller can answer "unknown world".
    """
    m = _SHARD_PATH.match(path)
    if not m:
        return "", path
    return m.group(1), m.group(2) or "/"


def play_links(world, token):
    """The two play URL shapes for a world, as paths on this site.

    The "site=" shape names the world by parameter; the path shape by the
    "/sN/" segment (the main world has no segment). Both lead the client to
    the same site name and prefix.
    """
    by_param = "/play?site=%s&token=%s" % (world.site_name, token)
    by_path = "%s/play?token=%s" % (world.shard, token)
    return by_param, by_path


# ---------------------------------------------------------------------------
# The signing key and signatures.


class KeyFileError(ValueError):
    pass


def read_key_parts(path):
    """Read the key from its two halves: lines A=<64 hex> and B=<64 hex>.

    The key is never written down whole; it is the byte-wise XOR of the
    halves, exactly as the client builds it.
    """
    parts = {}
    with open(path, "r", encoding="ascii") as f:
        for number, raw in enumerate(f, 1):
            line = raw.strip()
            if not line or line.startswith("#"):
                continue
            name, sep, value = line.partition("=")
            name = name.strip()
            if not sep or name not in ("A", "B"):
                raise KeyFileError("%s:%d: expected A=<hex> or B=<hex>" % (path, number))
            try:
                data = bytes.fromhex(value.strip())
            except ValueError:
                raise KeyFileError("%s:%d: not hexadecimal" % (path, number)) from None
            if len(data) != 32:
                raise KeyFileError("%s:%d: a key half must be 32 bytes" % (path, number))
            parts[name] = data
    if set(parts) != {"A", "B"}:
        raise KeyFileError("%s: both A and B are required" % path)
    return bytes(a ^ b for a, b in zip(parts["A"], parts["B"]))


def canonical_text(action, challenge, subject):
    """The signed text: prefix, then action, challenge and subject on lines.

    All three are bytes taken exactly as they arrived; nothing is escaped.
    """
    return SIGN_PREFIX + action + b"\n" + challenge + b"\n" + subject


def sign(key, action, challenge, subject):
    """HMAC-SHA-256 of the canonical text as 64 lower-case hex digits."""
    return hmac.new(key, canonical_text(action, challenge, subject),
                    hashlib.sha256).hexdigest()


def play_subject(token, site_name):
    """The third signed part of play: token, a line feed, the site name."""
    return token + b"\n" + site_name


def signature_matches(key, sig, action, challenge, subject):
    expected = sign(key, action, challenge, subject)
    return hmac.compare_digest(expected.encode("ascii"), sig)


# ---------------------------------------------------------------------------
# Records.


@dataclass
class Token:
    value: str
    user: str
    device: str          # the rb_dev cookie of the browser that logged in
    issued: float        # wall clock, for display
    expires: float       # monotonic; 0 = never (the development token)
    reusable: bool = False
    used_by: str = ""    # csid of the session that spent it


@dataclass
class Challenge:
    value: str
    shard: str
    csid: str            # "" for a hello challenge
    expires: float       # monotonic; 0 = never
    used: bool = False


@dataclass
class Session:
    csid: str
    user: str
    world: World
    token: str
    device: str
    started: float       # wall clock
    last_seen: float     # monotonic
    challenge: str
    beats: int = 0
    state: str = "active"    # active, ended, expired
    end_reason: str = ""
    history: list = field(default_factory=list)


class Refused(Exception):
    """A contract-level refusal: answered with 200 and ok:false.

    `verdict` is the machine-readable reason for the request log; `text` is
    what the player reads.
    """

    def __init__(self, verdict, text, fatal=False, update=False):
        super().__init__(verdict)
        self.verdict = verdict
        self.text = text
        self.fatal = fatal
        self.update = update

    def answer(self):
        body = {"ok": False}
        if self.update:
            body["update"] = True
        if self.fatal:
            body["fatal"] = True
        body["error"] = self.text
        return body


class Malformed(Exception):
    """A request that does not follow the API at all: answered with 400."""

    def __init__(self, verdict):
        super().__init__(verdict)
        self.verdict = verdict


@dataclass
class Config:
    key: bytes
    required_build: int = CLIENT_BUILD
    latest_build: int = CLIENT_BUILD
    download_url: str = ""
    accounts: tuple = ()          # empty = any non-empty name logs in
    dev_token: str = ""
    movie_name: str = "game.swf"
    token_ttl: float = 300.0
    challenge_ttl: float = 120.0
    session_idle: float = 120.0   # 0 = sessions never expire
    require_device: bool = False
    broken: frozenset = frozenset()   # deliberately broken modes, see BROKEN_MODES
    installer: object = None      # installer.Installer offered to builds that must update


# Deliberately broken modes (--break MODE): each one breaks one rule of the
# client contract on purpose, so that the operator kit can be shown to catch
# it. Never for anything else.
BROKEN_MODES = {
    "reuse-challenge": "beat and bye accept a session challenge that was already spent",
    "reuse-hello-challenge": "play accepts a hello challenge that was already spent",
    "no-roll": "beat answers the challenge it was sent again instead of a new one",
    "accept-bad-sig": "beat and bye accept any signature",
    "accept-bad-play-sig": "play accepts any signature",
    "ignore-bye": "bye answers ok but neither ends the session nor spends its challenge",
    "refuse-with-status": "refusals of play, beat and bye come as HTTP 403, not 200 with ok:false",
}


_BUILD = re.compile(r"^-?\d{1,9}$")
_USER_NAME = re.compile(r"^[^\x00-\x1f\x7f]{1,32}$")


def parse_build(text):
    """The client's build number from a query or form value (str or bytes)."""
    if isinstance(text, bytes):
        text = text.decode("ascii", "replace")
    if text is None or not _BUILD.match(text):
        raise Malformed("bad-build")
    return int(text)


def require_fields(form, names):
    missing = [n for n in names if n not in form]
    if missing:
        raise Malformed("missing-field:" + ",".join(missing))


# ---------------------------------------------------------------------------
# The state.


class GameState:
    """Tokens, challenges, sessions and devices, behind one lock."""

    def __init__(self, config, clock=time.monotonic):
        self.config = config
        self.clock = clock
        self.lock = threading.RLock()
        self.reset()

    def reset(self):
        with self.lock:
            self.tokens = {}
            self.challenges = {}
            self.sessions = {}
            self.devices = {}        # rb_dev value -> wall clock of issue
            self.web_sessions = {}   # rb_web value -> {"user", "device", "token"}
            self.start_page = {"with_header": 0, "without_header": 0, "last": None}
            if self.config.dev_token:
                self.tokens[self.config.dev_token] = Token(
                    self.config.dev_token, "dev", "", time.time(), 0, reusable=True)

    # -- web site -----------------------------------------------------------

    def check_account(self, name):
        """The cleaned account name, or None when it may not log in."""
        name = (name or "").strip()
        if not _USER_NAME.match(name):
            return None
        if self.config.accounts and name not in self.config.accounts:
            return None
        return name

    def new_device(self):
        value = secrets.token_hex(16)
        with self.lock:
            self.devices[value] = time.time()
        return value

    def note_start_page(self, header_value, device):
        with self.lock:
            arrived = header_value is not None and header_value.strip() == "1"
            self.start_page["with_header" if arrived else "without_header"] += 1
            self.start_page["last"] = {"time": time.time(), "header": header_value,
                                       "device": device}
        return arrived

    def login(self, user, device):
        """Open a web session and issue its first play token."""
        web_id = secrets.token_urlsafe(24)
        with self.lock:
            token = self._issue_token(user, device)
            self.web_sessions[web_id] = {"user": user, "device": device,
                                         "token": token.value}
        return web_id, token

    def logout(self, web_id):
        with self.lock:
            self.web_sessions.pop(web_id, None)

    def web_user(self, web_id):
        with self.lock:
            web = self.web_sessions.get(web_id or "")
            return web["user"] if web else None

    def current_token(self, web_id):
        """The web session's play token, renewed once spent or expired.

        A token is single use, so after a game the worlds page shows a fresh
        one; the player never has to log in again just to play again.
        """
        with self.lock:
            web = self.web_sessions.get(web_id or "")
            if web is None:
                return None
            token = self.tokens.get(web["token"])
            if token is None or token.used_by or self._expired(token.expires):
                token = self._issue_token(web["user"], web["device"])
                web["token"] = token.value
            return token

    def issue_token(self, user, device=""):
        with self.lock:
            return self._issue_token(user, device)

    def _issue_token(self, user, device):
        token = Token(secrets.token_urlsafe(18), user, device, time.time(),
                      self.clock() + self.config.token_ttl)
        self.tokens[token.value] = token
        return token

    def _expired(self, deadline):
        return deadline != 0 and self.clock() >= deadline

    # -- client API -----------------------------------------------------------

    def update_answer(self, build, default_download_url, installer_url=""):
        """The update check. The client compares no versions itself: it
        updates exactly when we say so, i.e. when its build is below the
        required one. A build that must update is also offered the
        installer, when there is one, at `installer_url`."""
        answer = {
            "ok": True,
            "must_update": build < self.config.required_build,
            "latest_build": self.config.latest_build,
            "required_build": self.config.required_build,
            "download_url": self.config.download_url or default_download_url,
        }
        offered = self.config.installer
        if answer["must_update"] and offered is not None:
            answer.update(installer_url=installer_url, installer_sha256=offered.sha256,
                          installer_size=offered.size)
        return answer

    def hello(self, world, build):
        if build < self.config.required_build:
            raise Refused("old-build", Text.UPDATE_REQUIRED, update=True)
        with self.lock:
            challenge = self._issue_challenge(world.shard, "", self.config.challenge_ttl)
        return {"ok": True, "challenge": challenge}

    def _issue_challenge(self, shard, csid, ttl):
        value = secrets.token_hex(16)
        expires = self.clock() + ttl if ttl else 0
        self.challenges[value] = Challenge(value, shard, csid, expires)
        return value

    def _check_build(self, form):
        if parse_build(form.get("build")) < self.config.required_build:
            raise Refused("old-build", Text.UPDATE_REQUIRED)

    def play(self, world, form, secure, device, movie_for):
        """Check a play request; on success open a session.

        `form` maps field names to raw bytes. `secure` tells whether the
        request came over TLS, which the client reports in "scheme".
        `movie_for(world, csid, user)` gives the movie URL and FlashVars.
        """
        require_fields(form, ("build", "challenge", "scheme", "sig", "token"))
        self._check_build(form)
        if form["scheme"] != (b"https" if secure else b"http"):
            raise Refused("bad-scheme", Text.BAD_SCHEME)
        with self.lock:
            token = self._check_token(form["token"])
            self._check_device(token, device)
            challenge = self._check_challenge(form["challenge"], world.shard, "")
            subject = play_subject(form["token"], world.site_name.encode("ascii"))
            if "accept-bad-play-sig" not in self.config.broken:
                self._check_sig(form["sig"], b"play", form["challenge"], subject,
                                lambda site: play_subject(form["token"], site.encode()))
            if "reuse-hello-challenge" not in self.config.broken:
                challenge.used = True
            session = self._open_session(world, token, device)
        movie, flashvars = movie_for(world, session.csid, session.user)
        return {"ok": True, "csid": session.csid, "challenge": session.challenge,
                "movie": movie, "flashvars": flashvars, "world": world.site_name,
                "user": session.user}

    def _check_token(self, raw):
        token = self.tokens.get(_text(raw))
        if token is None:
            raise Refused("unknown-token", Text.TOKEN_EXPIRED)
        if self._expired(token.expires):
            raise Refused("expired-token", Text.TOKEN_EXPIRED)
        if token.used_by and not token.reusable:
            raise Refused("used-token", Text.TOKEN_USED)
        return token

    def _check_device(self, token, device):
        """With --require-device: the rb_dev cookie must be one we issued and,
        when the token came from a browser login, that browser's cookie."""
        if not self.config.require_device:
            return
        if not device or device not in self.devices:
            raise Refused("bad-device", Text.BAD_DEVICE)
        if token.device and token.device != device:
            raise Refused("bad-device", Text.BAD_DEVICE)

    def _check_challenge(self, raw, shard, csid):
        challenge = self.challenges.get(_text(raw))
        if challenge is None:
            raise Refused("unknown-challenge", Text.CHALLENGE_UNKNOWN)
        if challenge.used:
            raise Refused("replayed-challenge", Text.CHALLENGE_REPLAYED)
        if challenge.shard != shard or challenge.csid != csid:
            raise Refused("wrong-challenge", Text.CHALLENGE_UNKNOWN)
        if self._expired(challenge.expires):
            raise Refused("expired-challenge", Text.CHALLENGE_EXPIRED)
        return challenge

    def _check_sig(self, sig, action, challenge, subject, subject_for_site=None):
        if signature_matches(self.config.key, sig, action, challenge, subject):
            return
        # Explain the refusal in the log: a signature that is right for
        # another site name points at the client's play-URL parsing.
        if subject_for_site is not None:
            for site in _MISTAKEN_SITE_NAMES:
                if signature_matches(self.config.key, sig, action, challenge,
                                     subject_for_site(site)):
                    raise Refused("wrong-site:" + site, Text.BAD_SIG)
        raise Refused("bad-sig", Text.BAD_SIG)

    def _open_session(self, world, token, device):
        csid = secrets.token_hex(16)
        token.used_by = csid
        challenge = self._issue_challenge(world.shard, csid, 0)
        session = Session(csid, token.user, world, token.value, device,
                          time.time(), self.clock(), challenge)
        self.sessions[csid] = session
        return session

    def beat(self, world, form):
        require_fields(form, ("build", "challenge", "csid", "sig"))
        self._check_build(form)
        with self.lock:
            session = self._live_session(world, form["csid"], for_bye=False)
            self._spend_session_challenge(session, b"beat", form)
            session.beats += 1
            return {"ok": True, "challenge": session.challenge}

    def bye(self, world, form):
        require_fields(form, ("build", "challenge", "csid", "sig"))
        self._check_build(form)
        with self.lock:
            session = self._live_session(world, form["csid"], for_bye=True)
            if "ignore-bye" in self.config.broken:
                return {"ok": True}
            self._spend_session_challenge(session, b"bye", form)
            self._end(session, "ended", "bye")
            return {"ok": True}

    def _live_session(self, world, raw_csid, for_bye):
        """The session a beat or bye names, refusing ended or idle ones.

        An ended or expired session is fatal for a beat (the client stops
        beating) and a plain refusal for a bye (nothing follows it anyway).
        """
        session = self.sessions.get(_text(raw_csid))
        if session is None:
            raise Refused("unknown-csid", Text.UNKNOWN_SESSION)
        if session.world.shard != world.shard:
            raise Refused("wrong-shard", Text.UNKNOWN_SESSION)
        idle = self.config.session_idle
        if session.state == "active" and idle and self.clock() - session.last_seen > idle:
            self._end(session, "expired", "idle")
        if session.state == "expired":
            raise Refused("expired-session", Text.SESSION_EXPIRED, fatal=not for_bye)
        if session.state != "active":
            text = Text.SESSION_ALREADY_ENDED if for_bye else Text.SESSION_ENDED
            raise Refused("ended-session", text, fatal=not for_bye)
        return session

    def _spend_session_challenge(self, session, action, form):
        broken = self.config.broken
        challenge = self._check_challenge(form["challenge"], session.world.shard,
                                          session.csid)
        if "accept-bad-sig" not in broken:
            self._check_sig(form["sig"], action, form["challenge"], form["csid"])
        session.last_seen = self.clock()
        session.history.append(action.decode())
        if "no-roll" in broken:
            return
        if "reuse-challenge" not in broken:
            challenge.used = True
        session.challenge = self._issue_challenge(session.world.shard, session.csid, 0)

    def _end(self, session, state, reason):
        session.state = state
        session.end_reason = reason

    def kill_session(self, raw_csid, reason):
        """End a session from outside the protocol (a fatal-beat fault)."""
        with self.lock:
            session = self.sessions.get(_text(raw_csid))
            if session is not None and session.state == "active":
                self._end(session, "ended", reason)
                return True
        return False

    # -- state for the control API -------------------------------------------------------------

    def snapshot(self):
        """The whole state as plain data, for the control endpoint."""
        now = self.clock()
        with self.lock:
            return {
                "tokens": [_token_view(t, now) for t in self.tokens.values()],
                "sessions": [_session_view(s) for s in self.sessions.values()],
                "challenges": {
                    "issued": len(self.challenges),
                    "unused": sum(1 for c in self.challenges.values() if not c.used),
                },
                "devices": sorted(self.devices),
                "web_sessions": len(self.web_sessions),
                "start_page": dict(self.start_page),
            }


def _text(raw):
    """Form values are bytes; identifiers we issued are always ASCII."""
    return raw.decode("utf-8", "replace")


def _token_view(token, now):
    return {
        "token": token.value, "user": token.user, "device": token.device,
        "issued": token.issued, "reusable": token.reusable,
        "used_by": token.used_by,
        "expires_in": None if token.expires == 0 else round(token.expires - now, 3),
    }


def _session_view(s):
    return {
        "csid": s.csid, "user": s.user, "world": s.world.key,
        "site_name": s.world.site_name, "shard": s.world.shard,
        "token": s.token, "device": s.device, "started": s.started,
        "challenge": s.challenge, "beats": s.beats, "state": s.state,
        "end_reason": s.end_reason, "history": list(s.history),
    }
