"""What the end-to-end scripts share: the reference server, Windows programs
run through a runner command, copies of the client, waits, process trees,
the shared options, and case tables run, counted and summed up one way
("NAME: ok" or "NAME: FAIL: reason" per case, then "N passed, M failed").

RUNNER (after --) is the command prefix that runs a Windows program, e.g.
"tools/wine-run --state DIR --arch win64", and --state is its DIR (the
virtual display's number is in DIR/display). When that display is not
running, Harness.setup() starts it ("RUNNER --start") and teardown() stops
it. Python 3 standard library only.
"""
import argparse
import contextlib
import hashlib
import itertools
import json
import struct
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

import proxy_settings

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.normpath(os.path.join(HERE, "..", "..", "reference_server")))
import startup  # noqa: E402
from game import CLIENT_BUILD, CLIENT_VERSION  # noqa: E402,F401  (read from VERSION)

DEFAULT_SERVER = startup.SERVER
# The reference servers the scripts start accept this token.
DEV_TOKEN = "E2E-DEV-TOKEN"

WINDOW_TITLE = "Tavrensil Online"
CLIENT_NAME = "TavrensilClient.exe"
CLIENT_SIZE = "client 1000x600"
STARTED_LINE = b"Tavrensil Client baslatildi"  # the client's first log line
UPDATE_CAPTION = "Tavrensil Güncelleme Gereklidir"

WS_OVERLAPPEDWINDOW = 0x00CF0000
WS_CAPTION = 0x00C00000

# Bounds of the waits (seconds unless named _MS).
WINDOW_WAIT_MS = 15000
# How long Wine may take to bring a client to its first log line. A score of
# clients starting side by side on two cores can take a quarter of a minute,
# which must not count against the bounds the cases check after it.
START_WAIT = 60.0
EXIT_WAIT = 10.0
TOOL_TIMEOUT = 30.0


class CaseFailure(Exception):
    pass


class CaseSkipped(Exception):
    """A case this machine cannot run (it says why); counted apart."""


@contextlib.contextmanager
def trusted_ca(runner, der):
    """Trusts the CA certificate `der` in the current user's root store of
    the prefix `runner` runs programs in, while the block runs: the key and
    the serialized "Blob" (one certificate property) the system writes."""
    key = ("HKEY_CURRENT_USER\\Software\\Microsoft\\SystemCertificates\\Root\\Certificates\\"
           + hashlib.sha1(der).hexdigest().upper())
    blob = struct.pack("<III", 32, 1, len(der)) + der  # CERT_CERT_PROP_ID
    head = "Windows Registry Editor Version 5.00\r\n\r\n"
    proxy_settings.import_reg(runner, head + "[%s]\r\n\"Blob\"=hex:%s\r\n" % (
        key, ",".join("%02x" % b for b in blob)))
    try:
        yield
    finally:
        proxy_settings.import_reg(runner, head + "[-%s]\r\n" % key)


class Interrupted(BaseException):
    pass


def check(condition, reason):
    if not condition:
        raise CaseFailure(reason)


def short(data, limit=160):
    text = data if isinstance(data, str) else repr(data)
    return text if len(text) <= limit else text[:limit] + "..."


def read_file(path):
    """The file's bytes, or None when it cannot be read."""
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def wait_until(predicate, limit, step=0.1):
    """Calls predicate until it returns a true value or limit seconds pass."""
    deadline = time.monotonic() + limit
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(step)


# ---- processes --------------------------------------------------------------

def children_map():
    parents = {}
    for name in os.listdir("/proc"):
        if not name.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % name, "rb") as f:
                stat = f.read()
        except OSError:
            continue
        # The command name may hold blanks and parentheses; the fields after
        # the last ')' are fixed.
        fields = stat[stat.rfind(b")") + 2:].split()
        if len(fields) > 1:
            parents.setdefault(int(fields[1]), []).append(int(name))
    return parents


