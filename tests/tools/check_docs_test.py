#!/usr/bin/env python3
"""tools/check-docs on a tiny made-up tree: each row puts a snippet into
docs/a.md and names the kind of problem the check must report, or None.
CHECK_DOCS=PATH runs the table against another copy of the tool."""
import os
import re
import subprocess
import sys
import tempfile
import unittest

TOOL = os.environ.get("CHECK_DOCS") or os.path.join(
    os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "check-docs")

TREE = {
    "Makefile": ".PHONY: run check\nrun:\n\t./tools/run.sh\ncheck: run\n\t./tools/setup.sh\n",
    "tools/setup.sh": "#!/bin/sh\ncase $1 in --quiet) exit 0 ;; esac\n",
    "client/app/x.cpp": (
        '// Logs "klavye: acik" no more.\n'
        'void Start(const std::wstring& arg) {\n'
        '  Log(L"pencere: dpi=%d", dpi);\n'
        '  Log(L"klavye: %ls", shown ? L"ac" : L"kapat");\n'
        '  Log(L"istek basarisiz: %hs kod=%lu", request, code);\n'
        '  MessageBoxW(nullptr, L"Oyun başlatılamadı.", L"Tavrensil", MB_OK);\n'
        '  if (arg == L"--site" || arg == L"--mobile") Remember(arg);\n'
        '}\n'),
    "README.md": "# Game\n\n```sh\nmake run   # play\n```\n\nSetup is `tools/setup.sh`.\n",
    "docs/a.md": "",
}

LOG_TABLE = "## The log\n\n| Line | Means |\n|---|---|\n| %s | what |\n"

ROWS = [
    # (what, docs/a.md, the kind of problem or None)
    # Everything the tree has, in one document: no problem at all.
    ("what the tree has", "`make check`, then `make run`; `tools/setup.sh --quiet`, output in "
     "`build/native/x.log`; start `TavrensilClient.exe --site URL --mobile`.\n\n"
     + LOG_TABLE % "`pencere: dpi=144`" + "\n## Message boxes\n\n| Caption | Text |\n"
     "|---|---|\n| Tavrensil | \"Oyun başlatılamadı.\" |\n", None),
    ("a missing make target", "```sh\nmake deploy\n```", "make target"),
    ("a missing path", "```sh\ntools/deploy.sh\n```", "path"),
    ("a path's missing option", "`tools/setup.sh --force`", "option"),
    ("a log line not in the sources", "```log\nklavye: acik\n```", "client text"),
    ("a log line in an example", "```example\nklavye: acik\n```", None),
    ("a log line with placeholders",
     LOG_TABLE % "`istek basarisiz: <request> kod=CODE` / `klavye: ac`", None),
    ("a changed log line", LOG_TABLE % "`klavye: açık` / `klavye: kapat`", "client text"),
    ("a message box not in the sources", "## Message boxes\n\n| Caption | Text |\n|---|---|\n"
                                         "| Tavrensil Hata | \"Oyun başlatılamadı.\" |\n",
     "client text"),
    ("an unknown client option", "## Command-line options\n\n| Option | Meaning |\n"
                                 "|---|---|\n| `--fullscreen` | full screen |\n", "option"),
]


def check(root):
    run = subprocess.run([sys.executable, TOOL, root], capture_output=True, text=True,
                         encoding="utf-8", timeout=60)
    kinds = set(re.findall(r"^docs/a\.md:\d+: ([^:]+): ", run.stdout, re.M))
    return run.returncode, kinds, run.stdout + run.stderr


class CheckDocsTest(unittest.TestCase):
    def test_rows(self):
        with tempfile.TemporaryDirectory() as root:
            for path, text in TREE.items():
                os.makedirs(os.path.join(root, os.path.dirname(path)), exist_ok=True)
                with open(os.path.join(root, path), "w", encoding="utf-8") as f:
                    f.write(text)
            for what, doc, kind in ROWS:
                with self.subTest(what):
                    with open(os.path.join(root, "docs", "a.md"), "w", encoding="utf-8") as f:
                        f.write("# A\n\n" + doc + "\n")
                    status, kinds, output = check(root)
                    self.assertEqual(kinds, {kind} if kind else set(), output)
                    self.assertEqual(status, 1 if kind else 0, output)


if __name__ == "__main__":
    unittest.main()
