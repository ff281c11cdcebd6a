#!/usr/bin/env python3
"""Checks that the client's version and build number are written only in VERSION.

Usage:
    python3 tests/dist/version_once.py [REPOSITORY]

Everything else (the client's build number, the resource script, the
manifest, the installer, the reference server, the operator kit and the
tests) takes them from VERSION. This scans the repository's files (those git
tracks, or every file outside build/ without git) for the version as it is
written in code (with dots, with commas as in a resource script, or with a
fourth number) and for the build number given to something named build, and
fails on any file but VERSION that holds one.

Documentation (README.md, docs/*.md, every .md) is scanned too, for the
version as prose writes it, with dots (also inside 1.2.3.0 or
TavrensilOnline-1.2.3-setup.exe), and for the build number N as "Build N",
build=N, latest_build N or vN. The number N on its own is just a number and
does not count. Documents write VERSION, N or <version> instead, so that they
stay true at the next release.
"""

import os
import re
import subprocess
import sys

DOC_SUFFIXES = (".md",)


def patterns(version):
    """(what, regex) pairs that find the version or the build number in code."""
    major, minor, build = version.split(".")
    return [
        ("version", r"(?<![\d.])%s\s*[.,]\s*%s\s*[.,]\s*%s(?!\d)" % (major, minor, build)),
        # kBuild = N;  BUILD = "N"  required_build: int = N
        ("build number", r"(?im)^\s*(?:constexpr\s+\w+\s+)?\w*build\w*\s*(?::\s*\w+\s*)?=\s*"
                         r"b?[\"']?%s[\"']?\s*(?:[;#/]|$)" % build),
        ("build number", r"(?i)#define\s+\w*build\w*\s+%s\b" % build),
        # an option named like --required-build whose default is N
        ("build number", r"(?i)[\"']--[\w-]*build[\w-]*[\"'][^\n]*default=%s\b" % build),
        # the log's first line, "Tavrensil Client baslatildi (Build N)"
        ("build number", r"\(Build %s\)" % build),
        # the update notice, "Mevcut Sürüm: vN"
        ("build number", r"(?i)mevcut\s+sürüm:\s*v%s\b" % build),
    ]


def doc_patterns(version):
    """(what, regex) pairs that find the version or the build number in prose."""
    major, minor, build = version.split(".")
    return [
        ("version", r"(?<![\d.])%s\.%s\.%s(?!\d)" % (major, minor, build)),
        # Build N, (Build N), build=N, "latest_build": N, --required-build N;
        # not "build 1N" or "build N.5"
        ("build number", r"(?i)(?<![a-z])build\W{0,3}%s(?![\w.])" % build),
        # the update notice's "Mevcut Sürüm: vN"
        ("build number", r"(?<![\w.])v%s(?![\w.])" % build),
    ]


def source_files(root):
    try:
        listed = subprocess.run(["git", "-C", root, "ls-files", "-z"], check=True,
                                capture_output=True).stdout.decode("utf-8").split("\0")
        return [name for name in listed if name]
    except (OSError, subprocess.CalledProcessError):
        names = []
        for folder, dirs, files in os.walk(root):
            dirs[:] = [d for d in dirs if d not in ("build", ".git")]
            names += [os.path.relpath(os.path.join(folder, f), root) for f in files]
        return names


def main():
    root = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else
                           os.path.join(os.path.dirname(__file__), "..", ".."))
    with open(os.path.join(root, "VERSION"), encoding="ascii") as f:
        version = f.readline().strip()
    if not re.fullmatch(r"[0-9]+\.[0-9]+\.[0-9]+", version):
        print("FAIL VERSION holds %r, not major.minor.patch" % version)
        return 1
    found = []
    for name in sorted(source_files(root)):
        if name == "VERSION":
            continue
        try:
            with open(os.path.join(root, name), "rb") as f:
                data = f.read()
        except OSError:
            continue  # a tracked file deleted in the work tree
        if b"\0" in data:
            continue  # binary: icons, keys in DER and the like
        text = data.decode("utf-8", "replace")
        scan = doc_patterns(version) if name.endswith(DOC_SUFFIXES) else patterns(version)
        for what, regex in scan:
            for match in re.finditer(regex, text):
                line = text.count("\n", 0, match.start()) + 1
                found.append("%s:%d: the %s: %s" % (name, line, what, match.group(0).strip()))
    for entry in found:
        print("FAIL " + entry)
    print("version %s: %s" % (version, "written in VERSION only" if not found else
                              "%d other places; take it from VERSION" % len(found)))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