def process_tree(pid):
    """pid and every process descending from it, parents first."""
    if not os.path.isdir("/proc"):
        return [pid]
    parents = children_map()
    order, todo = [], [pid]
    while todo:
        current = todo.pop(0)
        order.append(current)
        todo.extend(parents.get(current, []))
    return order


def kill_tree(proc, grace=3.0):
    """Ends a process we started together with everything it started."""
    if proc.poll() is not None:
        return
    pids = process_tree(proc.pid)
    for sig in (signal.SIGTERM, signal.SIGKILL):
        for pid in reversed(pids):
            try:
                os.kill(pid, sig)
            except OSError:
                pass
        try:
            proc.wait(timeout=grace)
        except subprocess.TimeoutExpired:
            continue
        # The runner has ended; make sure nothing it started lingers.
        alive = [p for p in pids[1:] if os.path.exists("/proc/%d" % p)]
        if not alive:
            return
        pids = [proc.pid] + alive


def run_to_end(command, limit, env=None, folder=None, merge=False):
    """Runs command to its end, or ends its tree after limit seconds; returns
    (exit code or None, stdout bytes, stderr bytes), with merge=True the
    standard error within stdout.

    The output goes through files, not pipes: a Wine system process that
    the program happens to start (the desktop process, for one) inherits
    its output handles and may keep them open long after it ended.
    """
    with tempfile.TemporaryFile(dir=folder) as out, tempfile.TemporaryFile(dir=folder) as err:
        proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=out,
                                stderr=subprocess.STDOUT if merge else err, env=env,
                                start_new_session=(os.name != "nt"))
        try:
            rc = proc.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            kill_tree(proc)
            proc.wait()
            rc = None
        out.seek(0)
        err.seek(0)
        return rc, out.read(), err.read()


# ---- the reference server ---------------------------------------------------

class Server:
    """The reference server on a free loopback port with the development
    token and the `extra` arguments. Given a workdir, its request log and
    standard error go to server-NAME.jsonl and server-NAME.err there;
    without one it keeps no request log."""

    def __init__(self, script, workdir, name, extra=()):
        args = ["--dev-token", DEV_TOKEN, "--quiet"] + list(extra)
        self.log_path = self.err_path = None
        self.err = subprocess.DEVNULL
        if workdir:
            self.log_path = os.path.join(workdir, "server-%s.jsonl" % name)
            self.err_path = os.path.join(workdir, "server-%s.err" % name)
            self.err = open(self.err_path, "wb")
            args = ["--log-file", self.log_path] + args
        try:
            self.proc, self.url = startup.start(args, stderr=self.err, script=script)
        except startup.StartError as e:
            self.close_err()
            raise RuntimeError("%s %s" % (e, self.stderr_text())) from None
        self.port = int(self.url.rsplit(":", 1)[1])

    def close_err(self):
        if self.err_path:
            self.err.close()

    def stderr_text(self):
        data = read_file(self.err_path) if self.err_path else None
        return data.decode("utf-8", "replace")[-400:] if data else ""

    def entries(self):
        data = read_file(self.log_path) if self.log_path else None
        out, by_seq = [], {}
        for line in (data or b"").splitlines():
            try:
                entry = json.loads(line)
            except ValueError:
                continue  # a line still being written
            if "amends" in entry:  # what the server learnt later about a request
                by_seq.get(entry.pop("amends"), {}).update(entry)
                continue
            out.append(entry)
            by_seq[entry.get("seq")] = entry
        return out

    def last_seq(self):
        entries = self.entries()
        return entries[-1]["seq"] if entries else 0

    def entries_since(self, seq):
        return [e for e in self.entries() if e.get("seq", 0) > seq]

    def api_calls(self, since, name=None):
        """The client API requests on world s3 logged after `since` (all,
        or those of endpoint `name`: hello, play, beat, bye, ...)."""
        calls = [e for e in self.entries_since(since)
                 if e.get("path", "").startswith("/s3/api/client/")]
        if name:
            calls = [e for e in calls if e["path"] == "/s3/api/client/" + name]
        return calls

    def session_site(self, query="token=" + DEV_TOKEN, host=None):
        """A --site that is already a play page of world s3: the browser's
        first navigation (site + "/?client=1") starts the session. `host`
        names the server instead of its address."""
        base = self.url.replace("127.0.0.1", host) if host else self.url
        return base + "/s3/play?" + query + "&x="

    def control(self, path, body):
        request = urllib.request.Request(self.url + path, data=json.dumps(body).encode(),
                                         headers={"Content-Type": "application/json"})
        with urllib.request.urlopen(request, timeout=10) as answer:
            return json.loads(answer.read())

    def set_fault(self, rule):
        self.control("/_control/fault", {"rule": rule})

    def clear_faults(self):
        self.control("/_control/fault", {"clear": True})

    def faults(self):
        request = urllib.request.Request(self.url + "/_control/faults")
        with urllib.request.urlopen(request, timeout=10) as answer:
            return json.loads(answer.read()).get("faults", [])

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            try:
                self.proc.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        if self.proc.stdout:
            self.proc.stdout.close()
        self.close_err()


