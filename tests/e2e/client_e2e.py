#!/usr/bin/env python3
"""End-to-end tests of the client executable against the reference server.

  client_e2e.py --client EXE --tool WINDOW_TOOL_EXE --recorder OPEN_RECORDER_EXE
                --state WINE_STATE_DIR [--server SERVER_PY] [--only NAME]...
                [--keep] [--verbose] -- RUNNER...

RUNNER is the command prefix that runs a Windows program, for example
"tools/wine-run --state DIR --arch win64"; WINE_STATE_DIR is the state
folder it uses (its virtual display's number is in WINE_STATE_DIR/display).
When that display is not running, the script starts it with
"RUNNER --start" and stops it again at the end.

The script starts the reference server (port 0, its own request log, a
development token), registers the open recorder in the Wine prefix as the
handler of http and https addresses (and restores the earlier handlers at
the end), and runs each case with its own copy of the client in its own
temporary folder, so each case has its own client.log next to the
executable. It prints one line per case, "NAME: ok" or "NAME: FAIL: reason",
then "N passed, M failed", and exits with 1 when a case failed.

Python 3 standard library only.
"""
import argparse
import contextlib
import itertools
import json
import os
import re
import shutil
import signal
import socket
import struct
import subprocess
import sys
import tempfile
import threading
import time
import urllib.request

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.normpath(os.path.join(HERE, "..", "..", "reference_server")))
import startup  # noqa: E402

DEFAULT_SERVER = startup.SERVER

WINDOW_TITLE = "Tavrensil Online"
CLIENT_NAME = "TavrensilClient.exe"
BUILD = 7
CLIENT_SIZE = "client 1000x600"
FIRST_LOG_LINES = [b"Tavrensil Client baslatildi (Build 7)", b"MMCSS 'Games' kaydi: ok"]

UPDATE_CAPTION = "Tavrensil Güncelleme Gereklidir"
LATEST_BUILD = 9
# Non-ASCII letters and a query on purpose: the address must reach the
# browser unchanged.
DOWNLOAD_URL = "https://indir.tavrensil.test/istemci/TavrensilSetup-9.exe?kanal=güncel&dil=tr"


def update_text(current, latest):
    return ("Tavrensil Online istemcisinin yeni bir sürümü yayınlandı!\n\n"
            "Mevcut Sürüm: v%d\nEn Yeni Sürüm: v%d\n\n"
            "Oyuna devam edebilmek için lütfen yeni sürümü indirin.\n"
            "İndirme sayfası tarayıcınızda açılacaktır." % (current, latest))


# The state line the screenshot timer logs once the stand-in control has
# loaded the reference server's demo movie (48 frames).
MEDIA_STATE_LINE = re.compile(rb"^ReadyState=4 TotalFrames=48 FrameNum=\d+$")

# What the stand-in control paints across its top rows (see
# media_control_standin/view.cpp): a solid band of RGB(0, 128, 128).
STANDIN_BAND_ROWS = 36
STANDIN_BAND_BGR = bytes((128, 128, 0))

# FlashVars with Turkish letters and a line break, passed through unchanged;
# the log and the control's record write the line break as \r\n.
SHOT_FLASHVARS = "csid=demo&world=s3&user=J\u00fcrgen I\u015f\u0131l\r\nikinci=sat\u0131r"
SHOT_FLASHVARS_ESCAPED = SHOT_FLASHVARS.replace("\r", "\\r").replace("\n", "\\n").encode("utf-8")
# The text of the reference server's fatal beat answer, in the log as UTF-8.
SESSION_KILLED = ("Başka bir cihazdan giriş yapıldığı için oturumunuz sonlandırıldı. "
                  "İyi oyunlar.")

SHOT_WIDTH, SHOT_HEIGHT = 1000, 600
SHOT_AFTER_MS = 1500

WS_OVERLAPPEDWINDOW = 0x00CF0000
WS_CAPTION = 0x00C00000

# Bounds of the waits (seconds unless named _MS).
WINDOW_WAIT_MS = 15000
BOX_WAIT_MS = 15000
REQUEST_WAIT = 10.0
EXIT_WAIT = 10.0
QUIET_MS = 1500   # how long no message box may appear after the update check
TOOL_TIMEOUT = 30.0
RUN_BUDGET = 420.0  # cases that would start later are not run

# The session's message boxes (caption "Tavrensil").
SESSION_CAPTION = "Tavrensil"
GATE_HINT = ("\n\nAntivirüs/güvenlik duvarı TavrensilClient.exe'yi engelliyor olabilir; "
             "program klasörünü istisnaya ekleyip tekrar deneyin.")
NO_TOKEN_TEXT = "Oturum anahtarı alınamadı, lütfen tekrar giriş yapın."
SERVER_UNAVAILABLE = "Sunucu şu anda hizmet veremiyor, lütfen daha sonra tekrar deneyin."
DEV_TOKEN = "E2E-DEV-TOKEN"
BEAT_PERIOD = 20.0
# From the movie's start to the second beat, with room for a slow host.
TWO_BEATS_WAIT = 2 * BEAT_PERIOD + 12

# Without a server the update request is tried three times in all, 1.5 s
# apart, after the window shows; no message box may appear meanwhile or after.
NO_SERVER_QUIET_MS = 6000

# Hostile peers. The client under Wine peaks near 40 MB; one that read an
# endless answer on would pass this bound within a second.
PEAK_MEMORY_KB = 150 * 1024
# One attempt's deadline (the four time-outs), the wait for the answer's
# headers, and how long closing waits for a beat in flight.
ATTEMPT_DEADLINE = 55.0
HEADERS_WAIT = 20.0
BEAT_STOP_WAIT = 1.0
# Wine's own start and end of a close, and the close tool's.
CLOSE_SLACK = 6.0
OVERSIZE_CODE = "(asama=receive, kod=12184)"


class CaseFailure(Exception):
    pass


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


# ---- the reference server ---------------------------------------------------

class Server:
    def __init__(self, script, workdir, name, extra):
        self.log_path = os.path.join(workdir, "server-%s.jsonl" % name)
        self.err_path = os.path.join(workdir, "server-%s.err" % name)
        self.err = open(self.err_path, "wb")
        args = ["--log-file", self.log_path, "--dev-token", DEV_TOKEN, "--quiet"] + extra
        try:
            self.proc, self.url = startup.start(args, stderr=self.err, script=script)
        except startup.StartError as e:
            self.err.close()
            raise RuntimeError("%s %s" % (e, self.stderr_text())) from None
        self.port = int(self.url.rsplit(":", 1)[1])

    def stderr_text(self):
        try:
            with open(self.err_path, "rb") as f:
                return f.read().decode("utf-8", "replace")[-400:]
        except OSError:
            return ""

    def entries(self):
        try:
            with open(self.log_path, "rb") as f:
                data = f.read()
        except OSError:
            return []
        out = []
        for line in data.splitlines():
            try:
                out.append(json.loads(line))
            except ValueError:
                pass  # a line still being written
        return out

    def last_seq(self):
        entries = self.entries()
        return entries[-1]["seq"] if entries else 0

    def entries_since(self, seq):
        return [e for e in self.entries() if e.get("seq", 0) > seq]

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
        self.err.close()


