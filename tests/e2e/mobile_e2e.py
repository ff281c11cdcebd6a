#!/usr/bin/env python3
"""End-to-end tests of the client's mobile mode against the reference server.

  mobile_e2e.py --client EXE --tool WINDOW_TOOL_EXE --state WINE_STATE_DIR
                [--server SERVER_PY] [--only NAME]... [--keep] [--verbose]
                -- RUNNER...

The arguments mean what they mean for client_e2e.py, whose server, harness
and client helpers this script uses. The script plays the companion process:
it listens for the bridge's one-byte datagrams on 127.0.0.1:7947 (UDP). The
cases check that "--mobile" starts in full screen, that the game movie's
window sends the game touch mode at once and again about every 3 s, that
closing the window sends nothing further, that a port held by someone else
does not disturb the client, and that the session road starts the mobile
loading movie. It prints one line per case, "NAME: ok" or
"NAME: FAIL: reason", then "N passed, M failed", and exits with 1 when a
case failed.

Python 3 standard library only; xdotool clicks into the window.
"""
import argparse
import os
import shutil
import signal
import socket
import subprocess
import sys
import threading
import time

import client_e2e as base
from client_e2e import CaseFailure, check, read_file, short, wait_until

COMPANION = ("127.0.0.1", 7947)
GAME_CLASS = b"MacromediaFlashPlayerActiveX"
# The reference server is started with this token (see client_e2e.Server).
TOKEN = "E2E-DEV-TOKEN"

BIND_WAIT = 10.0      # another run may still hold the companion's port
START_WAIT = 20.0     # from start to the bridge's first line
MOVIE_WAIT = 20.0     # from start to the movie in the control
DATAGRAM_WAIT = 5.0
# The game touch mode is repeated every 20 polls of 150 ms; a loaded host
# stretches timer periods, a lost poll never shortens them.
REPEAT_MIN, REPEAT_MAX = 2.0, 5.0
QUIET_AFTER_EXIT = 0.5


class Companion:
    """The companion's end of the bridge: a UDP socket bound to the port the
    client sends to, which keeps each datagram with its arrival time (or,
    with read=False, only holds the port and lets datagrams pile up)."""

    def __init__(self, read=True):
        self.sock = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        if not read:
            self.sock.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 1)
        deadline = time.monotonic() + BIND_WAIT
        while True:
            try:
                self.sock.bind(COMPANION)
                break
            except OSError as e:
                if time.monotonic() >= deadline:
                    self.sock.close()
                    raise CaseFailure("cannot bind %s:%d: %s" % (COMPANION + (e,)))
                time.sleep(0.2)
        self.received = []  # (monotonic time, bytes)
        self.lock = threading.Lock()
        self.open = True
        self.thread = None
        if read:
            self.sock.settimeout(0.1)
            self.thread = threading.Thread(target=self.loop, daemon=True)
            self.thread.start()

    def loop(self):
        while self.open:
            try:
                data = self.sock.recv(64)
            except socket.timeout:
                continue
            except OSError:
                return
            with self.lock:
                self.received.append((time.monotonic(), data))

    def datagrams(self):
        with self.lock:
            return list(self.received)

    def wait_count(self, data, count, limit):
        """Waits until `count` datagrams equal to `data` arrived; their times."""
        def times():
            found = [t for t, d in self.datagrams() if d == data]
            return found if len(found) >= count else None
        return wait_until(times, limit, step=0.02)

    def close(self):
        self.open = False
        if self.thread:
            self.thread.join(2)
        self.sock.close()


class MobileHarness(base.Harness):
    """The shared harness without the open recorder: no case here opens a
    web address."""

    def register_recorder(self):
        pass