# ---- the Windows side -------------------------------------------------------

class Harness:
    """The runner, its shared display and prefix, and a temporary folder for
    the run. With opts.recorder, the open recorder is the prefix's handler
    of http and https addresses until teardown() restores the earlier ones."""

    def __init__(self, opts):
        self.opts = opts
        self.runner = list(opts.runner)
        self.started_display = False
        self.saved_handlers = {}
        self.base = tempfile.mkdtemp(prefix="tavrensil-e2e-")
        self.display = None

    def log(self, text):
        if self.opts.verbose:
            print("  . " + text, flush=True)

    def win_path(self, path):
        path = os.path.abspath(path)
        if os.name == "nt" or not self.runner:
            return path
        return "Z:" + path.replace("/", "\\")

    def run(self, args, timeout=TOOL_TIMEOUT):
        """Runs a Windows program to its end; returns (exit code, stdout bytes)."""
        t0 = time.monotonic()
        rc, stdout, stderr = run_to_end(self.runner + list(args), timeout, folder=self.base)
        self.log("%s -> %s in %.2fs%s" % (" ".join(args[-3:]), rc, time.monotonic() - t0,
                                          " (%s)" % short(stderr.decode("utf-8", "replace").strip())
                                          if stderr.strip() else ""))
        return rc, stdout

    def start(self, args, out, env=None):
        """Starts a Windows program through the runner, its output to the
        open file `out`; the process."""
        return subprocess.Popen(self.runner + list(args), env=env, stdin=subprocess.DEVNULL,
                                stdout=out, stderr=subprocess.STDOUT,
                                start_new_session=(os.name != "nt"))

    def tool(self, exe_filter, *args, timeout=TOOL_TIMEOUT):
        command = [self.opts.tool]
        if exe_filter:
            command += ["--exe", exe_filter]
        rc, out = self.run(command + list(args), timeout=timeout)
        return rc, out.decode("utf-8", "replace")

    def xdotool(self, *args):
        """Runs xdotool on the display the Windows programs use."""
        xdotool = shutil.which("xdotool")
        check(xdotool, "xdotool is not installed")
        check(self.display, "no X display for xdotool")
        env = dict(os.environ, DISPLAY=self.display)
        proc = subprocess.run([xdotool] + list(args), env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=10)
        check(proc.returncode == 0, "xdotool failed: %s"
              % proc.stdout.decode("utf-8", "replace").strip())

    # The shared display and the prefix.
    def display_running(self):
        try:
            with open(os.path.join(self.opts.state, "display")) as f:
                display = f.read().strip()
            with open(os.path.join(self.opts.state, "xvfb.pid")) as f:
                pid = int(f.read().strip())
            os.kill(pid, 0)
            return display
        except (OSError, ValueError):
            return None

    def setup(self):
        if self.runner and os.name != "nt":
            self.display = self.display_running()
            if not self.display:
                rc, out = self.run(["--start"], timeout=400)
                self.started_display = True
                self.display = self.display_running()
                if rc != 0 or not self.display:
                    raise RuntimeError("could not start the Wine display: %s"
                                       % out.decode("utf-8", "replace")[-300:])
        if not self.display:
            self.display = os.environ.get("DISPLAY")
        if getattr(self.opts, "recorder", None):
            self.register_recorder()

    def teardown(self):
        try:
            self.restore_handlers()
        finally:
            if self.started_display:
                self.run(["--stop"], timeout=60)
            if not self.opts.keep:
                shutil.rmtree(self.base, ignore_errors=True)
            else:
                print("kept %s" % self.base)

    # The open recorder as the handler of web addresses.
    @staticmethod
    def handler_key(scheme):
        return "HKCR\\%s\\shell\\open\\command" % scheme

    def read_handler(self, scheme):
        rc, out = self.run(["reg", "query", self.handler_key(scheme), "/ve"])
        if rc != 0:
            return None
        for line in out.decode("utf-8", "replace").splitlines():
            if "REG_SZ" in line:
                return line.split("REG_SZ", 1)[1].strip()
        return None

    def write_handler(self, scheme, value):
        rc, out = self.run(["reg", "add", self.handler_key(scheme), "/ve", "/d", value, "/f"])
        return rc == 0

    def register_recorder(self):
        command = '"%s" "%%1"' % self.win_path(self.opts.recorder)
        for scheme in ("http", "https"):
            self.saved_handlers[scheme] = self.read_handler(scheme)
            if not self.write_handler(scheme, command):
                raise RuntimeError("could not register the open recorder for %s" % scheme)
        self.log("open recorder registered: %s" % command)

    def restore_handlers(self):
        for scheme, value in self.saved_handlers.items():
            if value is not None:
                self.write_handler(scheme, value)
            else:
                self.run(["reg", "delete", self.handler_key(scheme), "/ve", "/f"])
        self.saved_handlers = {}


