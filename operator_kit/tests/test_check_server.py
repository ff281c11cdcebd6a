"""The contract check run against game servers: all rows pass on the
reference server, a second server written from the contract alone has no
FAIL and only its policy rows WARN, and the right row fails on a server that
breaks what the client needs (the reference server's deliberately broken
--break modes and injected faults, a server that refuses the client's build,
a wrong key, TLS without the certificate). Every run's JUnit file is read
back against the printed summary.

Every case starts its own server on port 0 and runs check_server.py as a
separate process, as an operator would.
"""

import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import unittest
import xml.etree.ElementTree as ET

HERE = os.path.dirname(os.path.abspath(__file__))
KIT = os.path.dirname(HERE)
REPO = os.path.dirname(KIT)
CHECK = os.path.join(KIT, "check_server.py")
sys.path.insert(0, HERE)
sys.path.insert(0, KIT)
sys.path.insert(0, os.path.join(REPO, "reference_server"))
import check_server  # noqa: E402
import client_rules  # noqa: E402
import second_server  # noqa: E402
import startup  # noqa: E402

ALL = set(check_server.CHECK_NAMES)
SITE_ROWS = {"site-login", "device-cookie", "play-url"}
AFTER_HELLO = {"play", "beat", "challenge-rolls", "bye", "beat-after-bye"}
PROBES = {"hello-one-time", "play-bad-sig", "beat-reused-challenge", "beat-bad-sig",
          "refusal-keeps-challenge"}
NO_HELLO = AFTER_HELLO | PROBES | {"hello-old-build", "error-answers"}
POLICY_ROWS = {"update-old-build", "hello-old-build"}
NO_INSTALLER = {"update-installer"}     # skipped where no installer is offered
RUN_TIMEOUT = 60
# What no output of the kit may carry raw: controls (other than tab and line
# end), bidi overrides and isolates, and bytes that are not UTF-8.
RAW = re.compile("[\x00-\x08\x0b-\x1f\x7f-\x9f\u200e\u200f\u202a-\u202e\u2066-\u2069"
                 "\udc80-\udcff]")
# An installer for the reference server to offer (it reads no more than "MZ"),
# of a size the client takes.
INSTALLER_DIR = tempfile.TemporaryDirectory(prefix="kit-installer-")
INSTALLER = os.path.join(INSTALLER_DIR.name, "TavrensilOnline-setup.exe")
with open(INSTALLER, "wb") as _f:
    _f.write(b"MZ" + bytes(70000))
SUMMARY = re.compile(r"(?m)^(\d+) checks: (\d+) passed, (\d+) failed, (\d+) warned, "
                     r"(\d+) skipped$")


class ReferenceServer:
    def __init__(self, *args):
        self.errors = tempfile.TemporaryFile()
        self.proc, self.base = startup.start(["--quiet"] + list(args), stderr=self.errors,
                                             cwd=REPO)

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(10)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait(5)
        self.proc.stdout.close()
        self.errors.close()


def run_kit(*args):
    """(exit code, {check: (result, detail)}, printed table, JUnit root)."""
    with tempfile.TemporaryDirectory() as folder:
        out, junit = os.path.join(folder, "results.json"), os.path.join(folder, "junit.xml")
        proc = subprocess.run([sys.executable, CHECK, "--json", out, "--junit", junit,
                               "--timeout", "10"] + list(args), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=RUN_TIMEOUT, cwd=REPO)
        results = {}
        if os.path.exists(out):
            with open(out, encoding="utf-8") as f:
                results = {r["check"]: (r["result"], r["detail"])
                           for r in json.load(f)["results"]}
        root = ET.parse(junit).getroot() if os.path.exists(junit) else None
        return proc.returncode, results, proc.stdout.decode("utf-8", "surrogateescape") + \
            proc.stderr.decode("utf-8", "surrogateescape"), root


