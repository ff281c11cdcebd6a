#!/usr/bin/env python3
"""End-to-end tests of the client executable against the reference server.

  client_e2e.py --client EXE --tool WINDOW_TOOL_EXE --recorder OPEN_RECORDER_EXE
                --state WINE_STATE_DIR [--cookie-tool COOKIE_TOOL_EXE]
                [--planted-library PLANTED_LIBRARY_DLL]
                [--server SERVER_PY] [--only NAME]... [--keep] [--verbose]
                -- RUNNER...

RUNNER runs a Windows program, e.g. "tools/wine-run --state WINE_STATE_DIR
--arch win64"; harness.py, which holds the machinery (this script holds
the cases), says how its display is started and stopped. The open recorder
is the prefix's handler of http and https addresses for the run. Each case
has its own copy of the client, and so its own client.log, in a temporary
folder. Prints "NAME: ok" or "NAME: FAIL: reason" per case, then
"N passed, M failed"; exits with 1 when a case failed.

Python 3 standard library only.
"""
import datetime
import http.server
import json
import os
import re
import shutil
import socket
import struct
import subprocess
import sys
import threading
import time
import urllib.request

import harness
import http_peer
import proxy_settings
from forward_proxy import ForwardProxy
from harness import (DEV_TOKEN, EXIT_WAIT, UPDATE_CAPTION, WINDOW_TITLE, WINDOW_WAIT_MS,
                     WS_CAPTION, WS_OVERLAPPEDWINDOW, Client, check, kill_tree,
                     read_file, short, wait_until)

BUILD = harness.CLIENT_BUILD
FIRST_LOG_LINES = [b"Tavrensil Client baslatildi (Build %d)" % BUILD, b"MMCSS 'Games' kaydi: ok"]
DIRECT_ROUTE_LINE = b"baglanti: dogrudan"

# A crash in the media control: its code and module in the log, the
# process's exit status (Wine passes on the code's low byte), and how long
# writing the dump may take under Wine. A crash holding the loader lock
# must end within its own bound: the 15 s the dump may take, and Wine.
CRASH_LINE = b"cokme: kod=c0000005 modul=Flash32_32_0_0_363.ocx dokum="
CRASH_STATUS = 0xC0000005 & 0xFF
CRASH_WAIT = 60.0
LOCKED_CRASH_WAIT = 40.0
# A C++ exception nobody catches, made by the client's test switch.
UNCAUGHT_LINE = b"cokme: kod=e0544156 modul=TavrensilClient.exe dokum="
UNCAUGHT_STATUS = 0xE0544156 & 0xFF
# The system libraries that are not known libraries, which the client must
# load from the system folder only: a copy planted beside it never loads.
PLANTED_NAMES = ("dbghelp", "winhttp", "wininet", "winmm", "avrt")
# And those the system's libraries load by name on the session road: the
# theme library (by a bare-name load, which the client's search limit
# covers) and what winhttp loads on demand.
PLANTED_ON_THE_ROAD = PLANTED_NAMES + ("uxtheme", "crypt32", "bcrypt", "dnsapi", "nsi",
                                       "dhcpcsvc")
# Wine's own DLL overrides for our runs, and with dbghelp switched off, or
# the planted names taken from the program's folder first (as a bare-name
# load or a normal import would).
NO_DBGHELP = "mscoree=;winemenubuilder.exe=d;dbghelp=d"


def native_first(names):
    return "mscoree=;winemenubuilder.exe=d;" + ";".join(name + "=n,b" for name in names)


PLANTED_NATIVE_FIRST = native_first(PLANTED_NAMES)
READ_DUMP = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                         "read-dump")

LATEST_BUILD = BUILD + 2
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

# Where the prefix keeps the display scaling it gives every program.
DPI_KEY = "HKCU\\Control Panel\\Desktop"

# Bounds of the waits (seconds unless named _MS), counted from the client's
# first log line. A box comes after the window, the browser and a request,
# which with a score of clients starting beside it took 8.5 s here.
BOX_WAIT_MS = 20000
REQUEST_WAIT = 10.0
QUIET_MS = 1500   # how long no message box may appear after the update check
RUN_BUDGET = 420.0  # cases that would start later are not run

# The session's message boxes (caption "Tavrensil").
SESSION_CAPTION = "Tavrensil"
GATE_HINT = ("\n\nAntivirüs/güvenlik duvarı TavrensilClient.exe'yi engelliyor olabilir; "
             "program klasörünü istisnaya ekleyip tekrar deneyin.")
NO_TOKEN_TEXT = "Oturum anahtarı alınamadı, lütfen tekrar giriş yapın."
SERVER_UNAVAILABLE = "Sunucu şu anda hizmet veremiyor, lütfen daha sonra tekrar deneyin."
BEAT_PERIOD = 20.0
# From the movie's start to the second beat, with room for a slow host.
TWO_BEATS_WAIT = 2 * BEAT_PERIOD + 12

# Without a server the update request is tried three times in all, 1.5 s
# apart, after the window shows; no message box may appear meanwhile or after.
NO_SERVER_QUIET_MS = 6000

# The device cookie's renewed life, and how far the stored expiry may be off
# (the renewal came moments before it is read back).
DEVICE_COOKIE_DAYS = 60
EXPIRY_SLACK = 600

# The media control's own full-screen window (TAVRENSIL_STANDIN_FULLSCREEN).
CONTROL_FULLSCREEN = "Tavrensil Tam Ekran"

# Hostile peers. The client under Wine peaks near 40 MB; one that read an
# endless answer on would pass this bound within a second.
PEAK_MEMORY_KB = 150 * 1024
# One attempt's deadline (the four time-outs) and the wait for the answer's
# headers.
ATTEMPT_DEADLINE = 55.0
HEADERS_WAIT = 20.0
GOODBYE_BUDGET = 20.0     # all of closing: the wait for a beat, the goodbye's retries
# F5 this often keeps no beat from coming every BEAT_PERIOD.
RELOAD_EVERY = 12.0
# How long after giving up on an attempt its connection may stay open: the
# peer notices a closed connection at its next byte.
LET_GO_SLACK = 5.0
# Wine's own start and end of a close, and the close tool's.
CLOSE_SLACK = 6.0
OVERSIZE_CODE = "(asama=receive, kod=12184)"