def parse_placement(line):
    """Reads window_tool's placement line into a dictionary."""
    values = {}
    try:
        for part in line.split():
            key, _, value = part.partition("=")
            if key in ("normal", "window"):
                values[key] = tuple(int(v) for v in value.split(","))
            elif key == "client":
                values[key] = tuple(int(v) for v in value.split("x"))
            elif key == "style":
                values[key] = int(value, 16)
            elif key == "show":
                values[key] = int(value)
    except ValueError:
        pass
    check(len(values) == 5, "unreadable placement %r" % line.strip())
    return values


class Client:
    """One copy of the client in its own folder, started through the runner.
    It writes its client.log next to itself; the open recorder and the
    stand-in control record into the same folder."""

    def __init__(self, harness, name, subfolder=None):
        self.h = harness
        self.dir = tempfile.mkdtemp(prefix=name + "-", dir=harness.base)
        if subfolder:
            self.dir = os.path.join(self.dir, subfolder)
            os.makedirs(self.dir)
        self.exe = os.path.join(self.dir, CLIENT_NAME)
        shutil.copy2(harness.opts.client, self.exe)
        self.win_exe = harness.win_path(self.exe)
        self.log_path = os.path.join(self.dir, "client.log")
        self.record_path = os.path.join(self.dir, "opened.txt")
        self.proc = None
        self.rc = None

    def path(self, name):
        return os.path.join(self.dir, name)

    def start(self, args, env_extra=None):
        env = dict(os.environ, **(env_extra or {}))
        env["TAVRENSIL_OPEN_RECORD"] = self.h.win_path(self.record_path)
        env["TAVRENSIL_STANDIN_RECORD"] = self.h.win_path(self.path("control.txt"))
        # A test writes failure switches here while the client runs.
        env["TAVRENSIL_STANDIN_FAIL_FILE"] = self.h.win_path(self.path("fail.txt"))
        self.out = open(self.path("runner.out"), "wb")
        self.proc = self.h.start([self.exe] + list(args), self.out, env)
        began = time.monotonic()
        self.wait_started()
        self.h.log("started %s %s (first log line after %.1fs)"
                   % (self.exe, " ".join(args), time.monotonic() - began))

    def tool(self, *args, timeout=TOOL_TIMEOUT):
        return self.h.tool(self.win_exe, *args, timeout=timeout)

    def wait_exit(self, limit):
        try:
            self.rc = self.proc.wait(timeout=limit)
        except subprocess.TimeoutExpired:
            return None
        return self.rc

    def running(self):
        return self.proc is not None and self.proc.poll() is None

    def read_log(self):
        return read_file(self.log_path)

    def log_lines(self):
        data = self.read_log()
        return [] if data is None else data.split(b"\r\n")

    def wait_log_line(self, line, limit, after=0):
        """Waits until line appears in the log at an index >= after; its index."""
        def find():
            lines = self.log_lines()
            for i in range(after, len(lines)):
                if lines[i] == line:
                    return i + 1
            return 0
        found = wait_until(find, limit)
        return found - 1 if found else None

    def wait_started(self):
        """Waits until the client has written its first log line or ended,
        so that the bounds a case checks start with the client, not with
        Wine; a client that never gets there fails the check that follows."""
        def started():
            lines = self.log_lines()
            return not self.running() or (lines and lines[0].startswith(STARTED_LINE))
        wait_until(started, START_WAIT)

    # Checks shared by several cases.
    def expect_window(self):
        rc, out = self.tool("wait", WINDOW_TITLE, str(WINDOW_WAIT_MS))
        check(rc == 0, "the window \"%s\" did not appear (%s)" % (WINDOW_TITLE, short(out.strip())))
        check(out.strip() == CLIENT_SIZE,
              "window client area: %r, expected %r" % (out.strip(), CLIENT_SIZE))

    def expect_no_box(self, quiet_ms):
        rc, out = self.tool("nobox", str(quiet_ms))
        check(rc == 0, "an unexpected message box appeared: %r" % out.strip())

    def open_dialogs(self):
        rc, out = self.tool("dialogs", timeout=10)
        return [line for line in out.split("\n") if line] if rc == 0 else []

    def screen_size(self):
        rc, screen = self.tool("screen")
        check(rc == 0 and screen.startswith("screen "), "screen size unknown: %r" % screen)
        width, height = (int(v) for v in screen.split()[1].split("x"))
        return width, height

    def placement(self, when=""):
        """The window's placement (see parse_placement); `when` names the
        moment in the failure. A window between two showings (full screen
        being entered) is waited for."""
        self.tool("wait", WINDOW_TITLE, str(WINDOW_WAIT_MS))
        rc, out = self.tool("placement", WINDOW_TITLE)
        check(rc == 0, "no placement%s: %r" % (" " + when if when else "", out))
        return parse_placement(out)

    def expect_exit_zero(self, limit, what):
        code = self.wait_exit(limit)
        if code is None:
            boxes = self.open_dialogs()
            raise CaseFailure("the client did not end within %gs %s%s"
                              % (limit, what, " (open message boxes: %s)" % boxes if boxes else ""))
        check(code == 0, "exit code %d %s, expected 0" % (code, what))

    def peak_memory_kb(self):
        """The most memory the running client has held (VmHWM), or None."""
        for pid in process_tree(self.proc.pid):
            try:
                with open("/proc/%d/comm" % pid) as f:
                    if not f.read().startswith("TavrensilClien"):
                        continue
                with open("/proc/%d/status" % pid) as f:
                    for line in f:
                        if line.startswith("VmHWM:"):
                            return int(line.split()[1])
            except OSError:
                continue
        return None

    def set_control_failures(self, switches):
        with open(self.path("fail.txt"), "w") as f:
            f.write(switches)

    def control_puts(self, name):
        """The values the media control was given for property `name`."""
        record = read_file(self.path("control.txt")) or b""
        prefix = b"put " + name.encode() + b"="
        return [l[len(prefix):] for l in record.split(b"\n") if l.startswith(prefix)]

    def close_and_expect_zero(self, limit=EXIT_WAIT):
        check(self.running(), "the client ended before it was closed (exit code %s)"
              % self.proc.poll())
        rc, out = self.tool("close", WINDOW_TITLE)
        check(rc == 0, "could not close the window (%s)" % short(out.strip()))
        self.expect_exit_zero(limit, "after its window was closed")

    def stop(self):
        """Ends the client if it still runs: close its window, then kill."""
        if self.proc is None:
            return
        if self.running():
            self.h.tool(self.win_exe, "press", UPDATE_CAPTION, "1", timeout=10)
            self.h.tool(self.win_exe, "close", WINDOW_TITLE, timeout=10)
            if self.wait_exit(5) is None:
                kill_tree(self.proc)
                self.proc.wait()
        self.out.close()


