#!/usr/bin/env python3
"""Holds the JSON parser's recursion to the stack the client reserves for it.

Usage:
    python3 tests/e2e/check_parse_stack.py JSON_H JSON_CPP_SU

Every open container costs the parser one level of recursion: ReadValue and
the container readers it calls (ReadArray, ReadObject; the compiler may fold
them into ReadValue). JSON_CPP_SU is GCC's -fstack-usage output for
client/json.cpp in the build under test, so the frames are that build's
own, for its width. One level may take at most kJsonLevelStackBytes
(JSON_H), from which the threads that parse derive their reservation
(kJsonParseStackBytes). Windows gives a thread exactly what it reserves;
Wine gives at least 1 MiB, so no run under Wine would show a stack that is
too small.

Prints each frame and the level's total, then "N passed, M failed"; exits 1
on a failure.
"""
import re
import sys

RECURSION = ("ReadValue", "ReadArray", "ReadObject")


def constant(header, name):
    match = re.search(r"constexpr uint32_t %s = (\d+);" % name, header)
    if not match:
        raise ValueError("no 'constexpr uint32_t %s = N;' in the header" % name)
    return int(match.group(1))


def frames(su_text):
    """{function name: frame bytes} of the recursion's functions."""
    found = {}
    for line in su_text.splitlines():
        fields = line.split("\t")
        if len(fields) < 3:
            continue
        for name in RECURSION:
            if re.search(r"\b%s\(JsonParser&, Json&\)$" % name, fields[0]):
                if fields[2] != "static":
                    raise ValueError("%s has a %s frame" % (name, fields[2]))
                found[name] = int(fields[1])
    return found


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip().split("\n\n")[1])
        return 2
    passed = failed = 0
    try:
        with open(sys.argv[1], encoding="utf-8") as f:
            header = f.read()
        with open(sys.argv[2], encoding="utf-8") as f:
            found = frames(f.read())
        budget = constant(header, "kJsonLevelStackBytes")
        depth = constant(header, "kMaxJsonDepth")
        if "ReadValue" not in found:
            raise ValueError("no frame of ReadValue in %s" % sys.argv[2])
    except (OSError, ValueError) as e:
        print("FAIL cannot read the frames: %s" % e)
        return 1
    for name, size in sorted(found.items()):
        print("   %s: %d bytes" % (name, size))
    # A level goes through one container reader, whichever it is.
    level = found["ReadValue"] + max(found.get("ReadArray", 0), found.get("ReadObject", 0))
    if level <= budget:
        print("ok one level takes %d bytes of its %d (%d levels: %d KiB)"
              % (level, budget, depth, depth * level // 1024))
        passed += 1
    else:
        print("FAIL one level takes %d bytes, more than kJsonLevelStackBytes (%d): at %d levels "
              "the parse needs %d KiB" % (level, budget, depth, depth * level // 1024))
        failed += 1
    print("%d passed, %d failed" % (passed, failed))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