def closed_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


# ---- the Windows side -------------------------------------------------------

class Harness:
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
        """Runs a Windows program to its end; returns (exit code, stdout bytes).

        The output goes through files, not pipes: a Wine system process that
        the program happens to start (the desktop process, for one) inherits
        its output handles and may keep them open long after it ended.
        """
        t0 = time.monotonic()
        with tempfile.TemporaryFile(dir=self.base) as out, \
                tempfile.TemporaryFile(dir=self.base) as err:
            proc = subprocess.Popen(self.runner + list(args), stdin=subprocess.DEVNULL,
                                    stdout=out, stderr=err,
                                    start_new_session=(os.name != "nt"))
            try:
                rc = proc.wait(timeout=timeout)
            except subprocess.TimeoutExpired:
                kill_tree(proc)
                proc.wait()
                rc = None
            out.seek(0)
            err.seek(0)
            stdout, stderr = out.read(), err.read()
        self.log("%s -> %s in %.2fs%s" % (" ".join(args[-3:]), rc, time.monotonic() - t0,
                                          " (%s)" % short(stderr.decode("utf-8", "replace").strip())
                                          if stderr.strip() else ""))
        return rc, stdout

    def tool(self, exe_filter, *args, timeout=TOOL_TIMEOUT):
        command = [self.opts.tool]
        if exe_filter:
            command += ["--exe", exe_filter]
        rc, out = self.run(command + list(args), timeout=timeout)
        return rc, out.decode("utf-8", "replace")

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


class Client:
    """One copy of the client in its own folder, started through the runner."""

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

    def start(self, args):
        env = dict(os.environ)
        env["TAVRENSIL_OPEN_RECORD"] = self.h.win_path(self.record_path)
        env["TAVRENSIL_STANDIN_RECORD"] = self.h.win_path(self.path("control.txt"))
        # A test writes failure switches here while the client runs.
        env["TAVRENSIL_STANDIN_FAIL_FILE"] = self.h.win_path(self.path("fail.txt"))
        self.out = open(self.path("runner.out"), "wb")
        self.proc = subprocess.Popen(self.h.runner + [self.exe] + list(args), env=env,
                                     stdin=subprocess.DEVNULL, stdout=self.out,
                                     stderr=subprocess.STDOUT,
                                     start_new_session=(os.name != "nt"))
        self.h.log("started %s %s" % (self.exe, " ".join(args)))

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


# ---- checks of the server's request log -------------------------------------

def update_entries(entries):
    return [e for e in entries if e.get("endpoint") == "update"]


def wait_update_request(server, since):
    """Waits until the client's update request is in the server's log."""
    found = wait_until(lambda: update_entries(server.entries_since(since)), REQUEST_WAIT)
    check(found, "no update request reached the server within %gs" % REQUEST_WAIT)
    entry = found[0]
    check(entry.get("method") == "GET" and entry.get("path") == "/api/client/update"
          and entry.get("query") == "build=%d" % BUILD,
          "update request was %s %s?%s, expected GET /api/client/update?build=%d"
          % (entry.get("method"), entry.get("path"), entry.get("query"), BUILD))
    return entry


# ---- the cases --------------------------------------------------------------

