#!/usr/bin/env python3
"""tools/read-dump on small made-up hostile minidumps, which must be shown
safely and read at once (the crash cases read honest ones). READ_DUMP=PATH runs the
table against another copy of the tool."""
import os
import struct
import subprocess
import sys
import tempfile
import unittest

TOOL = os.environ.get("READ_DUMP") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "read-dump")
BASE, STACK = 0x140000000, 0x10000
EVIL = "evil\x1b]0;owned\x07\x1b[2J\x9b31m\u202e\t\nexe.txt"


def minidump(name="TavrensilClient.exe", modules=1, threads=1, stack=None, **claims):
    """A 64-bit dump: `modules` copies of one module, `threads` threads on one
    stack, an access violation in thread 1. `claims` replace what the dump
    says of itself: count (of every list), name_length, stack_size."""
    out = bytearray(32)

    def put(raw):
        out.extend(raw)
        return len(out) - len(raw)
    text = name.encode("utf-16-le", "surrogatepass")
    name_rva = put(struct.pack("<I", claims.get("name_length", len(text))) + text)
    context = bytearray(0x100)
    struct.pack_into("<Q", context, 0x98, STACK)
    struct.pack_into("<Q", context, 0xF8, BASE + 0x1234)
    context_rva = put(context)
    stack = struct.pack("<4Q", 0, BASE + 0x2000, 0, 0) if stack is None else stack
    stack_rva, stack_size = put(stack), claims.get("stack_size", len(stack))
    count = claims.get("count")
    module = struct.pack("<QIIII", BASE, 0x10000, 0, 0, name_rva) + bytes(84)
    thread = b"".join(struct.pack("<IIIIQQIIII", i + 1, 0, 0, 0, 0, STACK, stack_size,
                                  stack_rva, 0x100, context_rva) for i in range(threads))
    streams = [(7, struct.pack("<H", 9) + bytes(54)),
               (4, struct.pack("<I", count or modules) + module * modules),
               (3, struct.pack("<I", count or threads) + thread),
               (6, struct.pack("<IIIIQQII15QII", 1, 0, 0xC0000005, 0, 0, BASE + 0x1234, 2, 0,
                               1, 0x10, *[0] * 13, 0x100, context_rva))]
    directory = b"".join(struct.pack("<III", kind, len(raw), put(raw)) for kind, raw in streams)
    struct.pack_into("<4sIII", out, 0, b"MDMP", 0xA793, count or len(streams), put(directory))
    return bytes(out)


HOSTILE = {
    "a 4 GiB stack": minidump(stack_size=0xFFFFFFFF),
    "counts past their lists": minidump(count=0xFFFFFFFF),
    "a name past the end": minidump(name_length=0xFFFFFFFF),
    "threads on one long stack": minidump(threads=3000, stack=bytes(1 << 19)),
    "modules with one long name": minidump(modules=4000, name="x\\" * (1 << 20) + "a.dll"),
    "modules and a long stack": minidump(modules=4000, stack=bytes(1 << 19)),
}


def read_dump(data):
    with tempfile.NamedTemporaryFile(suffix=".dmp") as dump:
        dump.write(data)
        dump.flush()
        return subprocess.run([sys.executable, TOOL, dump.name], capture_output=True,
                              timeout=2, env=dict(os.environ, PYTHONIOENCODING="utf-8"))


class ReadDump(unittest.TestCase):
    def test_escaped(self):
        result = read_dump(minidump("C:\\game\\" + EVIL + "\ud800"))
        out = result.stdout.decode()
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertFalse([b for b in result.stdout if b < 0x20 and b != 0x0A], out)
        self.assertNotIn("\x9b", out)
        self.assertNotIn("\u202e", out)
        self.assertIn("faulting module: evil\\x1b]0;owned\\x07\\x1b[2J\\x9b31m\\u202e\\t\\n"
                      "exe.txt\ufffd, offset 0x1234\n", out)

    def test_hostile(self):
        for case, data in HOSTILE.items():
            with self.subTest(case):
                result = read_dump(data)  # TimeoutExpired fails the case
                self.assertEqual(result.returncode, 0, result.stderr[-300:])
                self.assertIn(b"\nexception: c0000005", result.stdout)


if __name__ == "__main__":
    unittest.main()
