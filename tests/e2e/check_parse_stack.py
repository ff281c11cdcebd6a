#!/usr/bin/env python3
"""Holds the JSON parser's recursion to the stack the client reserves for it.

    python3 tests/e2e/check_parse_stack.py JSON_H JSON_CPP_SU

One open container is one level of ReadValue and the container reader it
calls (ReadArray or ReadObject, unless the compiler folded them in). Their
frames come from GCC's -fstack-usage output for client/json.cpp in the build
under test (JSON_CPP_SU), so they are that width's own; one level may take at
most kJsonLevelStackBytes (JSON_H), from which the threads that parse derive
their reservation. Wine gives every thread at least 1 MiB, so no run under
Wine would show a stack too small. Prints "N passed, M failed"; exits 1 on a
failure.
"""
import re
import sys


def main(header_path, su_path):
    with open(header_path, encoding="utf-8") as f:
        header = f.read()
    budget = re.search(r"kJsonLevelStackBytes = (\d+);", header)
    frames = {}
    with open(su_path, encoding="utf-8") as f:
        for line in f:
            found = re.search(r"\b(ReadValue|ReadArray|ReadObject)\(JsonParser&, Json&\)\t(\d+)\t",
                              line)
            if found:
                frames[found.group(1)] = int(found.group(2))
    if not budget or "ReadValue" not in frames:
        print("FAIL no kJsonLevelStackBytes in %s or no ReadValue frame in %s"
              % (header_path, su_path))
        return False
    level = frames["ReadValue"] + max(frames.get("ReadArray", 0), frames.get("ReadObject", 0))
    ok = level <= int(budget.group(1))
    print("%s one level takes %d bytes of its %s (frames %s)"
          % ("ok" if ok else "FAIL", level, budget.group(1), frames))
    return ok


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    try:
        passed = main(sys.argv[1], sys.argv[2])
    except OSError as e:
        print("FAIL %s" % e)
        passed = False
    print("%d passed, %d failed" % (passed, not passed))
    sys.exit(0 if passed else 1)