# ---- case tables ------------------------------------------------------------

class Cases:
    """A script's cases: the harness, the reference servers of the run (the
    first, "main", shared by the cases) and servers of a case's own. all()
    gives the table as (name, function, group); a function takes a Client."""

    def __init__(self, harness):
        self.h = harness
        self.script = harness.opts.server
        self.server = Server(self.script, harness.base, "main")
        self.servers = [self.server]
        self.server_numbers = itertools.count(1)

    @contextlib.contextmanager
    def own_server(self, name, extra=()):
        """A reference server of the case's own: its faults and its log
        belong to this case alone, so such cases can run side by side."""
        name = "%s-%d" % (name, next(self.server_numbers))
        server = Server(self.script, self.h.base, name, list(extra))
        try:
            yield server
        finally:
            server.stop()

    def stop(self):
        for server in self.servers:
            server.stop()


class Results:
    """Counts and prints the cases' results; one line each, as they end."""

    def __init__(self):
        self.passed = self.failed = self.skipped = 0
        self.lock = threading.Lock()
        self.started = time.monotonic()

    def record(self, name, ok, reason=""):
        """One case's line: "NAME: ok" (with what was found, when given) or
        "NAME: FAIL: reason"."""
        with self.lock:
            if ok:
                self.passed += 1
                print("%s: ok (%s)" % (name, reason) if reason else "%s: ok" % name, flush=True)
            else:
                self.failed += 1
                print("%s: FAIL: %s" % (name, reason) if reason else "%s: FAIL" % name,
                      flush=True)

    def skip(self, name, reason):
        with self.lock:
            self.skipped += 1
            print("%s: skipped: %s" % (name, reason), flush=True)

    def summary(self):
        """Prints "N passed, M failed"; the exit code, 1 when a case failed."""
        skipped = ", %d skipped" % self.skipped if self.skipped else ""
        print("%d passed, %d failed%s" % (self.passed, self.failed, skipped), flush=True)
        return 1 if self.failed else 0


