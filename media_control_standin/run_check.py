#!/usr/bin/env python3
"""Runs standin_check against the reference server's demo movie.

    run_check.py [--server PATH] [--shot PNG [--display :N]] -- RUNNER... standin_check DLL

Starts the reference game server on a free loopback port, then runs the
given command with these arguments appended:

    --movie http://127.0.0.1:PORT/static/game.swf --frames 48 --rate 24
    --missing-url http://127.0.0.1:PORT/static/missing.txt

and exits with the command's exit code. With --shot the check holds its
window on screen for a moment and the root window of the X display (--display,
else $DISPLAY) is saved to PNG with ImageMagick's `import`.
The server (tests/e2e/harness.py's, without a request log) is stopped in
every case.
"""
import argparse
import os
import subprocess
import sys
import threading
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.normpath(os.path.join(HERE, "..", "tests", "e2e")))
import harness  # noqa: E402


def start_server(script):
    try:
        return harness.Server(script, None, "standin")
    except RuntimeError as e:
        raise SystemExit("run_check: %s" % e) from None


def main():
    p = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--server", default=harness.DEFAULT_SERVER, help="reference_server/server.py")
    p.add_argument("--shot", default="", help="save a screenshot of the held window to this PNG")
    p.add_argument("--display", default="", help="X display for --shot (default $DISPLAY)")
    p.add_argument("--hold", type=int, default=4000, help="milliseconds the window is held for --shot")
    p.add_argument("command", nargs=argparse.REMAINDER)
    args = p.parse_args()
    command = args.command[1:] if args.command[:1] == ["--"] else args.command
    if not command:
        p.error("no command given")

    server = start_server(args.server)
    base = server.url
    try:
        command = command + ["--movie", base + "/static/game.swf", "--frames", "48", "--rate", "24",
                             "--missing-url", base + "/static/missing.txt"]
        if args.shot:
            command += ["--hold", str(args.hold)]
        proc = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, text=True)
        shot_done = threading.Event()
        shot_result = []

        def take_shot():
            time.sleep(1.0)  # let a few frames paint
            env = dict(os.environ)
            if args.display:
                env["DISPLAY"] = args.display
            r = subprocess.run(["import", "-window", "root", args.shot], env=env,
                               stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
            shot_result.append(r.returncode)
            if r.returncode != 0:
                sys.stderr.write("run_check: import failed: %s\n" % r.stderr.strip())
            shot_done.set()

        for line in proc.stdout:
            sys.stdout.write(line)
            sys.stdout.flush()
            if args.shot and line.startswith("HOLD "):
                threading.Thread(target=take_shot, daemon=True).start()
        code = proc.wait()
        if args.shot:
            shot_done.wait(60)
            if shot_result != [0]:
                print("screenshot: FAIL: %s was not taken" % args.shot)
                code = code or 1
            else:
                print("# screenshot %s" % args.shot)
        return code
    finally:
        server.stop()


if __name__ == "__main__":
    sys.exit(main())