# name, server options, kit options, rows that must FAIL, rows that must be SKIP.
# Every other row must PASS; the kit exits 1 exactly when some row fails.
TOKEN = ["--token", "DEMO"]
DEV = ["--dev-token", "DEMO"]
CASES = [
    ("token, world s3", DEV, TOKEN, set(), SITE_ROWS),
    ("token, main world", DEV, TOKEN + ["--world", "main"], set(), SITE_ROWS),
    ("token, world s15", DEV, TOKEN + ["--world", "s15"], set(), SITE_ROWS),
    ("login", [], ["--login", "ali:secret"], set(), set()),
    ("login, main world", [], ["--login", "ali", "--world", "main"], set(), set()),
    ("login, device cookie required", ["--require-device"], ["--login", "deniz"], set(), set()),
    ("login, accounts", ["--accounts", "ayse,ali"], ["--login", "ayse", "--world", "s2"],
     set(), set()),
    # One server fault per row that can fail: exactly that row fails.
    ("broken: reused session challenge accepted", DEV + ["--break", "reuse-challenge"], TOKEN,
     {"beat-reused-challenge"}, SITE_ROWS),
    ("broken: reused hello challenge accepted", ["--break", "reuse-hello-challenge"],
     ["--login", "ali"], {"hello-one-time"}, set()),
    ("broken: challenge does not roll", DEV + ["--break", "no-roll"], TOKEN,
     {"challenge-rolls"}, SITE_ROWS | {"beat-reused-challenge"}),
    ("broken: bad beat signature accepted", DEV + ["--break", "accept-bad-sig"], TOKEN,
     {"beat-bad-sig"}, SITE_ROWS),
    ("broken: bad play signature accepted", DEV + ["--break", "accept-bad-play-sig"], TOKEN,
     {"play-bad-sig"}, SITE_ROWS),
    ("broken: bye ignored", DEV + ["--break", "ignore-bye"], TOKEN,
     {"beat-after-bye"}, SITE_ROWS),
    ("broken: two rules at once", DEV + ["--break", "reuse-challenge", "--break", "ignore-bye"],
     TOKEN, {"beat-reused-challenge", "beat-after-bye"}, SITE_ROWS),
    ("fault: update answer not JSON", DEV + ["--fault", "update=nonjson"], TOKEN,
     {"update"}, SITE_ROWS | {"update-old-build"}),
    ("fault: site pages down", ["--fault", "page=status:500"], ["--login", "ali"],
     {"site-login"}, SITE_ROWS - {"site-login"} | {"shard-prefixes", "hello"} | NO_HELLO),
    ("fault: one beat answered 500", DEV + ["--fault", "beat=status:500:once"], TOKEN,
     {"beat"}, SITE_ROWS | {"challenge-rolls"}),
    # A server that no longer admits the client's build: it would stop at start-up.
    ("client's build no longer admitted",
     DEV + ["--required-build", str(int(check_server.rules.BUILD) + 1)], TOKEN,
     {"update", "shard-prefixes", "hello"}, SITE_ROWS | NO_HELLO),
    # The play page of a site whose worlds page shows no such world.
    ("login, unknown world", [], ["--login", "ali", "--world", "s16"],
     {"play-url"}, {"shard-prefixes", "hello"} | NO_HELLO),
    # Over plain HTTP the installer's URL is http://, which the client refuses.
    ("installer offered over http", DEV + ["--installer", INSTALLER], TOKEN,
     {"update-installer"}, SITE_ROWS),
]

# The second server's refusal text, hostile to rows and XML or to the
# operator's terminal (shown with -v), extra kit options, and how it is shown.
HOSTILE = [
    ("Ret\x07\n\ud800", [], "Ret\\x07\\x0a\\ud800"),
    ("\x1b]0;owned\x07\x1b[2J\x9b31m\u202eİptal", ["-v"],
     "\\x1b]0;owned\\x07\\x1b[2J\\x9b31m\\u202eİptal"),
]