class Runner(Results):
    """Runs a table by its groups: "slow" cases side by side (each with
    servers of its own), "fast" ones in turn meanwhile, "alone" ones last
    with no other client running. A case due to start in turn more than
    `budget` seconds into the run fails unrun."""

    GROUPS = ("slow", "fast", "alone")

    def __init__(self, harness, budget=None):
        super().__init__()
        self.h = harness
        self.budget = budget

    def run_case(self, name, fn, client):
        t0 = time.monotonic()
        try:
            fn(client)
            self.record(name, True, "")
        except CaseFailure as e:
            self.record(name, False, str(e))
        except CaseSkipped as e:
            self.skip(name, str(e))
        except Exception as e:  # a broken step must not stop the other cases
            self.record(name, False, "%s: %s" % (type(e).__name__, e))
        finally:
            client.stop()
            self.h.log("%s took %.1fs" % (name, time.monotonic() - t0))

    def run_in_turn(self, cases):
        for name, fn, _ in cases:
            if self.budget and time.monotonic() - self.started > self.budget:
                self.record(name, False, "not run, the run already took over %ds" % self.budget)
                continue
            self.run_case(name, fn, Client(self.h, name))

    def start_side_by_side(self, cases):
        """Starts the cases in threads of their own."""
        threads = []
        for name, fn, _ in cases:
            thread = threading.Thread(target=self.run_case, args=(name, fn, Client(self.h, name)),
                                      daemon=True)
            thread.start()
            threads.append(thread)
        return threads

    def run_table(self, table):
        unknown = {group for _, _, group in table} - set(self.GROUPS)
        if unknown:
            raise RuntimeError("unknown case group(s): %s" % ", ".join(sorted(unknown)))
        groups = {group: [case for case in table if case[2] == group] for group in self.GROUPS}
        threads = self.start_side_by_side(groups["slow"])
        self.run_in_turn(groups["fast"])
        for thread in threads:
            thread.join(self.budget)
            if thread.is_alive():
                raise RuntimeError("a side-by-side case did not end")
        self.run_in_turn(groups["alone"])


