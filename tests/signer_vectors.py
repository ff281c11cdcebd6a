#!/usr/bin/env python3
"""Checks request signatures from sign_tool against an independent HMAC,
and that the reference game server's own verifier accepts them.

Usage:
    python3 tests/signer_vectors.py --key-file keys/signing-key-parts.txt -- <command...>

<command...> runs sign_tool and may be several words (for example a Wine
wrapper followed by the executable). The three arguments are passed as hex.
"""

import hashlib
import hmac
import os
import subprocess
import sys

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)),
                                "..", "reference_server"))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "e2e"))
import game  # noqa: E402  (the reference server's signing rules)
import harness  # noqa: E402  (the one way our runners report)

PREFIX = b"TAVRENSIL/1\n"
TIMEOUT_SECONDS = 60


def usage(message):
    sys.stderr.write(message + "\n")
    sys.stderr.write(
        "usage: signer_vectors.py --key-file FILE -- COMMAND [ARG...]\n")
    sys.exit(2)


def parse_args(argv):
    if "--" not in argv:
        usage("missing '--' before the sign_tool command")
    split = argv.index("--")
    options, command = argv[:split], argv[split + 1:]
    if len(options) != 2 or options[0] != "--key-file":
        usage("expected --key-file FILE")
    if not command:
        usage("missing sign_tool command")
    return options[1], command


TURKISH = "ğüşıöç".encode("utf-8")

CASES = [
    ("play", b"play", b"c-1a2b3c", b"token-abc\nlocal"),
    ("beat", b"beat", b"c-4d5e6f", b"csid-0123456789"),
    ("bye", b"bye", b"c-777", b"csid-0123456789"),
    ("beat, empty challenge and csid", b"beat", b"", b""),
    ("all arguments empty", b"", b"", b""),
    ("line feed inside the token", b"play", b"c-1", b"tok\nen\nsite"),
    ("Turkish letters", b"play", TURKISH, b"t\xc3\xbcrk\n" + TURKISH.upper()),
    ("long argument", b"beat", b"c" * 5000, b"csid"),
    ("zero bytes", b"be\x00at", b"\x00", b"cs\x00id\x00"),
    ("CR LF and high bytes", b"bye", b"\r\n\xff\xfe", b"\x80\x7f"),
]


def main():
    key_file, command = parse_args(sys.argv[1:])
    # The key file's format is shared; the signatures are computed here with
    # Python's hmac, independently of the client and of the server.
    try:
        key = game.read_key_parts(key_file)
    except (OSError, game.KeyFileError) as error:
        usage(str(error))
    results = harness.Results()
    for name, a, b, c in CASES:
        expected = hmac.new(key, PREFIX + a + b"\n" + b + b"\n" + c,
                            hashlib.sha256).hexdigest()
        try:
            result = subprocess.run(
                command + [a.hex(), b.hex(), c.hex()],
                stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                timeout=TIMEOUT_SECONDS)
            # Wine ends the line with CR LF; strip() drops either ending.
            got = result.stdout.decode("ascii", "replace").strip()
            detail = "" if result.returncode == 0 else (
                " (exit %d: %s)" % (result.returncode,
                                    result.stderr.decode("utf-8", "replace").strip()))
        except (OSError, subprocess.TimeoutExpired) as error:
            got, detail = "", " (%s)" % error
        if not detail and not game.signature_matches(key, got.encode("ascii"), a, b, c):
            detail = " (the reference server refuses it)"
        ok = got == expected and not detail
        results.record(name, ok, "" if ok else "expected %s, got %r%s" % (expected, got, detail))
    return results.summary()


if __name__ == "__main__":
    sys.exit(main())