class Cases:
    def __init__(self, harness, server_script):
        self.h = harness
        self.script = server_script
        self.server = None
        self.server_numbers = itertools.count(1)

    def movie_args(self, site):
        return ["--site", site, "--movie", site + "/static/game.swf"]

    def fresh_start(self, c):
        """A start in direct-movie mode truncates the old log and writes the
        same ASCII log, byte for byte, as it always has."""
        # Left-overs of an earlier run must go: the log starts afresh.
        with open(c.log_path, "wb") as f:
            f.write(b"an old line\r\n" * 50)
        since = self.server.last_seq()
        movie = self.server.url + "/static/game.swf"
        c.start(self.movie_args(self.server.url))
        c.expect_window()
        entry = wait_update_request(self.server, since)
        check(entry.get("status") == 200, "update answered %s" % entry.get("status"))
        c.expect_no_box(QUIET_MS)
        c.close_and_expect_zero()
        others = [e.get("path") for e in self.server.entries_since(since)
                  if "/api/client/" in e.get("path", "") and e.get("endpoint") != "update"]
        check(not others, "API requests in direct-movie mode: %s" % others)
        data = c.read_log()
        check(data is not None, "no client.log next to the executable")
        lines = data.split(b"\r\n")
        check(len(lines) > 2 and lines[2].startswith(b"flash ocx: C:\\"),
              "client.log: %s" % short(data, 300))
        expected = FIRST_LOG_LINES + [lines[2], b"flash olusturuldu (wmode=direct)"] + [
            b"set %s -> ok" % p for p in (b"WMode = direct", b"Quality2 = high",
                                          b"AllowScriptAccess = always",
                                          b"AllowFullScreen = true",
                                          b"AllowFullScreenInteractive = true",
                                          b"Movie = " + movie.encode())]
        check(data == b"\r\n".join(expected) + b"\r\n",
              "client.log is %r, expected %r" % (data, b"\r\n".join(expected) + b"\r\n"))

    def long_path(self, c):
        """Installed in a folder whose path is longer than 260 characters,
        the client still finds its own folder for its log."""
        long = Client(self.h, "long-path", os.path.join("a" * 120, "b" * 120))
        try:
            check(len(long.win_exe) > 260, "the test path is only %d long" % len(long.win_exe))
            self.fresh_start(long)
        finally:
            long.stop()

    def update_required(self, c):
        server = Server(self.script, self.h.base, "update",
                        ["--required-build", str(BUILD + 1), "--latest-build", str(LATEST_BUILD),
                         "--download-url", DOWNLOAD_URL])
        try:
            c.start(self.movie_args(server.url))
            rc, text = c.tool("box", UPDATE_CAPTION, str(BOX_WAIT_MS))
            check(rc == 0, "no message box \"%s\" appeared (open: %s)"
                  % (UPDATE_CAPTION, c.open_dialogs()))
            if text.endswith("\n"):
                text = text[:-1]
            expected = update_text(BUILD, LATEST_BUILD)
            check(text == expected, "message text %r, expected %r" % (text, expected))
            # The notice comes while the main window shows.
            c.expect_window()
            check(not os.path.exists(c.record_path), "a browser opened before OK was pressed")
            rc, out = c.tool("press", UPDATE_CAPTION, "5000")
            check(rc == 0, "could not press OK (%s)" % short(out.strip()))
            c.expect_exit_zero(EXIT_WAIT, "after OK on the update notice")
            opened = wait_until(lambda: read_file(c.record_path), 10)
            check(opened, "the download page was not opened")
            time.sleep(0.5)  # a second opening would show up by now
            opened = read_file(c.record_path)
            opened = opened.decode("utf-8", "replace")
            check(opened == DOWNLOAD_URL + "\n",
                  "opened %r, expected exactly %r once" % (opened, DOWNLOAD_URL))
            entries = server.entries()
            requests = ["%s %s%s" % (e.get("method"), e.get("path"),
                                     "?" + e["query"] if e.get("query") else "")
                        for e in entries]
            check(len(entries) == 1 and update_entries(entries),
                  "server saw %s, expected only the update request" % requests)
            entry = entries[0]
            check(entry.get("query") == "build=%d" % BUILD and entry.get("method") == "GET",
                  "update request was %s" % requests[0])
        finally:
            server.stop()

    def make_update_status(self, status):
        def case(c):
            self.server.set_fault("update=status:%d" % status)
            try:
                since = self.server.last_seq()
                c.start(self.movie_args(self.server.url))
                c.expect_window()
                entry = wait_update_request(self.server, since)
                check(entry.get("status") == status,
                      "update answered %s, expected %d" % (entry.get("status"), status))
                c.expect_no_box(QUIET_MS)
            finally:
                self.server.clear_faults()
            c.close_and_expect_zero()
        return case

    def no_server(self, c):
        site = "http://127.0.0.1:%d" % closed_port()
        c.start(self.movie_args(site))
        c.expect_window()
        # A close asked for during the check would also end a message box
        # (it belongs to the window), so watch first and close afterwards.
        c.expect_no_box(NO_SERVER_QUIET_MS)
        c.close_and_expect_zero()

    def screenshot(self, c):
        shot = c.path("shot.bmp")
        movie = self.server.url + "/static/game.swf"
        c.start(self.movie_args(self.server.url) + ["--flashvars", SHOT_FLASHVARS]
                + ["--shot", self.h.win_path(shot), "--after", str(SHOT_AFTER_MS)])
        c.expect_exit_zero(EXIT_WAIT + SHOT_AFTER_MS / 1000.0, "by itself after the screenshot")
        check(os.path.exists(shot), "no screenshot file")
        with open(shot, "rb") as f:
            data = f.read()
        check(len(data) >= 54, "screenshot has only %d bytes" % len(data))
        stride = (3 * SHOT_WIDTH + 3) // 4 * 4
        image = stride * SHOT_HEIGHT
        fields = [
            ("file type", "<2s", 0, b"BM"),
            ("file size", "<I", 2, 54 + image),
            ("reserved 1", "<H", 6, 0),
            ("reserved 2", "<H", 8, 0),
            ("pixel offset", "<I", 10, 54),
            ("header size", "<I", 14, 40),
            ("width", "<i", 18, SHOT_WIDTH),
            ("height", "<i", 22, SHOT_HEIGHT),
            ("planes", "<H", 26, 1),
            ("bits per pixel", "<H", 28, 24),
            ("compression", "<I", 30, 0),
            ("image size", "<I", 34, image),
            ("horizontal resolution", "<i", 38, 0),
            ("vertical resolution", "<i", 42, 0),
            ("colours used", "<I", 46, 0),
            ("important colours", "<I", 50, 0),
        ]
        wrong = []
        for name, fmt, offset, want in fields:
            got = struct.unpack_from(fmt, data, offset)[0]
            if got != want:
                wrong.append("%s %r (expected %r)" % (name, got, want))
        check(not wrong, "bitmap header: " + ", ".join(wrong))
        check(len(data) == 54 + image,
              "screenshot file has %d bytes, expected %d" % (len(data), 54 + image))
        # Rows are stored bottom first: the control's band is at the end.
        for y in (0, STANDIN_BAND_ROWS // 2, STANDIN_BAND_ROWS - 1):
            row = 54 + (SHOT_HEIGHT - 1 - y) * stride
            for x in (0, 4, 7, SHOT_WIDTH - 1):
                got = data[row + 3 * x:row + 3 * x + 3]
                check(got == STANDIN_BAND_BGR,
                      "pixel (%d,%d) is %s, not the control's band" % (x, y, got.hex()))
        check(data[54:54 + 3] != STANDIN_BAND_BGR, "the band fills the whole picture")

        # The launch in the log, in order, and the same properties as the
        # control received them.
        expected_log = [
            b"flash olusturuldu (wmode=direct)",
            b"set WMode = direct -> ok",
            b"set Quality2 = high -> ok",
            b"set AllowScriptAccess = always -> ok",
            b"set AllowFullScreen = true -> ok",
            b"set AllowFullScreenInteractive = true -> ok",
            b"set FlashVars = " + SHOT_FLASHVARS_ESCAPED + b" -> ok",
            b"set Movie = " + movie.encode() + b" -> ok",
        ]
        lines = c.log_lines()
        check(len(lines) > 3 and lines[2].startswith(b"flash ocx: ") and
              lines[2].endswith(b"\\Tavrensil\\Flash32_32_0_0_363.ocx"),
              "third log line: %s" % short(b"|".join(lines[:4]), 300))
        got_log = [l for l in lines[3:] if l.startswith((b"flash", b"set "))]
        check(got_log == expected_log, "launch lines: %s" % short(b"|".join(got_log), 600))
        check(any(MEDIA_STATE_LINE.match(l) for l in lines),
              "no loaded-movie state line: %s" % short(b"|".join(lines), 400))
        record = read_file(c.path("control.txt")) or b""
        puts = [l[4:].split(b"=", 1) for l in record.split(b"\n") if l.startswith(b"put ")]
        check([p[0] for p in puts] == [b"WMode", b"Quality2", b"AllowScriptAccess",
                                       b"AllowFullScreen", b"AllowFullScreenInteractive",
                                       b"FlashVars", b"Movie"],
              "the control received: %s" % short(record, 400))
        check(puts[5][1] == SHOT_FLASHVARS_ESCAPED and puts[6][1] == movie.encode(),
              "FlashVars or Movie changed on the way: %s" % short(record, 400))

    def screenshot_unwritable(self, c):
        missing = c.path("no-such-folder")
        shot = os.path.join(missing, "shot.bmp")
        c.start(self.movie_args(self.server.url)
                + ["--shot", self.h.win_path(shot), "--after", str(SHOT_AFTER_MS)])
        c.expect_exit_zero(EXIT_WAIT + SHOT_AFTER_MS / 1000.0,
                           "by itself after a screenshot it could not write")
        check(not os.path.exists(missing), "a folder was made for the screenshot")
        lines = c.log_lines()
        check(any(MEDIA_STATE_LINE.match(l) for l in lines),
              "client.log lacks the control's state line: %s" % short(b"|".join(lines), 300))
        # Without --flashvars the control gets no FlashVars at all, and
        # Movie still comes last.
        record = read_file(c.path("control.txt")) or b""
        names = [l[4:].split(b"=", 1)[0] for l in record.split(b"\n") if l.startswith(b"put ")]
        check(names == [b"WMode", b"Quality2", b"AllowScriptAccess", b"AllowFullScreen",
                        b"AllowFullScreenInteractive", b"Movie"],
              "the control received: %s" % short(record, 400))

    def fullscreen(self, c):
        since = self.server.last_seq()
        c.start(self.movie_args(self.server.url))
        c.expect_window()
        # The keys are read by the message loop, which runs after the check.
        wait_update_request(self.server, since)
        c.expect_no_box(500)

        rc, screen = c.tool("screen")
        check(rc == 0 and screen.startswith("screen "), "screen size unknown: %r" % screen)
        width, height = (int(v) for v in screen.split()[1].split("x"))
        rc, before = c.tool("placement", WINDOW_TITLE)
        check(rc == 0, "no placement before F11: %r" % before)
        before = parse_placement(before)

        self.press_key("F11")
        on = c.wait_log_line(b"F11: tam_ekran=1", 5)
        check(on is not None, "no \"F11: tam_ekran=1\" in client.log after the first F11")
        rc, full = c.tool("placement", WINDOW_TITLE)
        check(rc == 0, "no placement in full screen: %r" % full)
        full = parse_placement(full)
        check(full["window"] == (0, 0, width, height),
              "full-screen window rectangle %s, expected the whole %dx%d screen"
              % (full["window"], width, height))
        check(full["client"] == (width, height),
              "full-screen client area %s, expected %dx%d" % (full["client"], width, height))
        check(full["style"] & WS_OVERLAPPEDWINDOW == 0,
              "full-screen style 0x%08x still has frame bits (caption 0x%08x)"
              % (full["style"], full["style"] & WS_CAPTION))

        self.press_key("F11")
        off = c.wait_log_line(b"F11: tam_ekran=0", 5, after=on + 1)
        check(off is not None, "no \"F11: tam_ekran=0\" in client.log after the second F11")
        rc, after = c.tool("placement", WINDOW_TITLE)
        check(rc == 0, "no placement after the second F11: %r" % after)
        after = parse_placement(after)
        for key in ("show", "normal", "window", "client", "style"):
            shown = (lambda v: "0x%08x" % v) if key == "style" else str
            check(after[key] == before[key],
                  "%s after two F11 presses is %s, before it was %s"
                  % (key, shown(after[key]), shown(before[key])))
        f11_lines = [line for line in c.log_lines() if line.startswith(b"F11:")]
        check(f11_lines == [b"F11: tam_ekran=1", b"F11: tam_ekran=0"],
              "F11 lines in client.log: %s" % f11_lines)
        c.close_and_expect_zero()

    # ---- the game session ---------------------------------------------------

    @contextlib.contextmanager
    def own_server(self, name, extra=()):
        """A reference server of the case's own: its faults and its log
        belong to this case alone, so session cases can run side by side."""
        name = "%s-%d" % (name, next(self.server_numbers))
        server = Server(self.script, self.h.base, name, list(extra))
        try:
            yield server
        finally:
            server.stop()

    @staticmethod
    def session_site(server, query="token=" + DEV_TOKEN):
        # The browser's first navigation (site + "/?client=1") is then
        # already a play navigation of world s3.
        return server.url + "/s3/play?" + query + "&x="

    @staticmethod
    def api_calls(server, since, name=None):
        calls = [e for e in server.entries_since(since)
                 if e.get("path", "").startswith("/s3/api/client/")]
        if name:
            calls = [e for e in calls if e["path"] == "/s3/api/client/" + name]
        return calls

    @staticmethod
    def has_cookie_header(entry):
        return any(k.lower() == "cookie" for k, _ in entry.get("headers", []))

    def start_session(self, c, server):
        """Starts c on a play page of server and waits for the movie; returns
        the server log position from before the start."""
        since = server.last_seq()
        c.start(["--site", self.session_site(server)])
        c.expect_window()
        movie = b"set Movie = " + server.url.encode() + b"/s3/static/game.swf -> ok"
        check(c.wait_log_line(movie, 20) is not None,
              "the movie was not started: %s" % short(b"|".join(c.log_lines()), 400))
        return since

    def expect_session_box(self, c, expected, limit_ms=BOX_WAIT_MS):
        rc, text = c.tool("box", SESSION_CAPTION, str(limit_ms))
        check(rc == 0, "no message box \"%s\" (open: %s; log: %s)"
              % (SESSION_CAPTION, c.open_dialogs(), short(b"|".join(c.log_lines()), 300)))
        text = text[:-1] if text.endswith("\n") else text
        check(text == expected, "message text %r, expected %r" % (text, expected))
        rc, out = c.tool("press", SESSION_CAPTION, "5000")
        check(rc == 0, "could not press OK (%s)" % short(out.strip()))

    def expect_one_bye(self, server, since, after=None):
        byes = self.api_calls(server, since, "bye")
        check(len(byes) == 1, "%d goodbyes, expected one: %s"
              % (len(byes), short(json.dumps(byes), 300)))
        if after is not None:
            check(byes[0]["seq"] > after["seq"], "the goodbye came before the last beat ended")
        return byes[0]

    def xdotool(self, *args):
        xdotool = shutil.which("xdotool")
        check(xdotool, "xdotool is not installed")
        check(self.h.display, "no X display to send keys to")
        env = dict(os.environ, DISPLAY=self.h.display)
        proc = subprocess.run([xdotool] + list(args), env=env, stdin=subprocess.DEVNULL,
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT, timeout=10)
        check(proc.returncode == 0, "xdotool failed: %s"
              % proc.stdout.decode("utf-8", "replace").strip())

    def press_key(self, key):
        self.xdotool("key", key)

    def focus_window(self, title):
        """Gives the keyboard to the visible window with that title (there is
        no window manager to do it on our display)."""
        self.xdotool("search", "--onlyvisible", "--name", "^%s$" % title, "windowfocus", "--sync")

    def session_road(self, c):
        """A play navigation leads through hello and the signed play request
        to the movie, beats follow, closing sends one goodbye."""
        with self.own_server("road") as server:
            since = self.start_session(c, server)
            hello, play = self.api_calls(server, since)[:2]
            check(hello.get("path") == "/s3/api/client/hello" and hello.get("status") == 200,
                  "hello was %s" % short(json.dumps(hello), 300))
            check(play.get("path") == "/s3/api/client/play" and play.get("verdict") == "ok",
                  "play was %s" % short(json.dumps(play), 300))
            check(b"rb_dev cerezi: BULUNAMADI" in c.log_lines(),
                  "no cookie line: %s" % c.log_lines()[:6])
            check(not self.has_cookie_header(hello) and not self.has_cookie_header(play),
                  "a Cookie header went out without a device cookie")
            c.expect_no_box(QUIET_MS)
            # The server refuses a beat not signed over the challenge of the
            # previous answer, and a goodbye not signed over the last one.
            beats = lambda: self.api_calls(server, since, "beat")
            check(wait_until(lambda: len(beats()) >= 2, TWO_BEATS_WAIT),
                  "fewer than two beats: %s" % beats())
            check(all(b.get("verdict") == "ok" for b in beats()),
                  "a beat was refused: %s" % short(json.dumps(beats()), 400))
            c.close_and_expect_zero()
            bye = self.expect_one_bye(server, since, after=beats()[-1])
            check(bye.get("verdict") == "ok", "goodbye refused: %s" % bye.get("verdict"))

    def beat_retry(self, c):
        """A beat answered 500 is followed by one over the same challenge."""
        with self.own_server("beat-retry", ["--fault", "beat=status:500:once"]) as server:
            since = self.start_session(c, server)
            beats = lambda: self.api_calls(server, since, "beat")
            check(wait_until(lambda: len(beats()) >= 2, TWO_BEATS_WAIT),
                  "fewer than two beats: %s" % beats())
            first, second = beats()[:2]
            check(first.get("status") == 500 and second.get("verdict") == "ok",
                  "beats answered %s then %s" % (first.get("status"), second.get("verdict")))
            check(first["form"]["challenge"] == second["form"]["challenge"],
                  "the beat after a 500 used another challenge")
            c.close_and_expect_zero()
            check(self.expect_one_bye(server, since).get("verdict") == "ok", "goodbye refused")

    def beat_fatal(self, c):
        """A fatal answer is logged and ends the beats; the goodbye still goes."""
        with self.own_server("beat-fatal", ["--fault", "beat=fatal:once"]) as server:
            since = self.start_session(c, server)
            beats = lambda: self.api_calls(server, since, "beat")
            check(wait_until(beats, BEAT_PERIOD + 10), "no beat came")
            line = b"Nabiz oturumu sonlandi: " + SESSION_KILLED.encode("utf-8")
            check(wait_until(lambda: line in c.log_lines(), 5),
                  "no fatal line in client.log: %s" % short(b"|".join(c.log_lines()[-4:]), 300))
            time.sleep(BEAT_PERIOD + 3)  # when a further beat would have come
            check(len(beats()) == 1, "%d beats after a fatal answer" % len(beats()))
            c.close_and_expect_zero()
            self.expect_one_bye(server, since)

    def reload_in_game(self, c):
        """F5 restarts the movie in the same session; one beat stream stays."""
        presses = 4
        with self.own_server("reload-game") as server:
            since = self.start_session(c, server)
            for _ in range(presses):
                self.press_key("F5")
                time.sleep(0.3)
            reloads = lambda: [l for l in c.log_lines() if l == b"F5: yenileniyor (oyun_icinde=1)"]
            check(wait_until(lambda: len(reloads()) == presses, 10),
                  "%d reload lines after %d presses of F5" % (len(reloads()), presses))
            last_press = time.time()
            # The reload line comes first; the new control gets its movie after.
            wait_until(lambda: len(c.control_puts("Movie")) > presses, 10)
            movies, flashvars = c.control_puts("Movie"), c.control_puts("FlashVars")
            check(len(movies) == presses + 1 and len(set(movies)) == 1,
                  "the control was given the movies %s" % movies)
            check(len(flashvars) == presses + 1 and len(set(flashvars)) == 1 and flashvars[0],
                  "the control was given the FlashVars %s" % flashvars)
            sessions = [e["path"] for e in self.api_calls(server, since)
                        if e["path"].endswith(("/hello", "/play"))]
            check(len(sessions) == 2, "a reload opened a new session: %s" % sessions)
            # Each press stopped the beat thread and started a new one: only
            # the last may beat, 20 s and 40 s after it.
            beats = lambda: self.api_calls(server, since, "beat")
            wait_until(lambda: len(beats()) >= 3, last_press + TWO_BEATS_WAIT - time.time())
            time.sleep(1)
            check(len(beats()) == 2, "%d beats in the %.0f s after the last F5, expected 2"
                  % (len(beats()), time.time() - last_press))
            check(all(b.get("verdict") == "ok" for b in beats()),
                  "a beat was refused: %s" % short(json.dumps(beats()), 400))
            c.close_and_expect_zero()
            check(self.expect_one_bye(server, since).get("verdict") == "ok", "goodbye refused")

    def hot_keys_follow_activation(self, c):
        """F5 and F11 are the client's only while its window is active: with
        another program's window active they reach that program."""
        c.start(self.movie_args(self.server.url))
        c.expect_window()
        check(wait_until(lambda: c.control_puts("Movie"), 10), "the movie did not start")
        holder_title = "Tavrensil Test Holder"
        with open(c.path("holder.out"), "wb") as out:
            holder = subprocess.Popen(
                self.h.runner + [self.h.opts.tool, "hold", holder_title, "20000"],
                stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                start_new_session=(os.name != "nt"))
        try:
            rc, out = self.h.tool(None, "wait", holder_title, str(WINDOW_WAIT_MS))
            check(rc == 0, "the other window did not appear (%s)" % out.strip())
            self.focus_window(holder_title)
            check(wait_until(lambda: self.h.tool(None, "active")[1].strip() == holder_title, 5),
                  "the other window did not become active")
            self.press_key("F5")
            self.press_key("F11")
            time.sleep(1.5)
            keys = [l for l in c.log_lines() if l.startswith((b"F5:", b"F11:"))]
            check(not keys, "the client took the keys of another window: %s" % keys)
            check(len(c.control_puts("Movie")) == 1, "the movie was restarted")
        finally:
            kill_tree(holder)
            holder.wait()
        rc, out = c.tool("foreground", WINDOW_TITLE)
        check(rc == 0, "could not bring the client to the foreground (%s)" % out.strip())
        self.focus_window(WINDOW_TITLE)
        self.press_key("F11")
        check(c.wait_log_line(b"F11: tam_ekran=1", 5) is not None, "F11 did nothing when active")
        self.press_key("F5")
        check(c.wait_log_line(b"F5: yenileniyor (oyun_icinde=1)", 5) is not None,
              "F5 did nothing when active")
        check(wait_until(lambda: len(c.control_puts("Movie")) == 2, 10), "the movie did not restart")
        c.close_and_expect_zero()

    def reload_during_box(self, c):
        """An F5 that arrives while a reload's failure box is open changes
        nothing: one reload, and one beat stream afterwards."""
        with self.own_server("reload-box") as server:
            since = self.start_session(c, server)
            c.set_control_failures("create")
            self.press_key("F5")
            rc, text = c.tool("box", "Tavrensil Flash Hatası", str(BOX_WAIT_MS))
            check(rc == 0 and text.startswith("Flash nesnesi olusturulamadi"),
                  "no launch-failure box (%r; open: %s)" % (text, c.open_dialogs()))
            # What the box's own message loop hands the window for a second F5.
            rc, out = c.tool("hotkey", WINDOW_TITLE, "1")
            check(rc == 0, "could not send the hot key (%s)" % out.strip())
            time.sleep(1.5)
            reloads = [l for l in c.log_lines() if l.startswith(b"F5:")]
            check(len(reloads) == 1, "reload lines: %s" % reloads)
            check(c.open_dialogs().count("Tavrensil Flash Hatası") == 1,
                  "boxes open: %s" % c.open_dialogs())
            c.set_control_failures("")
            rc, out = c.tool("press", "Tavrensil Flash Hatası", "5000")
            check(rc == 0, "could not press OK (%s)" % out.strip())
            pressed = server.last_seq()
            beats = lambda: self.api_calls(server, pressed, "beat")
            wait_until(lambda: len(beats()) >= 3, TWO_BEATS_WAIT)
            check(len(beats()) == 2, "%d beats in the %.0f s after the box, expected 2"
                  % (len(beats()), TWO_BEATS_WAIT))
            check(all(b.get("verdict") == "ok" for b in beats()),
                  "a beat was refused: %s" % short(json.dumps(beats()), 400))
            c.close_and_expect_zero()
            check(self.expect_one_bye(server, since).get("verdict") == "ok", "goodbye refused")

    def session_hello_update_none(self, c):
        """A hello that asks for an update the update check then does not
        require leaves the player the hello's own text, not an empty window."""
        extra = ["--required-build", str(BUILD + 1), "--fault", "update=status:500"]
        with self.own_server("hello-update-none", extra) as server:
            c.start(["--site", self.session_site(server)])
            self.expect_session_box(c, "İstemci sürümünüz artık desteklenmiyor, "
                                       "lütfen yeni sürümü indirin.")
            seen = [e.get("endpoint") for e in server.entries()
                    if e.get("path", "").endswith(("/update", "/hello", "/play"))]
            check(seen == ["update", "hello", "update"], "the server saw %s" % seen)
            c.close_and_expect_zero()

    def close_during_beat(self, c):
        """Closing while the server holds a beat: closing waits for it only
        briefly, then the goodbye goes out over the challenge the client
        holds, and the held beat, served later, changes nothing."""
        delay_ms = 120000
        with self.own_server("slow-beat", ["--fault", "beat=delay:%d:once" % delay_ms]) as server:
            since = self.start_session(c, server)
            # The fault is taken when the beat arrives: from then on it is held.
            held = lambda: not any(f.get("endpoint") == "beat" for f in server.faults())
            check(wait_until(held, BEAT_PERIOD + 10, step=0.05), "no beat came")
            c.close_and_expect_zero(BEAT_STOP_WAIT + CLOSE_SLACK)
            bye = self.expect_one_bye(server, since)
            check(bye.get("verdict") == "ok", "goodbye refused: %s" % bye.get("verdict"))

    # ---- hostile peers ----------------------------------------------------

    def expect_small(self, c):
        peak = c.peak_memory_kb()
        check(peak is not None, "the client process was not found")
        check(peak < PEAK_MEMORY_KB, "the client held %d kB at its peak" % peak)

    def make_oversized(self, fault, box=None):
        """An answer without end or announcing gigabytes: the client reads no
        more than its bound, stays up and small, and says so when it must."""
        def case(c):
            with self.own_server("oversized", ["--fault", fault]) as server:
                if box is None:
                    c.start(self.movie_args(server.url))
                    c.expect_window()
                    wait_update_request(server, 0)
                    c.expect_no_box(QUIET_MS)
                else:
                    c.start(["--site", self.session_site(server)])
                    self.expect_session_box(c, box)
                self.expect_small(c)
                c.close_and_expect_zero()
        return case

    def make_close_bound(self, fault, limit):
        """A goodbye the server never properly answers: the client still
        ends within `limit` seconds of the close."""
        def case(c):
            with self.own_server("close-bound", ["--fault", fault]) as server:
                since = self.start_session(c, server)
                c.close_and_expect_zero(limit + CLOSE_SLACK)
                self.expect_one_bye(server, since)
        return case

    def play_redirect(self, c):
        """A redirect of the signed play request is not followed."""
        with self.own_server("redirect-target") as target:
            with self.own_server("redirect", ["--fault", "play=redirect:%d" % target.port]) as server:
                c.start(["--site", self.session_site(server)])
                self.expect_session_box(c, "Oyun bileti alınamadı.")
                c.close_and_expect_zero()
            check(not target.entries(), "the redirect target was reached: %s"
                  % [e.get("path") for e in target.entries()])

    def make_movie_url(self, movie):
        """A play answer whose movie is no web address starts no game."""
        def case(c):
            with self.own_server("movie-url", ["--movie-url", movie]) as server:
                since = server.last_seq()
                c.start(["--site", self.session_site(server)])
                self.expect_session_box(c, "Oyun başlatılamadı.")
                check(not any(l.startswith(b"flash") for l in c.log_lines()),
                      "the media control was started: %s" % short(b"|".join(c.log_lines()), 300))
                c.close_and_expect_zero()
                seen = [e["path"].rsplit("/", 1)[1] for e in self.api_calls(server, since)]
                check(seen == ["hello", "play"], "the server saw %s" % seen)
        return case

    def site_name(self, c):
        """A site name that is no name sends the session to the main world's
        API paths, never to a path made of it."""
        with self.own_server("site-name") as server:
            site = server.url + "/s3/play?site=..%2F..%2Fadmin&token=" + DEV_TOKEN + "&x="
            since = server.last_seq()
            c.start(["--site", site])
            c.expect_window()
            movie = b"set Movie = " + server.url.encode() + b"/static/game.swf -> ok"
            check(c.wait_log_line(movie, 20) is not None,
                  "the movie was not started: %s" % short(b"|".join(c.log_lines()), 400))
            c.close_and_expect_zero()
            paths = [e.get("path") for e in server.entries_since(since)
                     if "/api/" in e.get("path", "")]
            check(paths and all(p.startswith("/api/client/") for p in paths),
                  "the server saw %s" % paths)
            check(paths[-1] == "/api/client/bye", "the session did not end with a goodbye: %s" % paths)

    def make_session_box(self, expected, calls, fault=None, site=None):
        """A session start that ends in a message box: the fault set on the
        shared server (or another site), the box text, and the API calls the
        server must have seen in order (None: not checked)."""
        def case(c):
            server = self.server
            since = server.last_seq()
            if fault:
                server.set_fault(fault)
            try:
                c.start(["--site", site() if site else self.session_site(server)])
                # Without a server both the update check and hello try three times.
                self.expect_session_box(c, expected, 30000)
            finally:
                server.clear_faults()
            if calls is not None:
                seen = [e["path"].rsplit("/", 1)[1] for e in self.api_calls(server, since)]
                check(seen == calls, "the server saw %s, expected %s" % (seen, calls))
            c.close_and_expect_zero()
            check(not self.api_calls(server, since, "bye"), "a goodbye without a session")
        return case

    def session_hello_update(self, c):
        """A hello that says update runs the update check."""
        extra = ["--required-build", str(BUILD + 1), "--latest-build", str(LATEST_BUILD),
                 "--download-url", DOWNLOAD_URL,
                 # The start-up check must pass for the session to begin.
                 "--fault", "update=status:500:once"]
        with self.own_server("hello-update", extra) as server:
            c.start(["--site", self.session_site(server)])
            rc, text = c.tool("box", UPDATE_CAPTION, str(BOX_WAIT_MS))
            check(rc == 0, "no update notice (open: %s)" % c.open_dialogs())
            check(text.rstrip("\n") == update_text(BUILD, LATEST_BUILD), "notice text %r" % text)
            c.tool("press", UPDATE_CAPTION, "5000")
            c.expect_exit_zero(EXIT_WAIT, "after OK on the update notice")
            opened = wait_until(lambda: read_file(c.record_path), 10)
            check(opened == (DOWNLOAD_URL + "\n").encode(), "opened %r" % opened)
            seen = [(e.get("endpoint"), e.get("status")) for e in server.entries()
                    if e.get("path", "").endswith(("/update", "/hello", "/play"))]
            check(seen == [("update", 500), ("hello", 200), ("update", 200)],
                  "the server saw %s" % seen)

    def session_cookie(self, c):
        """The site's device cookie travels with every API request."""
        check(self.h.opts.cookie_tool, "no cookie tool given")
        with self.own_server("cookie", ["--require-device"]) as server:
            with urllib.request.urlopen(server.url + "/", timeout=10) as answer:
                cookies = [h.split(";")[0].split("=", 1) for h in answer.headers.get_all("Set-Cookie")]
            device = dict(c for c in cookies if len(c) == 2).get("rb_dev")
            check(device, "the site set no device cookie")
            cookie_url = self.session_site(server) + "/"
            rc, _ = self.h.run([self.h.opts.cookie_tool, "set", cookie_url, "rb_dev", device, "1"])
            check(rc == 0, "could not store the device cookie")
            try:
                since = self.start_session(c, server)
                lines = c.log_lines()
                check(b"rb_dev cerezi: alindi" in lines and b"rb_dev kalici: ok" in lines,
                      "cookie lines: %s" % [l for l in lines if l.startswith(b"rb_dev")])
                calls = self.api_calls(server, since)
                check(len(calls) >= 2 and all(e.get("device") == device for e in calls),
                      "device cookies sent: %s" % [e.get("device") for e in calls])
                check(calls[1].get("verdict") == "ok", "play: %s" % calls[1].get("verdict"))
                c.close_and_expect_zero()
                check(self.api_calls(server, since, "bye")[0].get("device") == device,
                      "the goodbye went without the cookie")
            finally:
                # Other cases must find the store without it again.
                self.h.run([self.h.opts.cookie_tool, "set", cookie_url, "rb_dev", "x", "-1"])
            rc, out = self.h.run([self.h.opts.cookie_tool, "get", cookie_url, "rb_dev"])
            check(out.strip() == b"", "the device cookie could not be removed: %r" % out)

    def session_without_token(self, c):
        since = self.server.last_seq()
        c.start(["--site", self.session_site(self.server, "x=1")])
        self.expect_session_box(c, NO_TOKEN_TEXT)
        others = [e.get("path") for e in self.server.entries_since(since)
                  if "/api/client/update" not in e.get("path", "")]
        check(not others, "requests besides the update check: %s" % others)
        check(not any(l.startswith(b"rb_dev") for l in c.log_lines()), "cookie lines logged")
        c.close_and_expect_zero()

    def reload_in_site(self, c):
        """F5 in the site makes the browser anew at the start page, which
        here is a play page without a token: the box comes again."""
        c.start(["--site", self.session_site(self.server, "x=1")])
        self.expect_session_box(c, NO_TOKEN_TEXT)
        self.press_key("F5")
        check(c.wait_log_line(b"F5: yenileniyor (oyun_icinde=0)", 5) is not None,
              "no reload line: %s" % short(b"|".join(c.log_lines()), 300))
        self.expect_session_box(c, NO_TOKEN_TEXT)
        c.close_and_expect_zero()

    def close_in_site(self, c):
        """Without a session, closing sends nothing to the server."""
        since = self.server.last_seq()
        c.start(["--site", self.server.url])
        c.expect_window()
        wait_update_request(self.server, since)
        c.expect_no_box(QUIET_MS)
        c.close_and_expect_zero()
        calls = [e["path"] for e in self.server.entries_since(since)
                 if "/api/client/" in e.get("path", "") and e.get("endpoint") != "update"]
        check(not calls, "API requests in site mode: %s" % calls)

    def all(self):
        """The cases as (name, function, group). "slow" cases run side by
        side, each with its own server; "fast" ones run one after another
        meanwhile; "alone" ones run last with no other client (keys go to
        the active window, and the cookie store is shared)."""
        gate = "Güvenlik kapısına bağlanılamadı.\n\n"
        table = [
            ("session_road", self.session_road, "slow"),
            ("beat_retry", self.beat_retry, "slow"),
            ("beat_fatal", self.beat_fatal, "slow"),
            ("close_during_beat", self.close_during_beat, "slow"),
            # A 12-byte body one byte every 6 s would take 72 s.
            ("hostile_bye_trickling_body", self.make_close_bound(
                "bye=tricklebody:6000", BEAT_STOP_WAIT + ATTEMPT_DEADLINE), "slow"),
            ("hostile_bye_trickling_headers", self.make_close_bound(
                "bye=trickle:2000", BEAT_STOP_WAIT + ATTEMPT_DEADLINE), "slow"),
            ("hostile_bye_silent", self.make_close_bound(
                "bye=silent", BEAT_STOP_WAIT + HEADERS_WAIT), "slow"),
            ("hostile_update_endless", self.make_oversized("update=endless"), "slow"),
            ("hostile_update_huge_length", self.make_oversized("update=hugelength"), "slow"),
            ("hostile_hello_endless", self.make_oversized(
                "hello=endless", gate + OVERSIZE_CODE + GATE_HINT), "slow"),
            ("hostile_play_redirect", self.play_redirect, "slow"),
            ("hostile_movie_unc", self.make_movie_url("\\\\127.0.0.1\\share\\x.swf"), "slow"),
            ("hostile_movie_file", self.make_movie_url("file:///C:/x.swf"), "slow"),
            ("hostile_site_name", self.site_name, "slow"),
            ("fresh_start", self.fresh_start, "fast"),
            ("update_required", self.update_required, "fast"),
        ]
        for status in (204, 404, 500):
            table.append(("update_status_%d" % status, self.make_update_status(status), "fast"))
        table += [
            ("update_no_server", self.no_server, "fast"),
            ("screenshot", self.screenshot, "fast"),
            ("screenshot_unwritable", self.screenshot_unwritable, "fast"),
            ("close_in_site", self.close_in_site, "fast"),
            ("session_without_token", self.session_without_token, "fast"),
            ("session_hello_refused", self.make_session_box(
                gate + "(asama=send, kod=12029)" + GATE_HINT, None,
                site=lambda: "http://127.0.0.1:%d/s3/play?token=T&x=" % closed_port()), "fast"),
            ("session_hello_503", self.make_session_box(
                gate + "(HTTP 503)" + GATE_HINT, ["hello"], fault="hello=status:503"), "fast"),
            ("session_hello_error", self.make_session_box(
                SERVER_UNAVAILABLE, ["hello"], fault="hello=refuse"), "fast"),
            ("session_play_status", self.make_session_box(
                "Oyun bileti alınamadı.", ["hello", "play"], fault="play=status:500"), "fast"),
            ("session_play_error", self.make_session_box(
                "Oturum süresi doldu, lütfen tekrar giriş yapın.", ["hello", "play"],
                site=lambda: self.session_site(self.server, "token=NO-SUCH-TOKEN")), "fast"),
            ("session_hello_update", self.session_hello_update, "fast"),
            ("session_hello_update_none", self.session_hello_update_none, "fast"),
            ("long_path", self.long_path, "fast"),
            ("fullscreen_f11", self.fullscreen, "alone"),
            ("hot_keys_follow_activation", self.hot_keys_follow_activation, "alone"),
            ("reload_in_game", self.reload_in_game, "alone"),
            ("reload_during_box", self.reload_during_box, "alone"),
            ("reload_in_site", self.reload_in_site, "alone"),
            ("session_cookie", self.session_cookie, "alone"),
        ]
        return table


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


class Runner:
    """Runs the cases of a table by their groups and counts the results."""

    def __init__(self, harness):
        self.h = harness
        self.passed = self.failed = 0
        self.lock = threading.Lock()
        self.started = time.monotonic()

    def record(self, name, ok, reason):
        with self.lock:
            if ok:
                self.passed += 1
                print("%s: ok" % name, flush=True)
            else:
                self.failed += 1
                print("%s: FAIL: %s" % (name, reason) if reason else "%s: FAIL" % name,
                      flush=True)

    def run_case(self, name, fn, client):
        t0 = time.monotonic()
        try:
            fn(client)
            self.record(name, True, "")
        except CaseFailure as e:
            self.record(name, False, str(e))
        except Exception as e:  # a broken step must not stop the other cases
            self.record(name, False, "%s: %s" % (type(e).__name__, e))
        finally:
            client.stop()
            self.h.log("%s took %.1fs" % (name, time.monotonic() - t0))

    def run_in_turn(self, cases):
        for name, fn, _ in cases:
            if time.monotonic() - self.started > RUN_BUDGET:
                self.record(name, False, "not run, the run already took over %ds" % RUN_BUDGET)
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
        groups = {group: [case for case in table if case[2] == group]
                  for group in ("slow", "fast", "alone")}
        threads = self.start_side_by_side(groups["slow"])
        self.run_in_turn(groups["fast"])
        for thread in threads:
            thread.join(RUN_BUDGET)
            if thread.is_alive():
                raise RuntimeError("a session case did not end")
        self.run_in_turn(groups["alone"])


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--client", required=True)
    parser.add_argument("--tool", required=True, help="window_tool executable")
    parser.add_argument("--recorder", required=True, help="open_recorder executable")
    parser.add_argument("--state", required=True, help="the runner's Wine state folder")
    parser.add_argument("--server", default=DEFAULT_SERVER, help="reference server script")
    parser.add_argument("--cookie-tool", help="cookie_tool executable (for the device cookie case)")
    parser.add_argument("--only", action="append", default=[], help="run only this case")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folders")
    parser.add_argument("--verbose", action="store_true")
    parser.add_argument("runner", nargs="*", help="command prefix that runs Windows programs")
    opts = parser.parse_args()
    if opts.cookie_tool:
        opts.cookie_tool = os.path.abspath(opts.cookie_tool)
    for name in ("client", "tool", "recorder", "server"):
        setattr(opts, name, os.path.abspath(getattr(opts, name)))
        if not os.path.isfile(getattr(opts, name)):
            parser.error("no such file: %s" % getattr(opts, name))

    def interrupt(signum, frame):
        raise Interrupted()
    signal.signal(signal.SIGTERM, interrupt)
    signal.signal(signal.SIGINT, interrupt)

    harness = Harness(opts)
    runner = Runner(harness)
    cases = None
    try:
        harness.setup()
        cases = Cases(harness, opts.server)
        cases.server = Server(opts.server, harness.base, "main", [])
        table = cases.all()
        if opts.only:
            unknown = set(opts.only) - {name for name, _, _ in table}
            if unknown:
                parser.error("unknown case(s): %s" % ", ".join(sorted(unknown)))
            table = [case for case in table if case[0] in opts.only]
        runner.run_table(table)
    except Interrupted:
        runner.record("interrupted", False, "")
    except Exception as e:
        runner.record("run", False, "%s: %s" % (type(e).__name__, e))
    finally:
        if cases and cases.server:
            cases.server.stop()
        harness.teardown()
    harness.log("whole run %.1fs" % (time.monotonic() - runner.started))
    print("%d passed, %d failed" % (runner.passed, runner.failed), flush=True)
    return 1 if runner.failed else 0


if __name__ == "__main__":
    sys.exit(main())
