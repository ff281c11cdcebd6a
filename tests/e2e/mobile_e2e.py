#!/usr/bin/env python3
"""End-to-end tests of the client's mobile mode against the reference server.

  mobile_e2e.py --client EXE --tool WINDOW_TOOL_EXE --state WINE_STATE_DIR
                [--server SERVER_PY] [--only NAME]... [--keep] [--verbose]
                -- RUNNER...

The arguments mean what they mean for client_e2e.py; the server, the Wine
harness, the client copies and the summary come from harness.py. The script
plays the companion process: it listens for the bridge's one-byte datagrams
on 127.0.0.1:7947 (UDP). The cases check that "--mobile" starts in full
screen, that the game movie's window sends the game touch mode at once and
again about every 3 s, that closing the window sends nothing further, that a
port held by someone else does not disturb the client, and that the session
road starts the mobile loading movie. It prints one line per case,
"NAME: ok" or "NAME: FAIL: reason", then "N passed, M failed", and exits
with 1 when a case failed.

Python 3 standard library only; xdotool clicks into the window.
"""
import socket
import sys
import threading
import time

import harness
from harness import (DEV_TOKEN, WINDOW_TITLE, WINDOW_WAIT_MS, WS_CAPTION, CaseFailure, check,
                     read_file, short, wait_until)

COMPANION = ("127.0.0.1", 7947)
GAME_CLASS = b"MacromediaFlashPlayerActiveX"

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


class Cases(harness.Cases):
    """No case here opens a web address: the harness runs without the open
    recorder (this script has no --recorder)."""

    loading_server = None

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
        rc, out = c.tool("wait", WINDOW_TITLE, str(WINDOW_WAIT_MS))
        check(rc == 0, "the window did not appear (%s)" % short(out.strip()))
        width, height = c.screen_size()
        placement = c.placement()
        check(placement["window"] == (0, 0, width, height) and
              placement["client"] == (width, height),
              "window %s, client %s: not the whole %dx%d screen"
              % (placement["window"], placement["client"], width, height))
        check(placement["style"] & WS_CAPTION == 0,
              "full-screen style 0x%08x has a caption" % placement["style"])
        return width, height

    def click(self, x, y):
        """A left click at screen point (x, y): the control takes the focus."""
        self.h.xdotool("mousemove", str(x), str(y), "click", "1")

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
        forget, the client runs and ends as usual. A window placement kept
        by a desktop run is neither used nor changed."""
        holder = Companion(read=False)
        kept = b"left=10 top=10 right=500 bottom=400 maximized=0 fullscreen=0\r\n"
        with open(c.path("window.txt"), "wb") as f:
            f.write(kept)
        try:
            c.start(self.movie_args())
            self.started(c, "with the port taken")
            width, height = self.expect_fullscreen(c)
            self.focus_game(c, width, height)
            c.close_and_expect_zero()
            check(read_file(c.path("window.txt")) == kept, "mobile mode rewrote window.txt")
        finally:
            holder.close()

    def loading_server_url(self):
        if not self.loading_server:
            self.loading_server = harness.Server(self.script, self.h.base, "loading",
                                                 ["--movie", "Loading.swf"])
            self.servers.append(self.loading_server)
        return self.loading_server.url

    def make_session_loading(self, extra, loader):
        """The session road in mobile mode: the play answer's loading movie
        reaches the control as the mobile loader with m=2."""
        def case(c):
            url = self.loading_server_url()
            c.start(["--mobile", "--site", url + "/s3/play?token=%s&x=" % DEV_TOKEN] + extra)
            movie = (url + "/s3/static/" + loader + "?m=2").encode()
            check(c.wait_log_line(b"set Movie = " + movie + b" -> ok", MOVIE_WAIT) is not None,
                  "the mobile loader was not started: %s"
                  % short(b"|".join(c.log_lines()), 600))
            movies = c.control_puts("Movie")
            check(movies == [movie], "the control received the movies %s" % movies)
            lines = c.log_lines()
            check(b"mobil kopru: soket=ok" in lines, "no bridge line: %s" % lines[:6])
            c.close_and_expect_zero()
        return case

    def all(self):
        # One at a time: the cases share the companion's port and the screen.
        return [
            ("game_focus", self.game_focus, "alone"),
            ("port_taken", self.port_taken, "alone"),
            ("session_loading_default",
             self.make_session_loading([], "Loading_m.swf"), "alone"),
            ("session_loading_chosen",
             self.make_session_loading(["--loading", "Phone2.swf"], "Phone2.swf"), "alone"),
        ]


def main():
    parser = harness.option_parser(__doc__)
    opts = harness.parse_options(parser)
    return harness.run_cases(opts, parser, Cases)


if __name__ == "__main__":
    sys.exit(main())
