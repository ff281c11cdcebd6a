"""The contract check run against the reference server: all rows pass on a
server that keeps the contract, and the right rows fail on one that breaks
it (the reference server's deliberately broken --break modes, a server that
refuses the client's build, a wrong key, TLS without the certificate).

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

HERE = os.path.dirname(os.path.abspath(__file__))
KIT = os.path.dirname(HERE)
REPO = os.path.dirname(KIT)
CHECK = os.path.join(KIT, "check_server.py")
sys.path.insert(0, KIT)
sys.path.insert(0, os.path.join(REPO, "reference_server"))
import check_server  # noqa: E402
import startup  # noqa: E402

ALL = set(check_server.CHECK_NAMES)
SITE_ROWS = {"site-login", "device-cookie", "play-url"}
SESSION_ROWS = ALL - SITE_ROWS - {"update", "update-old-build", "error-answers"}
RUN_TIMEOUT = 60


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
    """(exit code, {check: (result, detail)}, printed table)."""
    with tempfile.TemporaryDirectory() as folder:
        out = os.path.join(folder, "results.json")
        proc = subprocess.run([sys.executable, CHECK, "--json", out, "--timeout", "10"]
                              + list(args), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                              timeout=RUN_TIMEOUT, cwd=REPO)
        results = {}
        if os.path.exists(out):
            with open(out, encoding="utf-8") as f:
                results = {r["check"]: (r["result"], r["detail"])
                           for r in json.load(f)["results"]}
        return proc.returncode, results, proc.stdout.decode("utf-8", "replace") + \
            proc.stderr.decode("utf-8", "replace")


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
    # Deliberately broken servers: exactly the row named after the rule fails.
    ("broken: reused session challenge accepted", DEV + ["--break", "reuse-challenge"], TOKEN,
     {"beat-reused-challenge"}, SITE_ROWS),
    ("broken: reused hello challenge accepted", ["--break", "reuse-hello-challenge"],
     ["--login", "ali"], {"hello-one-time"}, set()),
    ("broken: challenge does not roll", DEV + ["--break", "no-roll"], TOKEN,
     {"challenge-rolls"}, SITE_ROWS | {"beat-reused-challenge"}),
    ("broken: bad beat signature accepted", DEV + ["--break", "accept-bad-sig"], TOKEN,
     {"beat-bad-sig"}, SITE_ROWS),
    ("broken: bye ignored", DEV + ["--break", "ignore-bye"], TOKEN,
     {"beat-after-bye"}, SITE_ROWS),
    ("broken: refusals as HTTP 403", DEV + ["--break", "refuse-with-status"], TOKEN,
     {"error-answers"}, SITE_ROWS),
    ("broken: two rules at once", DEV + ["--break", "reuse-challenge", "--break", "ignore-bye"],
     TOKEN, {"beat-reused-challenge", "beat-after-bye"}, SITE_ROWS),
    # A server that no longer admits the client's build: it would stop at start-up.
    ("client's build no longer admitted",
     DEV + ["--required-build", str(int(check_server.rules.BUILD) + 1)], TOKEN,
     {"update", "shard-prefixes", "hello"},
     SITE_ROWS | SESSION_ROWS - {"shard-prefixes", "hello", "hello-old-build"}),
    # The play page of a site whose worlds page shows no such world.
    ("login, unknown world", [], ["--login", "ali", "--world", "s16"],
     {"play-url"}, SESSION_ROWS | {"error-answers"}),
]


class ContractCheckTest(unittest.TestCase):
    def check_case(self, server_args, kit_args, failing, skipped, server=None):
        own = server is None
        server = server or ReferenceServer(*server_args)
        try:
            code, results, output = run_kit("--site", server.base, *kit_args)
        finally:
            if own:
                server.stop()
        self.assertEqual(set(results), ALL, output)
        got_fail = {n for n, (r, _) in results.items() if r == "FAIL"}
        got_skip = {n for n, (r, _) in results.items() if r == "SKIP"}
        self.assertEqual(got_fail, failing, output)
        self.assertEqual(got_skip, skipped, output)
        self.assertEqual(code, 1 if failing else 0, output)
        # The printed table has the same verdicts, one row per check.
        for name, (result, _) in results.items():
            self.assertRegex(output, r"(?m)^%s +%s  " % (re.escape(name), result))
        return results, output

    def test_cases(self):
        for name, server_args, kit_args, failing, skipped in CASES:
            with self.subTest(name):
                self.check_case(server_args, kit_args, failing, skipped)

    def test_broken_row_names_the_fault(self):
        results, _ = self.check_case(DEV + ["--break", "reuse-challenge"], TOKEN,
                                     {"beat-reused-challenge"}, SITE_ROWS)
        self.assertIn("ACCEPTED", results["beat-reused-challenge"][1])

    def test_wrong_key(self):
        with tempfile.NamedTemporaryFile("w", suffix=".txt", delete=False) as f:
            f.write("A=" + "01" * 32 + "\nB=" + "02" * 32 + "\n")
        try:
            results, _ = self.check_case(
                DEV, TOKEN + ["--key-file", f.name],
                {"play"}, SITE_ROWS | SESSION_ROWS - {"shard-prefixes", "hello",
                                                      "hello-old-build", "play",
                                                      "play-bad-sig"})
            self.assertIn("İmza", results["play"][1])
        finally:
            os.unlink(f.name)

    def test_nobody_listening(self):
        # A port held bound but not listening: connections are refused, and
        # no other test's server can take the port meanwhile.
        with socket.socket() as held:
            held.bind(("127.0.0.1", 0))
            base = "http://127.0.0.1:%d" % held.getsockname()[1]
            code, results, output = run_kit("--site", base, "--token", "DEMO")
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
            server = ReferenceServer("--tls-cert", cert, "--tls-key", key)
            try:
                self.assertTrue(server.base.startswith("https://"))
                # Trusted through --ca-file: everything passes, scheme "https" included.
                self.check_case([], ["--login", "ali", "--ca-file", cert], set(), set(),
                                server=server)
                # Not trusted: the kit does not skip certificate checks.
                code, results, output = run_kit("--site", server.base, "--login", "ali")
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
