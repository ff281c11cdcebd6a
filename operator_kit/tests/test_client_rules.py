"""The kit's copy of the client's rules: play navigations, play URLs, form
encoding, the key file and signatures. Table-driven; the expected values
are the client's documented behaviour, and the signatures are compared with
the reference server's verifier, which was written separately.
"""

import os
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
KIT = os.path.dirname(HERE)
REPO = os.path.dirname(KIT)
sys.path.insert(0, KIT)
sys.path.insert(0, os.path.join(REPO, "reference_server"))
import client_rules as rules  # noqa: E402
import game  # noqa: E402  (the reference server's verifier, for cross-checking)

KEY_FILE = os.path.join(REPO, "keys", "signing-key-parts.txt")

# URL tail after the site base, then (site, shard, token); None = no token.
PLAY_URLS = [
    ("/play?token=abc", "local", "", "abc"),
    ("/s3/play?token=abc&x=1", "s3", "/s3", "abc"),
    ("/s15/play?token=t#frag", "s15", "/s15", "t"),
    ("/s1/play?token=abc", "local", "", "abc"),
    ("/s16/play?token=abc", "local", "", "abc"),
    ("/s12/play", "s12", "/s12", None),
    ("/play?site=s5&token=abc", "s5", "/s5", "abc"),
    ("/s3/play?site=eu1&token=abc", "eu1", "/eu1", "abc"),
    ("/play?site=s1&token=abc", "local", "", "abc"),
    ("/play?site=local&token=abc", "local", "", "abc"),
    ("/play?site=&token=abc", "local", "", "abc"),
    ("/play?token=a%2Bb", "local", "", "a%2Bb"),
    ("/s3/x/s12/play?token=abc", "s12", "/s12", "abc"),
    ("/s3?token=abc", "local", "", "abc"),
    ("/s3/play?site=&token=abc", "local", "", "abc"),
    ("/play?csrftoken=x&token=y", "local", "", "x"),
    ("/play?mysite=s4&token=y", "s4", "/s4", "y"),
    ("/play?token=a?b", "local", "", "a"),
]

NAVIGATIONS = [
    ("http://h/en/play?x=1", True),
    ("http://h/index?mode=play?", True),
    ("http://h/s3/play?token=t", True),
    ("http://h/Play?token=t", False),
    ("http://h/worlds", False),
    ("http://h/player", True),       # "/play" as a substring
    ("http://h/display?x", True),    # "play?" as a substring
]

ENCODINGS = [
    ("a b&c=d/\u00e9", "a%20b%26c%3Dd%2F%C3%A9"),
    ("-._~", "-._~"),
    ("*'()!+`", "%2A%27%28%29%21%2B%60"),
    ("AZaz09", "AZaz09"),
    ("", ""),
    (b"\x00\xff", "%00%FF"),
]

SIGN_CASES = [
    ("play", "c-1a2b3c", b"token-abc\nlocal"),
    ("beat", "c-4d5e6f", "csid-0123456789"),
    ("bye", "c-777", "csid-0123456789"),
    ("beat", "", ""),
    ("play", "ğüş", "tök\nen\nsite"),
    ("be\x00at", b"\r\n\xff", b"\x80"),
]


class PlayUrlTest(unittest.TestCase):
    def test_parse(self):
        for tail, site, shard, token in PLAY_URLS:
            with self.subTest(tail=tail):
                self.assertEqual(rules.parse_play_url("https://game.example.com" + tail),
                                 (site, shard, token))

    def test_navigation(self):
        for url, expected in NAVIGATIONS:
            with self.subTest(url=url):
                self.assertIs(rules.is_play_navigation(url), expected)

    def test_names_world(self):
        for tail, expected in [("/play?site=s3&token=t", True), ("/s2/play?token=t", True),
                               ("/s15/play?token=t", True), ("/play?token=t", False),
                               ("/s1/play?token=t", False), ("/s16/play?token=t", False)]:
            with self.subTest(tail=tail):
                self.assertIs(rules.names_world("http://h" + tail), expected)

    def test_built_urls_read_back(self):
        for world, site, shard in [("s3", "s3", "/s3"), ("main", "local", ""),
                                   ("local", "local", ""), ("s15", "s15", "/s15"),
                                   ("eu1", "eu1", "/eu1"), ("s16", "s16", "/s16")]:
            with self.subTest(world=world):
                url = rules.play_url_for("http://h:1/", world, "T0k")
                self.assertTrue(rules.is_play_navigation(url))
                self.assertEqual(rules.parse_play_url(url), (site, shard, "T0k"))


class EncodingTest(unittest.TestCase):
    def test_url_encode(self):
        for raw, expected in ENCODINGS:
            with self.subTest(raw=raw):
                self.assertEqual(rules.url_encode(raw), expected)

    def test_form_order_and_encoding(self):
        body = rules.encode_form({"token": "a b", "sig": "00", "build": "7",
                                  "scheme": "http", "challenge": "c/1"})
        self.assertEqual(body, b"build=7&challenge=c%2F1&scheme=http&sig=00&token=a%20b")


class SigningTest(unittest.TestCase):
    def test_key_matches_the_reference_server(self):
        self.assertEqual(rules.read_key_parts(KEY_FILE), game.read_key_parts(KEY_FILE))

    def test_signatures_pass_the_reference_verifier(self):
        key = rules.read_key_parts(KEY_FILE)
        for action, challenge, subject in SIGN_CASES:
            with self.subTest(action=action, challenge=challenge):
                sig = rules.sign(key, action, challenge, subject)
                self.assertRegex(sig, r"^[0-9a-f]{64}$")
                enc = [v.encode() if isinstance(v, str) else v
                       for v in (action, challenge, subject)]
                self.assertTrue(game.signature_matches(key, sig.encode(), *enc))

    def test_canonical_text(self):
        self.assertEqual(rules.canonical_text("beat", "", ""), b"TAVRENSIL/1\nbeat\n\n")
        self.assertEqual(len(rules.canonical_text("beat", "", "")), 18)
        self.assertEqual(rules.play_subject("tok", "s3"), b"tok\ns3")

    def test_bad_key_files(self):
        good_a = "A=" + "00" * 32
        good_b = "B=" + "11" * 32
        cases = [
            ("only A", good_a + "\n"),
            ("short half", good_a + "\nB=1122\n"),
            ("not hex", good_a + "\nB=" + "zz" * 32 + "\n"),
            ("unknown line", good_a + "\n" + good_b + "\nC=00\n"),
            ("A twice", good_a + "\n" + good_a + "\n" + good_b + "\n"),
        ]
        for name, text in cases:
            with self.subTest(name):
                with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
                    f.write(text)
                try:
                    with self.assertRaises(rules.KeyFileError):
                        rules.read_key_parts(f.name)
                finally:
                    os.unlink(f.name)
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
            f.write("# comment\n\n" + good_a + "\n" + good_b + "\n")
        try:
            self.assertEqual(rules.read_key_parts(f.name), b"\x11" * 32)
        finally:
            os.unlink(f.name)


if __name__ == "__main__":
    unittest.main()