class Cases:
    def __init__(self, harness, server_script):
        self.h = harness
        self.script = server_script
        self.server = None
        self.loading_server = None

    def movie_args(self):
        url = self.server.url
        return ["--mobile", "--site", url, "--movie", url + "/static/game.swf"]

    def started(self, c, what):
        line = c.wait_log_line(b"mobil kopru: soket=ok", START_WAIT)
        check(line is not None, "no \"mobil kopru: soket=ok\" in client.log %s: %s"
              % (what, short(b"|".join(c.log_lines()), 300)))
        movie = b"set Movie = " + self.server.url.encode() + b"/static/game.swf -> ok"
        check(c.wait_log_line(movie, MOVIE_WAIT) is not None,
              "the movie was not started: %s" % short(b"|".join(c.log_lines()), 400))

    def expect_fullscreen(self, c):
        rc, out = c.tool("wait", base.WINDOW_TITLE, str(base.WINDOW_WAIT_MS))
        check(rc == 0, "the window did not appear (%s)" % short(out.strip()))
        rc, screen = c.tool("screen")
        check(rc == 0 and screen.startswith("screen "), "screen size unknown: %r" % screen)
        width, height = (int(v) for v in screen.split()[1].split("x"))
        rc, out = c.tool("placement", base.WINDOW_TITLE)
        check(rc == 0, "no placement: %r" % out)
        placement = base.parse_placement(out)
        check(placement["window"] == (0, 0, width, height) and
              placement["client"] == (width, height),
              "window %s, client %s: not the whole %dx%d screen"
              % (placement["window"], placement["client"], width, height))
        check(placement["style"] & base.WS_CAPTION == 0,
              "full-screen style 0x%08x has a caption" % placement["style"])
        return width, height

    def click(self, x, y):
        """A left click at screen point (x, y): the control takes the focus."""
        xdotool = shutil.which("xdotool")
        check(xdotool, "xdotool is not installed")
        check(self.h.display, "no X display to click on")
        env = dict(os.environ, DISPLAY=self.h.display)
        proc = subprocess.run([xdotool, "mousemove", str(x), str(y), "click", "1"], env=env,
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.STDOUT, timeout=10)
        check(proc.returncode == 0,
              "xdotool failed: %s" % proc.stdout.decode("utf-8", "replace").strip())

    def focus_game(self, c, width, height, companion=None):
        """Clicks into the control until its window has the focus; the time
        the first game byte arrived (None without a companion)."""
        for _ in range(3):
            self.click(width // 2, height // 2)
            if companion:
                got = companion.wait_count(b"g", 1, DATAGRAM_WAIT)
                if got:
                    return got[0]
            elif c.wait_log_line(b"dokunmatik: oyun", DATAGRAM_WAIT) is not None:
                return None
        raise CaseFailure("the game touch mode never came after clicks into the control: %s"
                          % short(b"|".join(c.log_lines()[-8:]), 500))

    def game_focus(self, c):
        """Full screen, the game touch mode once the control has the focus and
        every 3 s after, and nothing at all on closing."""
        companion = Companion()
        try:
            c.start(self.movie_args())
            self.started(c, "in mobile mode")
            width, height = self.expect_fullscreen(c)
            first = self.focus_game(c, width, height, companion)

            lines = c.log_lines()
            check(lines.count(b"dokunmatik: oyun") == 1,
                  "\"dokunmatik: oyun\" logged %d times" % lines.count(b"dokunmatik: oyun"))
            odak = [l for l in lines if l.startswith(b"odak: ")]
            check(any(b" [" + GAME_CLASS + b"] " in l for l in odak),
                  "no odak line for the control's window: %s" % short(b"|".join(odak), 400))

            times = companion.wait_count(b"g", 3, 2 * REPEAT_MAX + 1)
            check(times, "the game touch mode was not repeated: %s" % companion.datagrams())
            gaps = [b - a for a, b in zip(times, times[1:])]
            self.h.log("game touch mode repeated after %s s" % ["%.2f" % g for g in gaps])
            check(times[0] == first and all(REPEAT_MIN <= g <= REPEAT_MAX for g in gaps[:2]),
                  "repeats %s s apart, expected about 3 s" % ["%.2f" % g for g in gaps])
            # Closed right after a repeat, so the next one is about 3 s away:
            # whatever else arrives comes from closing.
            sent_before = len(companion.datagrams())
            c.close_and_expect_zero()
            time.sleep(QUIET_AFTER_EXIT)
            after = companion.datagrams()[sent_before:]
            check(all(d == b"g" and t - times[-1] >= REPEAT_MIN for t, d in after),
                  "closing sent %s" % [d for _, d in after])
            others = [d for _, d in companion.datagrams() if d != b"g"]
            check(not others, "datagrams besides the game touch mode: %s" % others)
            lines = c.log_lines()
            check(lines.count(b"dokunmatik: oyun") == 1 and
                  not any(l.startswith(b"klavye: ") for l in lines),
                  "touch or keyboard lines: %s"
                  % [l for l in lines if l.startswith((b"dokunmatik", b"klavye"))])
        finally:
            companion.close()

    def port_taken(self, c):
        """A port held by a socket that reads nothing: sending is fire and
        forget, the client runs and ends as usual."""
        holder = Companion(read=False)
        try:
            c.start(self.movie_args())
            self.started(c, "with the port taken")
            width, height = self.expect_fullscreen(c)
            self.focus_game(c, width, height)
            c.close_and_expect_zero()
        finally:
            holder.close()

    def loading_server_url(self):
        if not self.loading_server:
            self.loading_server = base.Server(self.script, self.h.base, "loading",
                                              ["--movie", "Loading.swf"])
        return self.loading_server.url

    def make_session_loading(self, extra, loader):
        """The session road in mobile mode: the play answer's loading movie
        reaches the control as the mobile loader with m=2."""
        def case(c):
            url = self.loading_server_url()
            c.start(["--mobile", "--site", url + "/s3/play?token=%s&x=" % TOKEN] + extra)
            movie = (url + "/s3/static/" + loader + "?m=2").encode()
            check(c.wait_log_line(b"set Movie = " + movie + b" -> ok", MOVIE_WAIT) is not None,
                  "the mobile loader was not started: %s"
                  % short(b"|".join(c.log_lines()), 600))
            record = read_file(c.path("control.txt")) or b""
            movies = [l[len("put Movie="):] for l in record.split(b"\n")
                      if l.startswith(b"put Movie=")]
            check(movies == [movie], "the control received the movies %s" % movies)
            lines = c.log_lines()
            check(b"mobil kopru: soket=ok" in lines, "no bridge line: %s" % lines[:6])
            c.close_and_expect_zero()
        return case

    def all(self):
        return [
            ("game_focus", self.game_focus),
            ("port_taken", self.port_taken),
            ("session_loading_default", self.make_session_loading([], "Loading_m.swf")),
            ("session_loading_chosen",
             self.make_session_loading(["--loading", "Phone2.swf"], "Phone2.swf")),
        ]

    def stop_servers(self):
        for server in (self.server, self.loading_server):
            if server:
                server.stop()


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--client", required=True)
    parser.add_argument("--tool", required=True, help="window_tool executable")
    parser.add_argument("--state", required=True, help="the runner's Wine state folder")
    parser.add_argument("--server", default=base.DEFAULT_SERVER, help="reference server script")
    parser.add_argument("--only", action="append", default=[], help="run only this case")
    parser.add_argument("--keep", action="store_true", help="keep the temporary folders")
    parser.add_argument("--verbose", action="store_true")
    parser.add_argument("runner", nargs="*", help="command prefix that runs Windows programs")
    opts = parser.parse_args()
    for name in ("client", "tool", "server"):
        setattr(opts, name, os.path.abspath(getattr(opts, name)))
        if not os.path.isfile(getattr(opts, name)):
            parser.error("no such file: %s" % getattr(opts, name))

    def interrupt(signum, frame):
        raise base.Interrupted()
    signal.signal(signal.SIGTERM, interrupt)
    signal.signal(signal.SIGINT, interrupt)

    harness = MobileHarness(opts)
    passed = failed = 0
    cases = None
    started = time.monotonic()
    try:
        harness.setup()
        cases = Cases(harness, opts.server)
        cases.server = base.Server(opts.server, harness.base, "main", [])
        table = cases.all()
        if opts.only:
            unknown = set(opts.only) - {name for name, _ in table}
            if unknown:
                parser.error("unknown case(s): %s" % ", ".join(sorted(unknown)))
            table = [(name, fn) for name, fn in table if name in opts.only]
        for name, fn in table:
            client = base.Client(harness, name)
            t0 = time.monotonic()
            try:
                fn(client)
                passed += 1
                print("%s: ok" % name, flush=True)
            except CaseFailure as e:
                failed += 1
                print("%s: FAIL: %s" % (name, e), flush=True)
            except Exception as e:  # a broken step must not stop the other cases
                failed += 1
                print("%s: FAIL: %s: %s" % (name, type(e).__name__, e), flush=True)
            finally:
                client.stop()
                harness.log("%s took %.1fs" % (name, time.monotonic() - t0))
    except base.Interrupted:
        failed += 1
        print("interrupted", flush=True)
    except Exception as e:
        failed += 1
        print("FAIL: %s: %s" % (type(e).__name__, e), flush=True)
    finally:
        if cases:
            cases.stop_servers()
        harness.teardown()
    harness.log("whole run %.1fs" % (time.monotonic() - started))
    print("%d passed, %d failed" % (passed, failed), flush=True)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
