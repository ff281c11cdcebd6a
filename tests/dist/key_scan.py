#!/usr/bin/env python3
"""Checks that an executable does not carry the request-signing key.

  key_scan.py EXE [--key-file keys/signing-key-parts.txt]

The client keeps the key as two halves whose byte-wise XOR is the key; the
halves may stand in the executable, the key may not: neither its 32 bytes
nor any of its eight 32-bit words (in either byte order, as an optimiser
would write them into instructions). Exits 1 naming what it found.
"""
import argparse
import os
import sys

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))


def read_key(path):
    parts = {}
    with open(path, encoding="ascii") as f:
        for line in f:
            name, sep, value = line.strip().partition("=")
            if sep and name in ("A", "B"):
                parts[name] = bytes.fromhex(value)
    if set(parts) != {"A", "B"} or any(len(v) != 32 for v in parts.values()):
        sys.exit("key_scan: %s: needs 32-byte A= and B= halves" % path)
    return bytes(a ^ b for a, b in zip(parts["A"], parts["B"]))


def findings(data, key):
    found = []
    if key in data:
        found.append("the whole key at offset %#x" % data.index(key))
    for w in range(8):
        word = key[4 * w:4 * w + 4]
        for name, pattern in (("", word), (" byte-reversed", word[::-1])):
            at = data.find(pattern)
            if at >= 0:
                found.append("key word %d%s (%s) at offset %#x" % (w, name, pattern.hex(), at))
    return found


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("exe")
    parser.add_argument("--key-file", default=os.path.join(ROOT, "keys", "signing-key-parts.txt"))
    opts = parser.parse_args()
    with open(opts.exe, "rb") as f:
        data = f.read()
    found = findings(data, read_key(opts.key_file))
    for line in found:
        print("key_scan: %s: %s" % (opts.exe, line))
    if found:
        return 1
    print("key_scan: %s: no trace of the signing key" % opts.exe)
    return 0


if __name__ == "__main__":
    sys.exit(main())