class ContractCheckTest(unittest.TestCase):
    def check_case(self, server_args, kit_args, failing, skipped, warned=frozenset(),
                   server=None, installer=False):
        own = server is None
        if not (installer or "--installer" in server_args):
            skipped = skipped | NO_INSTALLER
        server = server or ReferenceServer(*server_args)
        try:
            code, results, output, junit = run_kit("--site", server.base, *kit_args)
        finally:
            if own:
                server.stop()
        self.assertEqual(set(results), ALL, output)
        verdicts = {r: {n for n, (got, _) in results.items() if got == r}
                    for r in ("FAIL", "SKIP", "WARN")}
        self.assertEqual(verdicts, {"FAIL": failing, "SKIP": skipped, "WARN": set(warned)},
                         output)
        self.assertEqual(code, 1 if failing else 0, output)
        # The printed table has the same verdicts, one row per check.
        for name, (result, _) in results.items():
            self.assertRegex(output, r"(?m)^%s +%s  " % (re.escape(name), result))
        self.check_junit(junit, output)
        self.check_shown(output, results, junit)
        return results, output

    def check_shown(self, output, results, junit, shown=None):
        """Printed text, JSON and JUnit file: nothing raw, `shown` in each."""
        for text in (output, "\n".join(detail for _, detail in results.values()),
                     ET.tostring(junit, encoding="unicode")):
            self.assertIsNone(RAW.search(text), ascii(text))
            if shown:
                self.assertIn(shown, text)

    def check_junit(self, root, output, strict=False):
        """The JUnit file holds one case per row and the printed counts."""
        total, passed, failed, warned, skipped = map(int, SUMMARY.search(output).groups())
        suite = root.find("testsuite")
        cases = suite.findall("testcase")
        self.assertEqual([c.get("name") for c in cases], check_server.CHECK_NAMES)
        self.assertEqual(int(suite.get("tests")), total)
        failures = failed + (warned if strict else 0)
        self.assertEqual(int(suite.get("failures")), failures)
        self.assertEqual(sum(1 for c in cases if c.find("failure") is not None), failures)
        self.assertEqual(int(suite.get("skipped")), skipped)
        self.assertEqual(sum(1 for c in cases if c.find("skipped") is not None), skipped)
        self.assertEqual(sum(1 for c in cases if c.findtext("system-out").startswith("WARN ")),
                         warned)

    def test_cases(self):
        for name, server_args, kit_args, failing, skipped in CASES:
            with self.subTest(name):
                self.check_case(server_args, kit_args, failing, skipped)

    def test_refusals_with_status(self):
        # Play refusals as 403 hide the error text; a beat refused with 403
        # cannot tell the client its session ended.
        results, _ = self.check_case(DEV + ["--break", "refuse-with-status"], TOKEN,
                                     {"error-answers"}, SITE_ROWS, {"beat-after-bye"})
        self.assertIn("Oyun bileti alınamadı.", results["error-answers"][1])

    def test_second_server(self):
        # Written from the contract alone: one hello challenge per client, no
        # build turned away, an update answer of must_update alone.
        key = client_rules.read_key_parts(os.path.join(REPO, "keys", "signing-key-parts.txt"))
        for text, args, shown in HOSTILE:
            with self.subTest(ascii(text)):
                self.second_server_case(second_server.SecondServer(key, "DEMO", text),
                                        TOKEN + args, shown)

    def second_server_case(self, server, kit_args, shown):
        try:
            results, output = self.check_case([], kit_args, set(), SITE_ROWS,
                                              {"update"} | POLICY_ROWS, server=server)
            self.assertIn("download_url is missing: an update notice would open no page",
                          results["update"][1])
            self.assertIn(shown, results["beat-bad-sig"][1])
            code, results, output, junit = run_kit("--site", server.base, "--strict",
                                                   *kit_args)
            self.assertEqual(code, 1, output)
            self.check_junit(junit, output, strict=True)
            self.check_shown(output, results, junit, shown)
        finally:
            server.stop()

    def test_broken_row_names_the_fault(self):
        results, _ = self.check_case(DEV + ["--break", "reuse-challenge"], TOKEN,
                                     {"beat-reused-challenge"}, SITE_ROWS)
        self.assertIn("ACCEPTED", results["beat-reused-challenge"][1])

    def test_wrong_key(self):
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
            f.write("A=" + "01" * 32 + "\nB=" + "02" * 32 + "\n")
        try:
            results, _ = self.check_case(
                DEV, TOKEN + ["--key-file", f.name], {"play"},
                SITE_ROWS | AFTER_HELLO - {"play"} | PROBES - {"play-bad-sig"})
            self.assertIn("İmza", results["play"][1])
        finally:
            os.unlink(f.name)

    def test_nobody_listening(self):
        # A port held bound but not listening: connections are refused, and
        # no other test's server can take the port meanwhile.
        with socket.socket() as held:
            held.bind(("127.0.0.1", 0))
            base = "http://127.0.0.1:%d" % held.getsockname()[1]
            code, results, output, _ = run_kit("--site", base, "--token", "DEMO")
        self.assertEqual(code, 1, output)
        self.assertEqual(results["update"][0], "FAIL", output)
        self.assertEqual(results["hello"][0], "FAIL", output)
        self.assertEqual(results["play"][0], "SKIP", output)

    def test_tls(self):
        openssl = shutil.which("openssl")
        if not openssl:
            self.skipTest("openssl is needed to make a test certificate")
        folder = tempfile.mkdtemp()
        try:
            cert, key = os.path.join(folder, "cert.pem"), os.path.join(folder, "key.pem")
            subprocess.run([openssl, "req", "-x509", "-newkey", "ec", "-pkeyopt",
                            "ec_paramgen_curve:prime256v1", "-nodes", "-days", "1",
                            "-subj", "/CN=localhost",
                            "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost",
                            "-keyout", key, "-out", cert],
                           check=True, capture_output=True, timeout=30)
            tls = ["--tls-cert", cert, "--tls-key", key, "--installer", INSTALLER]
            # An installer announced wrongly: the download does not match.
            for fault, says in (("wrong-hash", "is not the announced"),
                                ("oversize", "more than the announced 70002 bytes")):
                with self.subTest(fault):
                    server = ReferenceServer(*tls, "--installer-fault", fault)
                    try:
                        results, _ = self.check_case(
                            [], ["--login", "ali", "--ca-file", cert], set(), set(),
                            NO_INSTALLER, server=server, installer=True)
                        self.assertIn(says, results["update-installer"][1])
                    finally:
                        server.stop()
            server = ReferenceServer(*tls)
            try:
                self.assertTrue(server.base.startswith("https://"))
                # Trusted through --ca-file: everything passes, scheme "https"
                # and the installer included.
                self.check_case([], ["--login", "ali", "--ca-file", cert], set(), set(),
                                server=server, installer=True)
                # Not trusted: the kit does not skip certificate checks.
                code, results, output, _ = run_kit("--site", server.base, "--login", "ali")
                self.assertEqual(code, 1, output)
                self.assertEqual(results["update"][0], "FAIL")
                self.assertIn("CERTIFICATE_VERIFY_FAILED", results["update"][1])
            finally:
                server.stop()
        finally:
            shutil.rmtree(folder)

    def test_usage_errors(self):
        for args in (["--token", "T"],
                     ["--site", "http://127.0.0.1:1"],
                     ["--site", "ftp://x", "--token", "T"],
                     ["--site", "http://127.0.0.1:1", "--token", "T", "--login", "a"],
                     ["--site", "http://127.0.0.1:1", "--token", "T",
                      "--key-file", os.path.join(HERE, "no-such-file")]):
            with self.subTest(args=args):
                proc = subprocess.run([sys.executable, CHECK] + args, capture_output=True,
                                      timeout=RUN_TIMEOUT)
                self.assertEqual(proc.returncode, 2, proc.stderr)

    def test_list(self):
        proc = subprocess.run([sys.executable, CHECK, "--list"], capture_output=True,
                              timeout=RUN_TIMEOUT)
        self.assertEqual(proc.returncode, 0)
        names = [line.split()[0] for line in proc.stdout.decode().splitlines()]
        self.assertEqual(names, check_server.CHECK_NAMES)


if __name__ == "__main__":
    unittest.main()
