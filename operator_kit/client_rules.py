"""The client's side of the server contract, written again in Python.

These are the decisions the Tavrensil Online client makes, repeated here
without reusing any of the client's or the reference server's code, so that
the operator kit and the browser check judge a server by the same rules the
client follows:

* which navigations of the embedded browser are play navigations that the
  client takes over (`is_play_navigation`);
* how it reads world, API path prefix (the *shard*) and token out of a play
  URL (`parse_play_url`);
* how it encodes a form body (`url_encode`, `encode_form`);
* how it reads the signing key halves and signs play, beat and bye
  (`read_key_parts`, `canonical_text`, `sign`).

Standard library only.
"""

import hashlib
import hmac
import os

VERSION_FILE = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "VERSION")


def read_client_build(path=VERSION_FILE):
    """The client's build number as it sends it: the last number of the
    repository's VERSION file ("major.minor.patch"), where alone it is written."""
    with open(path, encoding="ascii") as f:
        build = f.readline().strip().rpartition(".")[2]
    if not build.isdigit():
        raise ValueError("%s: expected major.minor.patch" % path)
    return build


BUILD = read_client_build()     # sent as text
API_USER_AGENT = "TavrensilClient/1.0"
CLIENT_HEADER = ("X-Tavrensil-Client", "1")   # sent with the start page only
DEVICE_COOKIE = "rb_dev"
SIGN_PREFIX = b"TAVRENSIL/1\n"

# ---------------------------------------------------------------------------
# The embedded browser's play navigation and the play URL.


def is_play_navigation(url):
    """True when the client cancels this navigation and starts a session.

    The test is a case-sensitive substring search: "/play" anywhere, or
    else "play?" anywhere. "/Play" alone does not count.
    """
    return "/play" in url or "play?" in url


def _value_after(url, start):
    """Text from `start` up to the first of "&", "#", "?" or the end."""
    end = len(url)
    for stop in "&#?":
        i = url.find(stop, start)
        if i != -1 and i < end:
            end = i
    return url[start:end]


def parse_play_url(url):
    """(site, shard, token) as the client reads a play URL.

    * The first "site=" anywhere wins (a plain substring search, so a
      parameter named "mysite" matches too). Its value runs to "&", "#",
      "?" or the end. "local" and "s1" mean the main world: site "local",
      no shard. Any other non-empty value v gives site v and shard "/v".
      An empty value gives the main world, and the path is not looked at.
    * Without "site=": the highest "/sN/" (N from 15 down to 2) anywhere
      in the URL gives site "sN" and shard "/sN"; otherwise the main world.
    * The token is the text after the first "token=" up to "&", "#", "?" or
      the end, used as it stands (no percent-decoding); None when the URL
      has no "token=".
    """
    site, shard, token = "local", "", None
    at = url.find("site=")
    if at != -1:
        value = _value_after(url, at + len("site="))
        if value and value not in ("local", "s1"):
            site, shard = value, "/" + value
    else:
        for n in range(15, 1, -1):
            if "/s%d/" % n in url:
                site, shard = "s%d" % n, "/s%d" % n
                break
    at = url.find("token=")
    if at != -1:
        token = _value_after(url, at + len("token="))
    return site, shard, token


def names_world(url):
    """Whether a play URL names its world the way the site must: by a
    "site=" parameter or by a "/sN/" path segment with N from 2 to 15.
    The main world's plain "/play?token=..." names none and reads as the
    main world ("local")."""
    if "site=" in url:
        return True
    return any("/s%d/" % n in url for n in range(2, 16))


def world_site_name(world):
    """The site name the client derives for a world given by the user:
    "main", "local", "s1" and "" are the main world ("local")."""
    world = (world or "").strip()
    if world in ("", "main", "local", "s1"):
        return "local"
    return world


def play_url_for(site_base, world, token):
    """A play URL for a world in the shape a site would link it: "/sN/play"
    for s2..s15, "/play" for the main world, "/play?site=NAME" otherwise."""
    site = world_site_name(world)
    base = site_base.rstrip("/")
    if site == "local":
        return "%s/play?token=%s" % (base, token)
    if site[:1] == "s" and site[1:].isdigit() and 2 <= int(site[1:]) <= 15 \
            and site == "s%d" % int(site[1:]):
        return "%s/%s/play?token=%s" % (base, site, token)
    return "%s/play?site=%s&token=%s" % (base, site, token)


# ---------------------------------------------------------------------------
# Form encoding.

_UNRESERVED = frozenset(b"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789-._~")


def url_encode(data):
    """Percent-encode every byte outside A-Z a-z 0-9 - . _ ~ (upper-case
    hex digits, space as %20). Takes str (as UTF-8) or bytes; gives str."""
    if isinstance(data, str):
        data = data.encode("utf-8")
    return "".join(chr(b) if b in _UNRESERVED else "%%%02X" % b for b in data)


def encode_form(fields):
    """The client's form body: entries in ascending byte-wise key order,
    key=value with both encoded by `url_encode`, joined by "&"."""
    def key_bytes(k):
        return k.encode("utf-8") if isinstance(k, str) else k
    items = sorted(fields.items(), key=lambda kv: key_bytes(kv[0]))
    return "&".join("%s=%s" % (url_encode(k), url_encode(v)) for k, v in items).encode("ascii")


# ---------------------------------------------------------------------------
# The signing key and signatures.


class KeyFileError(ValueError):
    pass


def read_key_parts(path):
    """The 32-byte key from its two halves.

    The file holds the lines A=<64 hex digits> and B=<64 hex digits>;
    blank lines and lines starting with "#" are ignored. The key is A XOR B,
    byte by byte.
    """
    halves = {}
    try:
        with open(path, "r", encoding="ascii") as f:
            lines = f.read().splitlines()
    except (OSError, UnicodeDecodeError) as e:
        raise KeyFileError("cannot read the key file %s: %s" % (path, e)) from None
    for number, raw in enumerate(lines, 1):
        line = raw.strip()
        if not line or line.startswith("#"):
            continue
        name, sep, value = line.partition("=")
        name = name.strip()
        if not sep or name not in ("A", "B"):
            raise KeyFileError("%s:%d: expected A=<hex> or B=<hex>" % (path, number))
        if name in halves:
            raise KeyFileError("%s:%d: %s given twice" % (path, number, name))
        try:
            half = bytes.fromhex(value.strip())
        except ValueError:
            raise KeyFileError("%s:%d: not hexadecimal" % (path, number)) from None
        if len(half) != 32:
            raise KeyFileError("%s:%d: a key half is 32 bytes (64 hex digits)" % (path, number))
        halves[name] = half
    if set(halves) != {"A", "B"}:
        raise KeyFileError("%s: both A= and B= are needed" % path)
    return bytes(a ^ b for a, b in zip(halves["A"], halves["B"]))


def _b(value):
    return value.encode("utf-8") if isinstance(value, str) else bytes(value)


def canonical_text(action, challenge, subject):
    """"TAVRENSIL/1\\n" + action + "\\n" + challenge + "\\n" + subject, as
    bytes, nothing escaped and no line feed at the end."""
    return SIGN_PREFIX + _b(action) + b"\n" + _b(challenge) + b"\n" + _b(subject)


def sign(key, action, challenge, subject):
    """HMAC-SHA-256 of the canonical text, 64 lower-case hex digits."""
    return hmac.new(key, canonical_text(action, challenge, subject), hashlib.sha256).hexdigest()


def play_subject(token, site):
    """The third signed part of play: the token, a line feed, the site name."""
    return _b(token) + b"\n" + _b(site)