# A configuration script as slow as a school's: the window must answer
# WM_NULL within the limit all through the wait for it, which ends at the
# latest kRouteWaitMs after the window shows.
SCRIPT_DELAY = 4.0
# One past the wait (the session goes directly meanwhile), one never there.
LATE_SCRIPT_DELAY = 9.0
NEVER = 600.0
ROUTE_WAIT_MS = 5000
ANSWER_LIMIT_MS = 500
HELLO_TO_PLAY = 1.0
BAD_SITE_EXIT = 2


class SlowScript:
    """Serves a configuration script on loopback after `delay` seconds and
    counts the fetches. The script sends "localhost" through `proxy`."""

    def __init__(self, delay, proxy):
        body = ('function FindProxyForURL(url, host) {\n'
                '  return host == "localhost" ? "PROXY %s" : "DIRECT";\n}\n' % proxy).encode()
        script = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                with script.lock:
                    script.fetches += 1
                time.sleep(delay)
                try:
                    self.send_response(200)
                    self.send_header("Content-Type", "application/x-ns-proxy-autoconfig")
                    self.send_header("Content-Length", str(len(body)))
                    self.end_headers()
                    self.wfile.write(body)
                except OSError:
                    pass  # the client gave up on a late script

            def log_message(self, *args):
                pass

        self.lock = threading.Lock()
        self.fetches = 0
        self.httpd = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        # Closing does not wait for a fetch still held back.
        self.httpd.daemon_threads = True
        self.httpd.block_on_close = False
        self.url = "http://127.0.0.1:%d/proxy.pac" % self.httpd.server_address[1]
        threading.Thread(target=self.httpd.serve_forever, daemon=True).start()

    def close(self):
        self.httpd.shutdown()
        self.httpd.server_close()


def entry_time(entry, end=False):
    """When the server's log entry started (or, with `end`, finished), in seconds."""
    started = datetime.datetime.strptime(entry["time"], "%Y-%m-%dT%H:%M:%S.%fZ").timestamp()
    return started + (entry.get("duration_ms", 0) / 1000.0 if end else 0)


def closed_port():
    s = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
    s.bind(("127.0.0.1", 0))
    port = s.getsockname()[1]
    s.close()
    return port


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

def site_url(server, host=None):
    """The server's base URL, with `host` in place of its address if given."""
    return server.url.replace("127.0.0.1", host) if host else server.url


def check_dump(path, image, code, module, function=None):
    """tools/read-dump reads the dump: the exception code, the faulting
    module and, when given, a function of the client's in its frames."""
    result = subprocess.run([sys.executable, READ_DUMP, path, image], capture_output=True,
                            text=True, timeout=120)
    out = result.stdout
    check(result.returncode == 0, "read-dump failed: %s" % short(result.stderr.encode(), 300))
    check("exception: %s" % code in out, "read-dump names no %s: %s" % (code, out[:300]))
    check("faulting module: %s" % module in out, "read-dump names no %s: %s" % (module, out[:300]))
    if function:
        check(function in out, "no %s among the frames: %s" % (function, out[:800]))


