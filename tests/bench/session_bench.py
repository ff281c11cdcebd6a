#!/usr/bin/env python3
"""Times the game session's hot paths: the real client under Wine, the
reference server on loopback, the stand-in media control.

  session_bench.py --client EXE --tool WINDOW_TOOL_EXE --recorder OPEN_RECORDER_EXE
                   --state WINE_STATE_DIR [--rounds N] [--hostile-rounds N]
                   [--server SERVER_PY] [--keep] [--verbose] -- RUNNER...

Arguments as for tests/e2e/client_e2e.py, whose session steps it takes (the
rest comes from tests/e2e/harness.py). Each round opens a session on its
own server and measures:

  play -> Movie    from the hello request reaching the server to the control
                   receiving "Movie" (hello and play round trips, the control's
                   creation and properties)
  F5 -> Movie      from the F5 key (sent with xdotool) to the new control
                   receiving "Movie"
  close -> exit    from WM_CLOSE to the end of the process, with the goodbye's
                   round trip shown apart, against the same close of a client
                   without a session (what Wine and the runner take anyway)

and once (--hostile-rounds) against servers that misbehave: closing while
the server holds a beat, or while it trickles or never sends the answer to
the goodbye; and the client's peak memory (VmHWM) while the update check
meets an endless answer, against a normal start.

Times come from one clock: the stand-in stamps its record lines
(TAVRENSIL_STANDIN_RECORD_TIMES), window_tool prints when it posted WM_CLOSE,
the server logs when a request arrived and how long it took. Prints the
median and the worst of each; not a test, nothing fails on a slow figure.
"""
import calendar
import os
import statistics
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "e2e"))

import client_e2e as e2e  # noqa: E402
import harness  # noqa: E402
from harness import Client, check, read_file, wait_until  # noqa: E402

F5_PRESSES = 3


def server_ms(entry):
    """A request log entry's arrival time in ms since 1970."""
    stamp, _, fraction = entry["time"].rstrip("Z").partition(".")
    seconds = calendar.timegm(time.strptime(stamp, "%Y-%m-%dT%H:%M:%S"))
    return seconds * 1000 + int(fraction or 0)


def movie_times(client):
    """The stamps of the control's "Movie" lines, oldest first."""
    record = read_file(client.path("control.txt")) or b""
    times = []
    for line in record.split(b"\n"):
        stamp, _, event = line.partition(b" ")
        if stamp.startswith(b"@") and event.startswith(b"put Movie="):
            times.append(int(stamp[1:]))
    return times


def wait_movies(client, count, limit=20):
    found = wait_until(lambda: len(movie_times(client)) >= count, limit, step=0.02)
    check(found, "the control got %d movies, expected %d" % (len(movie_times(client)), count))
    return movie_times(client)


def close_and_time(client, limit=harness.EXIT_WAIT):
    """Closes the window; ms from the posted WM_CLOSE to the process end."""
    rc, out = client.tool("close", harness.WINDOW_TITLE)
    check(rc == 0 and out.startswith("posted "), "could not close: %r" % out)
    posted = int(out.split()[1])
    client.expect_exit_zero(limit, "after its window was closed")
    return time.time() * 1000 - posted, posted


# (result name, server fault, wait until a beat is held before closing)
HOSTILE_CLOSES = (
    ("close -> exit, beat held by the server", "beat=delay:120000:once", True),
    ("close -> exit, goodbye body trickling", "bye=tricklebody:6000", False),
    ("close -> exit, goodbye headers trickling", "bye=trickle:2000", False),
    ("close -> exit, goodbye never answered", "bye=silent", False),
)
PEAK_ENDLESS = "peak memory kB, endless update answer"
PEAK_NORMAL = "peak memory kB, normal start"


def hostile_close_round(cases, name, fault, after_beat, results):
    with cases.own_server("bench-hostile", ["--fault", fault]) as server:
        client = Client(cases.h, "bench-hostile")
        try:
            cases.start_session(client, server)
            if after_beat:
                held = lambda: not any(f.get("endpoint") == "beat" for f in server.faults())
                check(wait_until(held, e2e.BEAT_PERIOD + 10, step=0.05), "no beat came")
            results[name].append(close_and_time(client, e2e.ATTEMPT_DEADLINE + 15)[0])
        finally:
            client.stop()


