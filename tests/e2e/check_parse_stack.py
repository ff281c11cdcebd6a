#!/usr/bin/env python3
"""Holds the JSON parser's recursion to the stack the client reserves for it.

    python3 tests/e2e/check_parse_stack.py JSON_H JSON_CPP_SU

One open container is one level of ReadValue and the container reader it
calls (ReadArray or ReadObject, unless the compiler folded them in). Their
frames come from GCC's -fstack-usage output for client/core/json.cpp in the build
under test (JSON_CPP_SU), so they are that width's own; one level may take at
most kJsonLevelStackBytes (JSON_H), from which the threads that parse derive
their reservation. Wine gives every thread at least 1 MiB, so no run under
Wine would show a stack too small. Prints "N passed, M failed"; exits 1 on a
failure.
"""
import re
import sys

import harness


def check(header_path, su_path):
    """What one level of the parser takes against its budget; raises
    ValueError when either file lacks what it needs."""
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
        raise ValueError("no kJsonLevelStackBytes in %s or no ReadValue frame in %s"
                         % (header_path, su_path))
    level = frames["ReadValue"] + max(frames.get("ReadArray", 0), frames.get("ReadObject", 0))
    return level <= int(budget.group(1)), "one level takes %d bytes of its %s (frames %s)" % (
        level, budget.group(1), frames)


if __name__ == "__main__":
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    results = harness.Results()
    try:
        results.record("parse stack", *check(sys.argv[1], sys.argv[2]))
    except (OSError, ValueError) as e:
        results.record("parse stack", False, str(e))
    sys.exit(results.summary())