# ---- the command line -------------------------------------------------------

def option_parser(doc, cases=True, runner=True):
    """A parser with the options the scripts share (--only when `cases`,
    -- RUNNER... when `runner`); its description is doc's first paragraph."""
    parser = argparse.ArgumentParser(description=doc.split("\n\n")[0])
    parser.add_argument("--client", required=True)
    parser.add_argument("--tool", required=True, help="window_tool executable")
    parser.add_argument("--state", required=True, help="the runner's Wine state folder")
    parser.add_argument("--server", default=DEFAULT_SERVER, help="reference server script")
    if cases:
        parser.add_argument("--only", action="append", default=[], help="run only this case")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folders")
    parser.add_argument("--verbose", action="store_true")
    if runner:
        parser.add_argument("runner", nargs="*", help="command prefix that runs Windows programs")
    return parser


def parse_options(parser, files=("client", "tool", "server")):
    """Parses the command line; the options named in files that are given
    become absolute paths, and must name existing files."""
    opts = parser.parse_args()
    for name in files:
        if getattr(opts, name):
            setattr(opts, name, os.path.abspath(getattr(opts, name)))
            if not os.path.isfile(getattr(opts, name)):
                parser.error("no such file: %s" % getattr(opts, name))
    return opts


def run_cases(opts, parser, make_cases, budget=None):
    """Sets up the harness, runs the table of make_cases(harness) (the cases
    --only names, if any), tears down, prints the summary; the exit code."""
    def interrupt(signum, frame):
        raise Interrupted()
    signal.signal(signal.SIGTERM, interrupt)
    signal.signal(signal.SIGINT, interrupt)

    harness = Harness(opts)
    runner = Runner(harness, budget)
    cases = None
    try:
        harness.setup()
        cases = make_cases(harness)
        table = cases.all()
        unknown = set(opts.only) - {name for name, _, _ in table}
        if unknown:
            parser.error("unknown case(s): %s" % ", ".join(sorted(unknown)))
        runner.run_table([case for case in table if not opts.only or case[0] in opts.only])
    except Interrupted:
        runner.record("interrupted", False, "")
    except Exception as e:
        runner.record("run", False, "%s: %s" % (type(e).__name__, e))
    finally:
        if cases:
            cases.stop()
        harness.teardown()
    harness.log("whole run %.1fs" % (time.monotonic() - runner.started))
    return runner.summary()