def peak_memory_round(cases, name, extra, results):
    with cases.own_server("bench-memory", extra) as server:
        client = Client(cases.h, "bench-memory")
        try:
            client.start(cases.movie_args(server.url))
            client.expect_window()
            e2e.wait_update_request(server, 0)
            wait_movies(client, 1)
            time.sleep(1)
            results[name].append(client.peak_memory_kb())
            close_and_time(client)
        finally:
            client.stop()


def session_round(cases, index, results):
    with cases.own_server("bench-%d" % index) as server:
        client = Client(cases.h, "bench-%d" % index)
        try:
            since = cases.start_session(client, server)
            hello = cases.api_calls(server, since, "hello")[0]
            play = cases.api_calls(server, since, "play")[0]
            first_movie = wait_movies(client, 1)[0]
            results["play -> Movie"].append(first_movie - server_ms(hello))
            results["  of which hello + play answered"].append(
                hello["duration_ms"] + play["duration_ms"])
            for press in range(F5_PRESSES):
                time.sleep(0.5)
                sent = time.time() * 1000
                cases.press_key("F5")
                results["F5 -> Movie"].append(wait_movies(client, press + 2)[-1] - sent)
            total, posted = close_and_time(client)
            bye = cases.expect_one_bye(server, since)
            results["close -> exit, with a session"].append(total)
            results["  close -> goodbye sent"].append(server_ms(bye) - posted)
            results["  goodbye answered"].append(bye["duration_ms"])
        finally:
            client.stop()


def baseline_round(cases, index, results):
    client = Client(cases.h, "baseline-%d" % index)
    try:
        client.start(cases.movie_args(cases.server.url))
        client.expect_window()
        wait_movies(client, 1)
        time.sleep(0.5)
        results["close -> exit, without a session"].append(close_and_time(client)[0])
    finally:
        client.stop()


def run_rounds(cases, opts, results):
    for index in range(opts.rounds):
        session_round(cases, index, results)
        baseline_round(cases, index, results)
    for _ in range(opts.hostile_rounds):
        for name, fault, after_beat in HOSTILE_CLOSES:
            hostile_close_round(cases, name, fault, after_beat, results)
        peak_memory_round(cases, PEAK_NORMAL, [], results)
        peak_memory_round(cases, PEAK_ENDLESS, ["--fault", "update=endless"], results)


def main():
    parser = harness.option_parser(__doc__, cases=False)
    parser.add_argument("--recorder", required=True)
    parser.add_argument("--rounds", type=int, default=5)
    parser.add_argument("--hostile-rounds", type=int, default=1)
    opts = harness.parse_options(parser, ("client", "tool", "recorder", "server"))
    os.environ["TAVRENSIL_STANDIN_RECORD_TIMES"] = "1"

    h = harness.Harness(opts)
    cases = None
    results = {name: [] for name in (
        "play -> Movie", "  of which hello + play answered", "F5 -> Movie",
        "close -> exit, with a session", "  close -> goodbye sent", "  goodbye answered",
        "close -> exit, without a session")}
    results.update((name, []) for name, _, _ in HOSTILE_CLOSES)
    results.update(((PEAK_NORMAL, []), (PEAK_ENDLESS, [])))
    try:
        h.setup()
        cases = e2e.Cases(h)
        run_rounds(cases, opts, results)
    except harness.CaseFailure as e:
        print("bench failed: %s" % e)
        return 1
    finally:
        if cases:
            cases.stop()
        h.teardown()
    print("%-42s %8s %8s %6s" % ("ms unless named", "median", "worst", "n"))
    for name, values in results.items():
        if values:
            print("%-42s %8.0f %8.0f %6d" % (name, statistics.median(values), max(values),
                                             len(values)))
    return 0


if __name__ == "__main__":
    sys.exit(main())