class Cases(harness.Cases):
    def movie_args(self, site):
        return ["--site", site, "--movie", site + "/static/game.swf"]

    def fresh_start(self, c):
        """A start in direct-movie mode keeps the old log as client.old.log
        and writes the same ASCII log, byte for byte, as it always has."""
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
        check(read_file(c.path("client.old.log")) == b"an old line\r\n" * 50,
              "the last run's log was not kept as client.old.log")
        data = c.read_log()
        check(data is not None, "no client.log next to the executable")
        lines = data.split(b"\r\n")
        check(len(lines) > 3 and lines[3].startswith(b"flash ocx: C:\\"),
              "client.log: %s" % short(data, 300))
        expected = FIRST_LOG_LINES + [DIRECT_ROUTE_LINE, lines[3],
                                      b"flash olusturuldu (wmode=direct)"] + [
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
        extra = ["--required-build", str(BUILD + 1), "--latest-build", str(LATEST_BUILD),
                 "--download-url", DOWNLOAD_URL]
        with self.own_server("update", extra) as server:
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
        check(len(lines) > 4 and lines[3].startswith(b"flash ocx: ") and
              lines[3].endswith(b"\\Tavrensil\\Flash32_32_0_0_363.ocx"),
              "fourth log line: %s" % short(b"|".join(lines[:5]), 300))
        got_log = [l for l in lines[4:] if l.startswith((b"flash", b"set "))]
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

        width, height = c.screen_size()
        before = c.placement("before F11")

        self.press_key("F11")
        on = c.wait_log_line(b"F11: tam_ekran=1", 5)
        check(on is not None, "no \"F11: tam_ekran=1\" in client.log after the first F11")
        full = c.placement("in full screen")
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
        after = c.placement("after the second F11")
        for key in ("show", "normal", "window", "client", "style"):
            shown = (lambda v: "0x%08x" % v) if key == "style" else str
            check(after[key] == before[key],
                  "%s after two F11 presses is %s, before it was %s"
                  % (key, shown(after[key]), shown(before[key])))
        f11_lines = [line for line in c.log_lines() if line.startswith(b"F11:")]
        check(f11_lines == [b"F11: tam_ekran=1", b"F11: tam_ekran=0"],
              "F11 lines in client.log: %s" % f11_lines)
        c.close_and_expect_zero()

    # ---- the window's size and placement ------------------------------------

    def log_pixels(self, dpi=None, unset=False):
        """Sets the prefix's display scaling (LogPixels; unset deletes it) or,
        with neither, reads it (None when unset)."""
        if dpi is None and not unset:
            rc, out = self.h.run(["reg", "query", DPI_KEY, "/v", "LogPixels"])
            text = out.decode("utf-8", "replace")
            return int(text.split("REG_DWORD", 1)[1].split()[0], 16) if rc == 0 else None
        value = ["delete"] if unset else ["add", "/t", "REG_DWORD", "/d", str(dpi)]
        rc, _ = self.h.run(["reg", value[0], DPI_KEY, "/v", "LogPixels"] + value[1:] + ["/f"])
        check(rc == 0, "could not set the display scaling to %s" % dpi)

    @staticmethod
    def expected_client(dpi, frame, screen):
        """1000x600 at 96 DPI scaled to dpi; when the window would not fit
        the screen, the largest 5:3 area that does."""
        width, height = (1000 * dpi + 48) // 96, (600 * dpi + 48) // 96
        room = (screen[0] - frame[0], screen[1] - frame[1])
        if width <= room[0] and height <= room[1]:
            return width, height
        width = min(room[0], room[1] * 5 // 3, width)
        width -= width % 5
        return width, width // 5 * 3

    def window_dpi(self, c):
        """At 144 DPI the window and its screenshot are 1000x600 scaled (within
        the screen, keeping 5:3); the prefix's scaling is put back for the
        other cases, whose windows and screenshots are 1000x600 at its 96."""
        saved = self.log_pixels()
        shot = c.path("shot.bmp")
        try:
            self.log_pixels(144)
            c.start(self.movie_args(self.server.url)
                    + ["--shot", self.h.win_path(shot), "--after", "6000"])
            rc, out = c.tool("wait", WINDOW_TITLE, str(WINDOW_WAIT_MS))
            check(rc == 0, "no window at 144 DPI (%s)" % short(out.strip()))
            place, screen = c.placement("at 144 DPI"), c.screen_size()
        finally:
            self.log_pixels(saved, unset=saved is None)
        left, top, right, bottom = place["window"]
        frame = (right - left - place["client"][0], bottom - top - place["client"][1])
        want = self.expected_client(144, frame, screen)
        # Our displays hold the whole scaled window: no shrink may hide a
        # wrong scale there.
        check(screen[1] < 900 + frame[1] or want == (1500, 900),
              "expected %s on a %dx%d screen" % (want, screen[0], screen[1]))
        check(place["client"] == want, "client area %s at 144 DPI on a %dx%d screen, expected %s"
              % (place["client"], screen[0], screen[1], want))
        check(left >= 0 and top >= 0 and right <= screen[0] and bottom <= screen[1],
              "window %s is not within the %dx%d screen" % (place["window"], screen[0], screen[1]))
        c.expect_exit_zero(EXIT_WAIT + 6, "after the screenshot at 144 DPI")
        data = read_file(shot) or b""
        size = struct.unpack_from("<ii", data, 18) if len(data) >= 54 else None
        check(size == want, "screenshot of %s at 144 DPI, expected %s" % (size, want))

    def expect_window_at(self, c, rect, when):
        place = c.placement(when)
        check(place["window"] == rect, "window %s %s, expected %s" % (place["window"], when, rect))
        return place

    def window_placement_kept(self, c):
        """A DPI change moves the window to the suggested rectangle and
        resizes the control; the next start reopens the window where it was
        left, in full screen."""
        c.start(self.movie_args(self.server.url))
        c.expect_window()
        check(wait_until(lambda: c.control_puts("Movie"), 10), "the movie did not start")
        suggested = (200, 100, 1250, 760)
        rc, _ = c.tool("dpichanged", WINDOW_TITLE, "120", *map(str, suggested))
        check(rc == 0, "could not send WM_DPICHANGED")
        place = self.expect_window_at(c, suggested, "after WM_DPICHANGED")
        rects = lambda: [l for l in (read_file(c.path("control.txt")) or b"").split(b"\n")
                         if l.startswith(b"rects ")]
        want_rects = b"rects 0,0,%d,%d" % place["client"]
        check(wait_until(lambda: rects() and rects()[-1] == want_rects, 5),
              "the control was not resized to %s: %s" % (want_rects, rects()[-1:]))
        c.tool("hotkey", WINDOW_TITLE, "2")
        check(c.wait_log_line(b"F11: tam_ekran=1", 5) is not None, "F11 did not take effect")
        c.close_and_expect_zero()
        c.out.close()

        c.start(self.movie_args(self.server.url))
        check(c.wait_log_line(b"F11: tam_ekran=1", 15) is not None,
              "the second start was not in full screen: %s" % short(b"|".join(c.log_lines()), 300))
        screen = c.screen_size()
        self.expect_window_at(c, (0, 0) + screen, "at the second start")
        c.tool("hotkey", WINDOW_TITLE, "2")
        check(c.wait_log_line(b"F11: tam_ekran=0", 5) is not None, "the second F11 did nothing")
        self.expect_window_at(c, suggested, "after leaving full screen at the second start")
        c.close_and_expect_zero()

    # ---- the game session ---------------------------------------------------

    @staticmethod
    def session_site(server, query="token=" + DEV_TOKEN, host=None):
        return server.session_site(query, host)

    @staticmethod
    def api_calls(server, since, name=None):
        return server.api_calls(since, name)

    @staticmethod
    def has_cookie_header(entry):
        return any(k.lower() == "cookie" for k, _ in entry.get("headers", []))

    def start_session(self, c, server, host=None):
        """Starts c on a play page of server (named by `host` instead of its
        address when given) and waits for the movie; returns the server log
        position from before the start."""
        since = server.last_seq()
        c.start(["--site", self.session_site(server, host=host)])
        c.expect_window()
        movie = b"set Movie = " + site_url(server, host).encode() + b"/s3/static/game.swf -> ok"
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

    def press_key(self, key):
        self.h.xdotool("key", key)

    @staticmethod
    def post_reload(c):
        """F5 as the system hands it to this client's window (WM_HOTKEY),
        whichever window is active: cases that need no real keyboard run
        side by side."""
        rc, out = c.tool("hotkey", WINDOW_TITLE, "1")
        check(rc == 0, "could not send the hot key (%s)" % out.strip())

    def focus_window(self, title):
        """Gives the keyboard to the visible window with that title (there is
        no window manager to do it on our display)."""
        self.h.xdotool("search", "--onlyvisible", "--name", "^%s$" % title, "windowfocus", "--sync")

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

    def make_beat_retry(self, fault, status, road):
        """A beat whose answer brings no challenge (`fault`, answered with
        `status`) is followed by one over the same challenge; the log has
        the `road` lines, none for a beat that went well. A 512-deep answer
        is parsed whole on the beat's thread, which must have the stack."""
        def case(c):
            with self.own_server("beat-retry", ["--fault", fault]) as server:
                since = self.start_session(c, server)
                beats = lambda: self.api_calls(server, since, "beat")
                check(wait_until(lambda: len(beats()) >= 2, TWO_BEATS_WAIT),
                      "fewer than two beats: %s" % beats())
                first, second = beats()[:2]
                check(first.get("status") == status and second.get("verdict") == "ok",
                      "beats answered %s then %s" % (first.get("status"), second.get("verdict")))
                check(first["form"]["challenge"] == second["form"]["challenge"],
                      "the beat after the first used another challenge")
                lines = [l for l in c.log_lines() if l.startswith((b"istek basarisiz:", b"cokme:"))]
                check(lines == road, "road lines: %s" % lines)
                c.close_and_expect_zero()
                check(self.expect_one_bye(server, since).get("verdict") == "ok", "goodbye refused")
        return case

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
        """F5 restarts the movie in the same session; one beat stream stays,
        and keeps its time however often F5 comes."""
        presses = 4
        with self.own_server("reload-game") as server:
            since = self.start_session(c, server)
            started = time.time()
            for _ in range(presses):
                time.sleep(RELOAD_EVERY)
                self.post_reload(c)
            reloads = lambda: [l for l in c.log_lines() if l == b"F5: yenileniyor (oyun_icinde=1)"]
            check(wait_until(lambda: len(reloads()) == presses, 10),
                  "%d reload lines after %d presses of F5" % (len(reloads()), presses))
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
            # The beats came a period and two after the start, F5 or not.
            beats = lambda: self.api_calls(server, since, "beat")
            wait_until(lambda: len(beats()) >= 3, started + TWO_BEATS_WAIT - time.time())
            check(len(beats()) == 2, "%d beats in the %.0f s after the start, expected 2"
                  % (len(beats()), time.time() - started))
            check(all(b.get("verdict") == "ok" for b in beats()),
                  "a beat was refused: %s" % short(json.dumps(beats()), 400))
            c.close_and_expect_zero()
            check(self.expect_one_bye(server, since).get("verdict") == "ok", "goodbye refused")

    def make_hot_keys(self, control_fullscreen):
        """F5 and F11 are the client's while one of its windows is active,
        its own or the media control's full-screen one; with another
        program's window active they reach that program."""
        def case(c):
            env = {"TAVRENSIL_STANDIN_FULLSCREEN": "1"} if control_fullscreen else None
            c.start(self.movie_args(self.server.url), env)
            c.expect_window()
            check(wait_until(lambda: c.control_puts("Movie"), 10), "the movie did not start")
            if control_fullscreen:
                self.expect_active(CONTROL_FULLSCREEN)
            self.expect_keys_elsewhere(c)
            if control_fullscreen:
                self.keys_in_control_fullscreen(c)
            else:
                self.keys_in_control(c)
            c.close_and_expect_zero()
        return case

    def expect_active(self, title):
        check(wait_until(lambda: self.h.tool(None, "active")[1].strip() == title, 5),
              "\"%s\" did not become active (active: %r)"
              % (title, self.h.tool(None, "active")[1].strip()))

    def expect_keys_elsewhere(self, c):
        holder_title = "Tavrensil Test Holder"
        with open(c.path("holder.out"), "wb") as out:
            holder = self.h.start([self.h.opts.tool, "hold", holder_title, "20000"], out)
        try:
            rc, out = self.h.tool(None, "wait", holder_title, str(WINDOW_WAIT_MS))
            check(rc == 0, "the other window did not appear (%s)" % out.strip())
            self.focus_window(holder_title)
            self.expect_active(holder_title)
            self.press_key("F5")
            self.press_key("F11")
            time.sleep(1.5)
            keys = [l for l in c.log_lines() if l.startswith((b"F5:", b"F11:"))]
            check(not keys, "the client took the keys of another window: %s" % keys)
            check(len(c.control_puts("Movie")) == 1, "the movie was restarted")
        finally:
            kill_tree(holder)
            holder.wait()

    def keys_in_control(self, c):
        """The keys work while the media control holds the keyboard."""
        rc, out = c.tool("foreground", WINDOW_TITLE)
        check(rc == 0, "could not bring the client to the foreground (%s)" % out.strip())
        self.focus_window(WINDOW_TITLE)
        left, top, right, bottom = c.placement()["window"]
        self.h.xdotool("mousemove", str((left + right) // 2), str((top + bottom) // 2), "click", "1")
        focused = lambda: b"\nfocus\n" in (read_file(c.path("control.txt")) or b"")
        check(wait_until(focused, 5), "the media control did not take the keyboard")
        self.expect_key_acts(c, "F11", "when active")
        self.expect_key_acts(c, "F5", "when active")

    def keys_in_control_fullscreen(self, c):
        """The keys work while the control's full-screen window is active;
        the restarted movie opens it again."""
        rc, out = self.h.tool(None, "foreground", CONTROL_FULLSCREEN)
        check(rc == 0, "could not bring the control's full screen forward (%s)" % out.strip())
        self.focus_window(CONTROL_FULLSCREEN)
        self.expect_active(CONTROL_FULLSCREEN)
        self.expect_key_acts(c, "F5", "in the control's full screen")
        rc, out = c.tool("wait", CONTROL_FULLSCREEN, str(WINDOW_WAIT_MS))
        check(rc == 0, "the restarted movie's full screen did not open (%s)" % out.strip())
        self.focus_window(CONTROL_FULLSCREEN)
        self.expect_active(CONTROL_FULLSCREEN)
        self.expect_key_acts(c, "F11", "in the control's full screen")

    def expect_key_acts(self, c, key, where):
        """F11 turns full screen on; F5 restarts the movie (the second one)."""
        self.press_key(key)
        line = b"F11: tam_ekran=1" if key == "F11" else b"F5: yenileniyor (oyun_icinde=1)"
        check(c.wait_log_line(line, 5) is not None, "%s did nothing %s" % (key, where))
        if key == "F5":
            check(wait_until(lambda: len(c.control_puts("Movie")) == 2, 10),
                  "the movie did not restart")

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
            check(c.wait_log_line(b"F5: yok sayildi (istemci mesgul)", 5) is not None,
                  "the ignored F5 left no log line")
            reloads = [l for l in c.log_lines() if l.startswith(b"F5: yenileniyor")]
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

    def make_close_during_beat(self, fault):
        """Closing 0.5 s into a beat the server holds (`fault`): one it has
        not taken yet ("delay") is waited for only so long, then the goodbye
        goes out over the challenge the client holds and the held beat,
        served later, changes nothing; one whose answer is on its slow way
        back ("late": the challenge already rolled) is waited for, so the
        goodbye is signed over the challenge it brings."""
        def case(c):
            with self.own_server("close-during-beat", ["--fault", fault]) as server:
                since = self.start_session(c, server)
                # The fault is taken when the beat arrives.
                taken = lambda: not any(f.get("endpoint") == "beat" for f in server.faults())
                check(wait_until(taken, BEAT_PERIOD + 10, step=0.05), "no beat came")
                time.sleep(0.5)
                c.close_and_expect_zero(GOODBYE_BUDGET + 1)
                bye = self.expect_one_bye(server, since)
                check(bye.get("verdict") == "ok", "goodbye refused: %s" % bye.get("verdict"))
        return case

    def reload_during_late_beat(self, c):
        """F5 while a beat's answer is on its slow way back (the server has
        already rolled the challenge): the answer is still taken, so the next
        beats and the goodbye are accepted."""
        with self.own_server("late-beat", ["--fault", "beat=late:4000:once"]) as server:
            since = self.start_session(c, server)
            taken = lambda: not any(f.get("endpoint") == "beat" for f in server.faults())
            check(wait_until(taken, BEAT_PERIOD + 10, step=0.05), "no beat came")
            time.sleep(1)
            self.post_reload(c)
            check(c.wait_log_line(b"F5: yenileniyor (oyun_icinde=1)", 5) is not None,
                  "F5 did nothing")
            beats = lambda: self.api_calls(server, since, "beat")
            wait_until(lambda: len(beats()) >= 3, TWO_BEATS_WAIT)
            check(len(beats()) >= 3 and all(b.get("verdict") == "ok" for b in beats()),
                  "beats after the late answer: %s" % [b.get("verdict") for b in beats()])
            c.close_and_expect_zero()
            check(self.expect_one_bye(server, since).get("verdict") == "ok", "goodbye refused")

    def abandoned_beats(self, c):
        """Beats whose answer headers never end: the client lets go of each
        connection soon after the attempt's deadline, and closing takes no
        longer than the goodbye's budget when the goodbye crawls too."""
        faults = ["--fault", "beat=trickle:1000", "--fault", "bye=trickle:1000"]
        with self.own_server("abandoned-beats", faults) as server:
            since = self.start_session(c, server)
            ended = lambda: [b for b in self.api_calls(server, since, "beat") if "ended_ms" in b]
            check(wait_until(ended, BEAT_PERIOD + ATTEMPT_DEADLINE + LET_GO_SLACK + 10),
                  "the first beat's connection was never closed")
            check(ended()[0]["ended_ms"] <= (ATTEMPT_DEADLINE + LET_GO_SLACK) * 1000,
                  "the abandoned beat's connection lived %d ms" % ended()[0]["ended_ms"])
            c.close_and_expect_zero(GOODBYE_BUDGET + CLOSE_SLACK)
            self.expect_one_bye(server, since)

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

    def update_moved(self, c):
        """An update answer moved within the site (a 307 on the same origin)
        is followed, and the update it requires is still enforced."""
        extra = ["--required-build", str(BUILD + 1), "--latest-build", str(LATEST_BUILD),
                 "--download-url", DOWNLOAD_URL]
        with self.own_server("update-moved", extra) as server:
            server.set_fault("update=redirect:%d:once" % server.port)
            c.start(self.movie_args(server.url))
            rc, out = c.tool("press", UPDATE_CAPTION, str(BOX_WAIT_MS))
            check(rc == 0, "no update notice after the redirect (%s; open: %s)"
                  % (short(out.strip()), c.open_dialogs()))
            c.expect_exit_zero(EXIT_WAIT, "after OK on the update notice")
            seen = [(e.get("endpoint"), e.get("status")) for e in server.entries()]
            check(seen == [("update", 307), ("update", 200)], "the server saw %s" % seen)

    def hello_moved(self, c):
        """A hello moved within the site is followed; the session starts."""
        with self.own_server("hello-moved") as server:
            server.set_fault("hello=redirect:%d:once" % server.port)
            since = self.start_session(c, server)
            seen = [(e["path"].rsplit("/", 1)[1], e.get("status"))
                    for e in self.api_calls(server, since)][:3]
            check(seen == [("hello", 307), ("hello", 200), ("play", 200)],
                  "the server saw %s" % seen)
            c.close_and_expect_zero()

    def api_moved_to_https(self, c):
        """An operator who moved the API to https (308 from http to port 443
        of the same host): the session follows, goes there directly from
        then on, and plays with scheme=https."""
        folder = c.path("tls")
        os.makedirs(folder, exist_ok=True)
        ca = http_peer.make_certificates(folder)
        tls = ["--port", "443", "--tls-cert", os.path.join(folder, "leaf.pem"),
               "--tls-key", os.path.join(folder, "leaf.key")]
        moved = [a for name in ("update", "hello", "play", "beat", "bye")
                 for a in ("--fault", name + "=upgrade")]

        def calls(server):  # the update check's path has no world
            return [(e["path"].rsplit("/", 1)[1], e.get("status")) for e in server.entries()
                    if "/api/client/" in e.get("path", "")]
        with harness.trusted_ca(self.h.runner, ca), self.own_server("https-api", tls) as secure:
            with self.own_server("http-api", moved) as plain:
                c.start(["--site", self.session_site(plain, host="localhost")])
                c.expect_window()
                movie = b"set Movie = https://localhost/s3/static/game.swf -> ok"
                check(c.wait_log_line(movie, 20) is not None,
                      "the movie was not started: %s" % short(b"|".join(c.log_lines()), 400))
                c.close_and_expect_zero(GOODBYE_BUDGET + 1)
                moved_calls = calls(plain)
            seen = calls(secure)
        check(moved_calls == [("update", 308)], "the http API saw %s" % moved_calls)
        check(seen == [("update", 200), ("hello", 200), ("play", 200), ("bye", 200)],
              "the https API saw %s" % seen)

    def site_with_user(self, c):
        """A --site with user information (read as one host by one parser and
        as another by the next) stops the start before anything is sent."""
        with self.own_server("site-user") as server:
            site = "http://127.0.0.1:%d@localhost:%d/s3/play?token=%s&x=" % (
                server.port, server.port, DEV_TOKEN)
            c.start(["--site", site])
            self.expect_session_box(c, "Geçersiz site adresi: " + site)
            code = c.wait_exit(EXIT_WAIT)
            check(code == BAD_SITE_EXIT, "exit status %s, expected %d" % (code, BAD_SITE_EXIT))
            check(not server.entries(), "the server saw %s"
                  % [e.get("path") for e in server.entries()])

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
                # The server's session for the refused movie is ended at once.
                seen = [(e["path"].rsplit("/", 1)[1], e.get("verdict"))
                        for e in self.api_calls(server, since)]
                check(seen == [("hello", "ok"), ("play", "ok"), ("bye", "ok")],
                      "the server saw %s" % seen)
        return case

    def make_site_name(self, value):
        """A play URL whose site names no world starts nothing: the player
        is asked to log in again and the server sees no session request,
        neither for a path made of the value nor for the main world."""
        def case(c):
            since = self.server.last_seq()
            c.start(["--site", self.server.url + "/s3/play?site=" + value + "&token=" + DEV_TOKEN
                     + "&x="])
            self.expect_session_box(c, NO_TOKEN_TEXT)
            c.close_and_expect_zero()
            calls = [e["path"] for e in self.server.entries_since(since)
                     if "/api/" in e.get("path", "") and e.get("endpoint") != "update"]
            check(not calls, "the server saw %s" % calls)
        return case

    # ---- crashes ------------------------------------------------------------

    def make_crash(self, dumped, dll_overrides=None, dump_in_the_way=False,
                   fail="crash:Movie", test_switch=None, planted=False, locked=False):
        """A crash ends the client with the crash's code, after one log line
        naming code and module, and a minidump when dbghelp and the folder
        allow one; tools/read-dump reads it. Holding the loader lock, it
        still ends within its bound. A dbghelp.dll (winhttp.dll, ...) beside
        the executable is never loaded."""
        line = UNCAUGHT_LINE if test_switch else CRASH_LINE
        status = UNCAUGHT_STATUS if test_switch else CRASH_STATUS
        def case(c):
            if dump_in_the_way:
                os.makedirs(c.path("client-crash.dmp"))
            if planted:
                self.plant(c, PLANTED_NAMES)
            extra = {"TAVRENSIL_STANDIN_FAIL": fail}
            if test_switch:
                extra["TAVRENSIL_CRASH_TEST"] = test_switch
            if dll_overrides:
                extra["WINEDLLOVERRIDES"] = dll_overrides
            c.start(self.movie_args(self.server.url), extra)
            code = c.wait_exit(LOCKED_CRASH_WAIT if locked else CRASH_WAIT)
            check(code is not None, "the client did not end after the crash (open: %s)"
                  % c.open_dialogs())
            check(code == status, "exit status %s, expected %d" % (code, status))
            expected = line + (b"client-crash.dmp" if dumped else b"yazilamadi")
            lines = [l for l in c.log_lines() if l]
            crash_lines = [l for l in lines if l.startswith(b"cokme: kod=")]
            check(crash_lines == [expected], "crash lines: %s" % crash_lines)
            self.expect_none_loaded(c, PLANTED_NAMES)
            if locked:
                return  # the dump may not finish while the lock is held
            check(lines[-1] == expected, "last log lines: %s" % lines[-2:])
            if dumped:
                check_dump(c.path("client-crash.dmp"), self.h.opts.client,
                           "e0544156" if test_switch else "c0000005",
                           "TavrensilClient.exe" if test_switch else "Flash32_32_0_0_363.ocx",
                           "OnTerminate" if test_switch else None)
        return case

    def plant(self, c, names):
        """Copies of the planted library beside the client, one per name."""
        check(self.h.opts.planted_library, "no --planted-library given")
        for name in names:
            shutil.copy(self.h.opts.planted_library, c.path(name + ".dll"))

    @staticmethod
    def expect_none_loaded(c, names):
        loaded = [n for n in names if os.path.exists(c.path(n + ".dll.loaded"))]
        check(not loaded, "planted libraries were loaded: %s" % loaded)

    def planted_session(self, c):
        """Libraries planted beside the client under the names the session
        road loads, taken first where Wine is let: the session plays and
        closes as ever, and none of them is loaded."""
        self.plant(c, PLANTED_ON_THE_ROAD)
        c.start(["--site", self.session_site(self.server)],
                {"WINEDLLOVERRIDES": native_first(PLANTED_ON_THE_ROAD)})
        movie = b"set Movie = " + site_url(self.server).encode() + b"/s3/static/game.swf -> ok"
        check(c.wait_log_line(movie, 20) is not None,
              "the movie was not started: %s" % short(b"|".join(c.log_lines()), 400))
        c.close_and_expect_zero()
        self.expect_none_loaded(c, PLANTED_ON_THE_ROAD)

    # ---- the player's proxy -------------------------------------------------

    def make_proxy_route(self, through_proxy, bypass=None, configured=True, listed=None):
        """With the prefix's Internet settings naming a proxy, the whole
        session road goes through it (unless the site's host is bypassed);
        without settings, nothing does. `listed` names the proxy in a list
        after a dead one ("{dead};{live}", "{dead};DIRECT"): the session
        fails over to the next route and keeps it."""
        def case(c):
            proxy_log = c.path("proxy.log")
            proxy = ForwardProxy(proxy_log)
            route = "127.0.0.1:%d" % proxy.start()
            dead = "127.0.0.1:%d" % closed_port()
            setting = listed.format(dead=dead, live=route) if listed else route
            if configured:
                proxy_settings.write(self.h.runner, proxy=setting, bypass=bypass)
            try:
                with self.own_server("proxy") as server:
                    # Wine's HTTP stack sends a request for an address (not a
                    # name) to a proxy in the origin's form, which no proxy
                    # takes; Windows does not.
                    since = self.start_session(c, server, host="localhost")
                    if through_proxy:
                        check(wait_until(lambda: self.api_calls(server, since, "beat"),
                                         BEAT_PERIOD + 10), "no beat came")
                    c.close_and_expect_zero()
                    self.expect_one_bye(server, since)
            finally:
                proxy_settings.import_reg(self.h.runner, proxy_settings.FORGET_REG)
                proxy.close()
            seen = (read_file(proxy_log) or b"").decode("latin-1")
            # The start-up line names the list's first route, which is dead.
            first = dead if listed else route if through_proxy else None
            route_line = "baglanti: vekil=" + first if first else "baglanti: dogrudan"
            check(route_line.encode() in c.log_lines(), "no %r in client.log" % route_line)
            if not through_proxy:
                check(not seen, "requests went through the proxy: %s" % short(seen, 300))
                return
            for name in ("update", "hello", "play", "beat", "bye"):
                check("/api/client/%s" % name in seen, "%s did not go through the proxy: %s"
                      % (name, short(seen, 400)))
        return case

    def make_slow_script(self, delay):
        """A configuration script that takes `delay` seconds to arrive (one
        that never does). The window answers all through the wait, the
        script is fetched at most twice, and the session does not wait for
        it again: it goes the script's way when the script came within
        ROUTE_WAIT_MS, else directly, and closing costs no route wait."""
        def case(c):
            proxy = ForwardProxy(c.path("proxy.log"))
            route = "127.0.0.1:%d" % proxy.start()
            script = SlowScript(delay, route)
            proxy_settings.write(self.h.runner, auto_config_url=script.url)
            in_time = delay * 1000 < ROUTE_WAIT_MS
            try:
                with self.own_server("slow-script") as server:
                    since = server.last_seq()
                    c.start(["--site", self.session_site(server, host="localhost")])
                    # The wait begins once the window shows and ends within
                    # ROUTE_WAIT_MS; a late script answers while the session
                    # starts. Probing past both covers them.
                    probe = min(delay * 1000, ROUTE_WAIT_MS) + 3000
                    rc, out = c.tool("answers", WINDOW_TITLE, str(probe), str(ANSWER_LIMIT_MS))
                    check(rc == 0, "the window did not answer in time: %s" % out.strip())
                    movie = b"set Movie = http://localhost:%d/s3/static/game.swf -> ok" % server.port
                    check(c.wait_log_line(movie, 20) is not None,
                          "the movie was not started: %s" % short(b"|".join(c.log_lines()), 400))
                    hello, play = self.api_calls(server, since)[:2]
                    took = entry_time(play, end=True) - entry_time(hello)
                    check(took < HELLO_TO_PLAY, "hello to play took %.2f s" % took)
                    c.close_and_expect_zero(GOODBYE_BUDGET + 1)
            finally:
                proxy_settings.import_reg(self.h.runner, proxy_settings.FORGET_REG)
                proxy.close()
                script.close()
            check(1 <= script.fetches <= 2, "the script was fetched %d times" % script.fetches)
            seen = (read_file(c.path("proxy.log")) or b"").decode("latin-1")
            for name in ("hello", "play"):
                check(("/api/client/%s" % name in seen) == in_time,
                      "%s %s the script's proxy: %s" % (
                          name, "did not take" if in_time else "waited for", short(seen, 400)))
            if in_time:
                check(("baglanti: vekil=" + route).encode() in c.log_lines(), "no route line "
                      "through the script's proxy: %s" % short(b"|".join(c.log_lines()), 300))
        return case

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
                # Stored a day ago, renewed now for its full life.
                rc, out = self.h.run([self.h.opts.cookie_tool, "expiry", cookie_url, "rb_dev"])
                check(rc == 0, "the store keeps no expiry for the device cookie")
                left = int(out) - time.time()
                check(abs(left - DEVICE_COOKIE_DAYS * 86400) < EXPIRY_SLACK,
                      "the device cookie expires in %.2f days, expected %d"
                      % (left / 86400, DEVICE_COOKIE_DAYS))
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

    def site_without_scheme(self, c):
        """A --site without a scheme is TLS on 443 (or its port): the plain
        server at that port sees no request it could read, from the update
        check or the browser."""
        since = self.server.last_seq()
        c.start(["--site", "127.0.0.1:%d" % self.server.port])
        c.expect_window()
        c.expect_no_box(QUIET_MS)
        c.close_and_expect_zero()
        seen = [e.get("path") for e in self.server.entries_since(since) if e.get("path")]
        check(not seen, "requests in plain text: %s" % seen)

    def all(self):
        """The cases as (name, function, group) (see harness.Runner): the
        session cases are "slow", each with its own server; "alone" ones
        need the only client (keys go to the active window, and the cookie
        store is shared)."""
        gate = "Güvenlik kapısına bağlanılamadı.\n\n"
        table = [
            ("session_road", self.session_road, "slow"),
            ("beat_retry", self.make_beat_retry(
                "beat=status:500:once", 500,
                [b"istek basarisiz: beat http=500 baglanti=dogrudan"]), "slow"),
            ("beat_answer_512_deep", self.make_beat_retry("beat=deep:512:once", 200, []), "slow"),
            ("beat_fatal", self.beat_fatal, "slow"),
            ("close_during_beat", self.make_close_during_beat("beat=delay:120000:once"), "slow"),
            ("close_during_late_beat", self.make_close_during_beat("beat=late:3000:once"), "slow"),
            # A 12-byte body one byte every 6 s would take 72 s.
            ("hostile_bye_trickling_body", self.make_close_bound(
                "bye=tricklebody:6000", GOODBYE_BUDGET), "slow"),
            ("hostile_bye_trickling_headers", self.make_close_bound(
                "bye=trickle:2000", GOODBYE_BUDGET), "slow"),
            ("hostile_bye_silent", self.make_close_bound(
                "bye=silent", HEADERS_WAIT), "slow"),
            ("reload_during_late_beat", self.reload_during_late_beat, "slow"),
            ("reload_in_game", self.reload_in_game, "slow"),
            ("abandoned_beats", self.abandoned_beats, "slow"),
            ("hostile_update_endless", self.make_oversized("update=endless"), "slow"),
            ("hostile_update_huge_length", self.make_oversized("update=hugelength"), "slow"),
            ("hostile_hello_endless", self.make_oversized(
                "hello=endless", gate + OVERSIZE_CODE + GATE_HINT), "slow"),
            ("hostile_play_redirect", self.play_redirect, "slow"),
            ("redirect_update_moved", self.update_moved, "slow"),
            ("redirect_hello_moved", self.hello_moved, "slow"),
            ("hostile_site_with_user", self.site_with_user, "slow"),
            ("hostile_movie_unc", self.make_movie_url("\\\\127.0.0.1\\share\\x.swf"), "slow"),
            ("hostile_movie_file", self.make_movie_url("file:///C:/x.swf"), "slow"),
            ("hostile_site_name", self.make_site_name("..%2F..%2Fadmin"), "fast"),
            ("site_names_no_world", self.make_site_name("eu.1"), "fast"),
            # A dump must be written within the filter's 15 s: Wine writes it
            # slowly while a score of clients start beside it, so the cases
            # that expect one run after the side-by-side ones.
            ("crash_report", self.make_crash(True), "alone"),
            ("crash_without_dbghelp", self.make_crash(False, dll_overrides=NO_DBGHELP), "slow"),
            ("crash_dump_unwritable", self.make_crash(False, dump_in_the_way=True), "slow"),
            ("crash_holding_loader_lock", self.make_crash(
                True, fail="crash-locked:Movie", locked=True), "slow"),
            ("crash_dbghelp_planted", self.make_crash(
                True, dll_overrides=PLANTED_NATIVE_FIRST, planted=True), "alone"),
            ("planted_libraries_session", self.planted_session, "fast"),
            ("crash_uncaught_cpp_exception", self.make_crash(True, fail="", test_switch="throw"),
             "alone"),
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
            ("api_moved_to_https", self.api_moved_to_https, "slow"),
            ("site_without_scheme", self.site_without_scheme, "fast"),
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
            # The display scaling is the prefix's, seen by every client.
            ("window_dpi", self.window_dpi, "alone"),
            ("window_placement_kept", self.window_placement_kept, "alone"),
            ("hot_keys_follow_activation", self.make_hot_keys(False), "alone"),
            ("hot_keys_in_control_fullscreen", self.make_hot_keys(True), "alone"),
            ("reload_during_box", self.reload_during_box, "alone"),
            ("reload_in_site", self.reload_in_site, "alone"),
            ("session_cookie", self.session_cookie, "alone"),
            # The prefix's Internet settings are shared by every client.
            ("proxy_session_road", self.make_proxy_route(True), "alone"),
            ("proxy_bypassed", self.make_proxy_route(False, bypass="localhost"), "alone"),
            ("proxy_none", self.make_proxy_route(False, configured=False), "alone"),
            ("proxy_list_dead_then_live",
             self.make_proxy_route(True, listed="{dead};{live}"), "alone"),
            ("proxy_list_dead_then_direct",
             self.make_proxy_route(False, listed="{dead};DIRECT"), "alone"),
            ("proxy_slow_script", self.make_slow_script(SCRIPT_DELAY), "alone"),
            ("proxy_late_script", self.make_slow_script(LATE_SCRIPT_DELAY), "alone"),
            ("proxy_script_never_answers", self.make_slow_script(NEVER), "alone"),
        ]
        return table


def main():
    parser = harness.option_parser(__doc__)
    parser.add_argument("--recorder", required=True, help="open_recorder executable")
    parser.add_argument("--cookie-tool", help="cookie_tool executable (for the device cookie case)")
    parser.add_argument("--planted-library",
                        help="planted_library DLL (for the planted dbghelp case)")
    opts = harness.parse_options(parser, ("client", "tool", "recorder", "server", "cookie_tool",
                                          "planted_library"))
    return harness.run_cases(opts, parser, Cases, budget=RUN_BUDGET)


if __name__ == "__main__":
    sys.exit(main())
