#!/usr/bin/env python3
"""The installer's round trip under Wine, in a Wine prefix of its own.

  installer_roundtrip.py --client EXE --tool WINDOW_TOOL_EXE --arch win32|win64
                         --state DIR [--target NSIS_TARGET] [--server SERVER_PY]
                         [--keep] [--verbose]

Wraps EXE in the installer (tools/dist.sh installer, NSIS target
x86-unicode for win32, amd64-unicode for win64: the shipped installer is the
x86 one around the 32-bit client; hosts that run only 64-bit Wine test the
same script around the 64-bit build), makes a fresh prefix in DIR (deleted
first) with tools/wine-run, and then:

  1. installs silently (/S): the client, the uninstaller, the Start-menu and
     desktop shortcuts, and the Apps-list entry with all its values;
  2. the installed client plays a session against the reference server:
     its log next to itself starts with the first line, it writes the media
     control file into %LOCALAPPDATA%\\Tavrensil, the server accepts hello,
     play, a beat and, when the window is closed (window_tool), one
     goodbye; the client ends with exit code 0 and logs no crash. While it
     runs, the installer and the uninstaller give up and change nothing,
     and an update started as the client starts one (/S /UPDATE=PID) waits
     for it to end, installs and starts the new client;
  3. an update with a PID that is no number fails and starts the installed
     client with --update-failed=install;
  4. uninstalls silently: the client, its log, the uninstaller, the
     shortcuts and the registry key are gone; a file of the player's in the
     install folder keeps the folder; the control file stays;
  5. installs again with /NODESKTOP (no desktop shortcut) and uninstalls
     with /S /REMOVECONTROL, the log of the run before and a crash dump
     lying beside the client: the install folder and the control folder
     are gone.

HOME points into DIR while Wine runs, so the prefix's desktop (a link to the
home folder) is not the user's. Every step has a time limit; the whole run
takes about a minute. Prints "STEP: ok" or "STEP: FAIL: reason" per
step, stops at the first failure, then prints "N passed, M failed" and exits
1 on a failure. The server, the waits and the summary come from
tests/e2e/harness.py. Python 3 standard library only.
"""
import os
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
WINE_RUN = os.path.join(ROOT, "tools", "wine-run")
DIST = os.path.join(ROOT, "tools", "dist.sh")
sys.path.insert(0, os.path.join(ROOT, "tests", "e2e"))
import harness  # noqa: E402
from harness import CLIENT_NAME, CaseFailure, check, kill_tree, read_file, wait_until  # noqa: E402

PRODUCT = "Tavrensil Online"
UNINSTALLER = "Uninstall.exe"
SHORTCUT = PRODUCT + ".lnk"
UNINSTALL_KEY = "HKCU\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TavrensilOnline"
CONTROL_FOLDER = "Tavrensil"
CONTROL_FILE = "Flash32_32_0_0_363.ocx"
FIRST_LOG_LINE = b"Tavrensil Client baslatildi (Build %d)" % harness.CLIENT_BUILD
VERSION = harness.CLIENT_VERSION
# Where the client keeps its window's placement, next to itself.
PLACEMENT = "window.txt"

# Limits, in seconds.
PREFIX_LIMIT = 300
BUILD_LIMIT = 120
INSTALL_LIMIT = 90
TOOL_LIMIT = 30
LOG_WAIT = 30
WINDOW_WAIT_MS = 20000
EXIT_WAIT = 20
UPDATE_HOLD = 3  # an update still waits for the running client after this
# The first beat comes 20 s after the movie starts.
BEAT_WAIT = 40
UNINSTALL_WAIT = 60


class RoundTrip:
    def __init__(self, opts):
        self.opts = opts
        self.state = os.path.abspath(opts.state)
        self.prefix = os.path.join(self.state, "prefix-" + opts.arch)
        self.work = os.path.join(self.state, "work")
        self.env = dict(os.environ)
        home = os.path.join(self.state, "home")
        self.env["HOME"] = home
        for name in ("XDG_CONFIG_HOME", "XDG_DATA_HOME", "XDG_CACHE_HOME", "XDG_DESKTOP_DIR"):
            self.env.pop(name, None)
        self.runner = [WINE_RUN, "--state", self.state, "--arch", opts.arch]
        self.started = False
        self.server = None
        self.paths = {}

    def log(self, text):
        if self.opts.verbose:
            print("  . " + text, flush=True)

    # ---- running things --------------------------------------------------

    def run(self, args, limit):
        """Runs a command to its end; returns (code, output with errors)."""
        code, out, _ = harness.run_to_end(args, limit, env=self.env, merge=True)
        text = out.decode("utf-8", "replace")
        self.log("%s -> %s%s" % (" ".join(os.path.basename(a) for a in args[-3:]), code,
                                 (": " + text.strip()[-300:]) if text.strip() else ""))
        return code, text

    def wine(self, args, limit=TOOL_LIMIT):
        return self.run(self.runner + ["--timeout", str(limit)] + list(args), limit + 15)

    def windows_to_unix(self, path):
        """The host path of a Windows path in the prefix (drive C: only)."""
        check(path[:3].upper() == "C:\\", "not a path on drive C: %r" % path)
        parts = [p for p in path[3:].split("\\") if p]
        return os.path.join(self.prefix, "drive_c", *parts)

    def reg_values(self, key):
        """The values of a registry key as {name: (type, data)}, or None."""
        code, out = self.wine(["reg", "query", key])
        if code != 0:
            return None
        values = {}
        for line in out.splitlines():
            fields = line.strip().split(None, 2)
            if len(fields) >= 2 and fields[1].startswith("REG_"):
                values[fields[0]] = (fields[1], fields[2] if len(fields) > 2 else "")
        return values

    # ---- the steps -------------------------------------------------------

    def setup(self):
        if os.path.exists(self.state):
            shutil.rmtree(self.state)
        os.makedirs(os.path.join(self.state, "home"))
        os.makedirs(self.work)
        target = self.opts.target or ("amd64-unicode" if self.opts.arch == "win64" else "x86-unicode")
        self.setup_exe = os.path.join(self.work, "TavrensilOnline-test-setup.exe")
        code, out = self.run([DIST, "installer", "--exe", self.opts.client, "--target", target,
                              "--out", self.setup_exe], BUILD_LIMIT)
        check(code == 0 and os.path.isfile(self.setup_exe),
              "could not build the installer: %s" % out.strip()[-400:])
        code, out = self.run(self.runner + ["--start"], PREFIX_LIMIT)
        self.started = True
        check(code == 0, "could not make the Wine prefix: %s" % out.strip()[-400:])
        # The user's folders, as the prefix names them.
        code, out = self.wine(["cmd", "/c", "echo", "%USERPROFILE%^|%APPDATA%^|%LOCALAPPDATA%"])
        fields = out.strip().splitlines()[-1].split("|") if out.strip() else []
        check(code == 0 and len(fields) == 3, "could not read the user's folders: %r" % out)
        profile, appdata, local = [self.windows_to_unix(f.strip()) for f in fields]
        self.paths = {
            "local_win": fields[2].strip(),
            "install": os.path.join(local, "Programs", PRODUCT),
            "control": os.path.join(local, CONTROL_FOLDER),
            "start_menu": os.path.join(appdata, "Microsoft", "Windows", "Start Menu", "Programs",
                                       SHORTCUT),
            "desktop": os.path.join(profile, "Desktop", SHORTCUT),
        }
        self.log("paths: %r" % self.paths)

    def install(self, *switches):
        code, out = self.wine([self.setup_exe, "/S"] + list(switches), INSTALL_LIMIT)
        check(code == 0, "the silent installation ended with %s: %s" % (code, out.strip()[-300:]))
        install = self.paths["install"]
        exe = os.path.join(install, CLIENT_NAME)
        check(os.path.isfile(exe), "no %s in %s" % (CLIENT_NAME, install))
        with open(exe, "rb") as a, open(self.opts.client, "rb") as b:
            check(a.read() == b.read(), "the installed client is not the given one")
        check(os.path.isfile(os.path.join(install, UNINSTALLER)), "no %s" % UNINSTALLER)
        check(os.path.isfile(self.paths["start_menu"]), "no Start-menu shortcut")

        values = self.reg_values(UNINSTALL_KEY)
        check(values is not None, "no Apps-list entry %s" % UNINSTALL_KEY)
        location = "%s\\Programs\\%s" % (self.paths["local_win"], PRODUCT)
        uninstaller = '"%s\\%s"' % (location, UNINSTALLER)
        expected = {
            "DisplayName": ("REG_SZ", PRODUCT),
            "DisplayVersion": ("REG_SZ", VERSION),
            "Publisher": ("REG_SZ", "Tavrensil"),
            "InstallLocation": ("REG_SZ", location),
            "DisplayIcon": ("REG_SZ", "%s\\%s,0" % (location, CLIENT_NAME)),
            "UninstallString": ("REG_SZ", uninstaller),
            "QuietUninstallString": ("REG_SZ", uninstaller + " /S"),
            "NoModify": ("REG_DWORD", "0x1"),
            "NoRepair": ("REG_DWORD", "0x1"),
        }
        for name, value in expected.items():
            check(values.get(name) == value, "%s is %r, expected %r" % (name, values.get(name), value))
        size = values.get("EstimatedSize", ("", ""))
        kib = os.path.getsize(exe) // 1024
        check(size[0] == "REG_DWORD" and int(size[1], 16) >= kib,
              "EstimatedSize %r, expected at least %d (KiB)" % (size, kib))

    def start_server(self):
        try:
            self.server = harness.Server(self.opts.server, self.work, "installer")
        except RuntimeError as e:
            raise CaseFailure(str(e)) from None

    def play(self):
        """The installed client plays a whole session: hello, the signed
        play, the movie, an accepted beat, and one accepted goodbye when its
        window closes; it never crashes. An update it started meanwhile
        waits for it to end, installs and starts the new client."""
        self.start_server()
        since = self.server.last_seq()
        install = self.paths["install"]
        log_path = os.path.join(install, "client.log")
        out = open(os.path.join(self.work, "client.out"), "wb")
        client = subprocess.Popen(
            self.runner + ["--timeout", "180", os.path.join(install, CLIENT_NAME),
                           "--site", self.server.session_site()],
            stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT, env=self.env,
            start_new_session=True)
        log = lambda: (read_file(log_path) or b"").split(b"\r\n")
        update = None
        try:
            check(wait_until(lambda: log()[0] == FIRST_LOG_LINE, LOG_WAIT),
                  "no client.log starting with %r next to the installed client" % FIRST_LOG_LINE)
            code, text = self.wine([self.opts.tool, "wait", PRODUCT, str(WINDOW_WAIT_MS)],
                                   WINDOW_WAIT_MS // 1000 + TOOL_LIMIT)
            check(code == 0, "the window %r did not appear: %s" % (PRODUCT, text.strip()))
            movie = b"set Movie = %s/s3/static/game.swf -> ok" % self.server.url.encode()
            check(wait_until(lambda: movie in log(), LOG_WAIT),
                  "the movie was not started: %s" % harness.short(b"|".join(log()), 400))
            control = os.path.join(self.paths["control"], CONTROL_FILE)
            check(os.path.isfile(control), "the client wrote no %s" % control)
            self.refused_while_running()
            beats = lambda: self.server.api_calls(since, "beat")
            check(wait_until(lambda: beats(), BEAT_WAIT), "no beat within %ds" % BEAT_WAIT)
            check(all(b.get("verdict") == "ok" for b in beats()),
                  "a beat was refused: %s" % harness.short(repr(beats()), 300))
            update = self.start_update()
            code, text = self.wine([self.opts.tool, "close", PRODUCT])
            check(code == 0, "could not close the window: %s" % text.strip())
            check(wait_until(lambda: os.path.isfile(os.path.join(install, PLACEMENT)), LOG_WAIT),
                  "closing kept no %s next to the installed client" % PLACEMENT)
            try:
                code = client.wait(timeout=EXIT_WAIT)
            except subprocess.TimeoutExpired:
                raise CaseFailure("the client did not end within %ds of its window closing" % EXIT_WAIT)
            check(code == 0, "the client ended with exit code %s" % code)
            self.expect_session(since)
            crashes = [line for line in log() if line.startswith(b"cokme:")]
            check(not crashes, "the client crashed: %s" % crashes)
            check(wait_until(lambda: update.poll() == 0, INSTALL_LIMIT), "the update ended with %s" % update.poll())
        finally:
            for proc in filter(None, (client, update)):
                kill_tree(proc)
            out.close()
            self.stop_server()
        self.close_client([])

    def expect_session(self, since):
        """hello and play answered, and one goodbye accepted after the beats."""
        calls = [(c["path"].rsplit("/", 1)[-1], c.get("status"), c.get("verdict"))
                 for c in self.server.api_calls(since)]
        check(len(calls) >= 4 and calls[0][:2] == ("hello", 200) and
              calls[1] == ("play", 200, "ok") and calls[-1] == ("bye", 200, "ok") and
              [c for c in calls if c[0] == "bye"] == [calls[-1]],
              "the session's requests were %s" % calls)

    def refused_while_running(self):
        """Neither the installer nor the uninstaller touches a running client:
        silently, both give up and change nothing (the installer with exit
        code 2)."""
        code, out = self.wine([self.setup_exe, "/S"], INSTALL_LIMIT)
        check(code == 2, "the installer ended with %s while the client ran, expected 2" % code)
        # The uninstaller's exit code is that of its first process, which
        # only starts the copy that does the work (see uninstall()).
        code, out = self.wine([os.path.join(self.paths["install"], UNINSTALLER), "/S"],
                              INSTALL_LIMIT)
        check(code == 0, "the uninstaller ended with %s: %s" % (code, out.strip()[-300:]))
        check(self.wait_uninstaller_copy(), "the uninstaller's copy did not end within %ds"
              % UNINSTALL_WAIT)
        check(self.reg_values(UNINSTALL_KEY) is not None,
              "the uninstaller removed the Apps-list entry while the client ran")
        for path in (self.paths["start_menu"], self.paths["desktop"],
                     os.path.join(self.paths["install"], "client.log")):
            check(os.path.exists(path), "the uninstaller removed %s while the client ran" % path)

    def start_update(self):
        """Starts the installer as the running client starts its update, with
        /S /UPDATE=ITS_WINDOWS_PID; it waits while the client runs."""
        out = harness.run_to_end(self.runner + ["wmic", "process", "get", "name,processid"],
                                 TOOL_LIMIT, env=self.env)[1].decode("utf-16", "replace")
        pids = [f[1] for f in map(str.split, out.splitlines()) if f[:1] == [CLIENT_NAME]]
        check(len(pids) == 1, "wmic lists %s as %r" % (CLIENT_NAME, pids))
        update = subprocess.Popen(self.runner + [self.setup_exe, "/S", "/UPDATE=" + pids[0]],
                                  stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                                  stderr=subprocess.DEVNULL, env=self.env, start_new_session=True)
        time.sleep(UPDATE_HOLD)
        check(update.poll() is None, "the update did not wait for the running client")
        return update

    def close_client(self, args):
        """Waits for a client with these arguments (one the installer started)
        to run in this prefix, closes its window and waits for it to end."""
        clients = lambda: [command[1:] for _, command in self.processes()
                           if command[0].replace("\\", "/").endswith("/" + CLIENT_NAME)]
        check(wait_until(lambda: args in clients(), LOG_WAIT),
              "no client runs with the arguments %r: %r" % (args, clients()))
        self.wine([self.opts.tool, "wait", PRODUCT, str(WINDOW_WAIT_MS)], WINDOW_WAIT_MS // 1000 + TOOL_LIMIT)
        code, text = self.wine([self.opts.tool, "close", PRODUCT])
        check(code == 0 and wait_until(lambda: not clients(), EXIT_WAIT),
              "the client did not end when its window closed: %s" % text.strip())

    def processes(self):
        """This prefix's processes as (pid, arguments): a Windows program's
        are those of its command line."""
        mark = ("WINEPREFIX=" + self.prefix).encode()
        found = []
        for pid in os.listdir("/proc"):
            if not pid.isdigit():
                continue
            try:
                with open("/proc/%s/cmdline" % pid, "rb") as f:
                    command = f.read()
                with open("/proc/%s/environ" % pid, "rb") as f:
                    environ = f.read().split(b"\0")
            except OSError:
                continue
            if mark in environ and command:
                found.append((int(pid), command.decode("utf-8", "replace").rstrip("\0").split("\0")))
        return found

    def uninstaller_copies(self):
        """Processes of this prefix running from the uninstaller's temporary
        folder (%TEMP%\\~nsuN.tmp)."""
        return [pid for pid, command in self.processes() if "~nsu" in " ".join(command).lower()]

    def wait_uninstaller_copy(self):
        """Waits until the uninstaller's copy has ended (none seen for 1 s)."""
        deadline = time.monotonic() + UNINSTALL_WAIT
        quiet_since = None
        seen = set()
        while time.monotonic() < deadline:
            copies = self.uninstaller_copies()
            if copies:
                if not seen.issuperset(copies):
                    self.log("uninstaller copy running: %s" % copies)
                seen.update(copies)
                quiet_since = None
            elif quiet_since is None:
                quiet_since = time.monotonic()
            elif time.monotonic() - quiet_since >= 1.0:
                return True
            time.sleep(0.1)
        return False

    def uninstall(self, *switches):
        install = self.paths["install"]
        # The uninstaller copies itself to the temporary folder, starts the
        # copy and ends; the copy does the work.
        code, out = self.wine([os.path.join(install, UNINSTALLER), "/S"] + list(switches),
                              INSTALL_LIMIT)
        check(code == 0, "the silent uninstallation ended with %s: %s" % (code, out.strip()[-300:]))
        check(self.wait_uninstaller_copy(), "the uninstaller's copy did not end within %ds"
              % UNINSTALL_WAIT)
        gone = [os.path.join(install, n)
                for n in (CLIENT_NAME, "client.log", PLACEMENT, UNINSTALLER)]
        gone += [self.paths["start_menu"], self.paths["desktop"]]
        check(wait_until(lambda: not any(os.path.lexists(p) for p in gone), UNINSTALL_WAIT),
              "still there after uninstalling: %s" % [p for p in gone if os.path.lexists(p)])
        check(wait_until(lambda: self.reg_values(UNINSTALL_KEY) is None, UNINSTALL_WAIT, step=1),
              "the Apps-list entry is still there")

    def teardown(self):
        self.stop_server()
        if self.started:
            self.run(self.runner + ["--stop"], 60)
        if not self.opts.keep:
            shutil.rmtree(self.state, ignore_errors=True)
        else:
            print("kept %s" % self.state)

    def stop_server(self):
        if self.server is not None:
            self.server.stop()
            self.server = None

    # ---- the whole road ----------------------------------------------------

    def steps(self):
        install = self.paths["install"]
        control = os.path.join(self.paths["control"], CONTROL_FILE)
        yield "silent installation", lambda: (
            self.install(),
            check(os.path.isfile(self.paths["desktop"]), "no desktop shortcut"))
        yield ("the installed client plays a session and closes; its update (/UPDATE=PID) waits, "
               "installs and starts the new client"), self.play

        def update_fails():
            code, out = self.wine([self.setup_exe, "/S", "/UPDATE=12x"], INSTALL_LIMIT)
            check(code == 2, "the installer ended with %s, expected 2" % code)
            self.close_client(["--update-failed=install"])
        yield "silent update with a PID that is no number starts the old client, flagged", update_fails

        def keep_players_file():
            notes = os.path.join(install, "notes.txt")
            with open(notes, "w") as f:
                f.write("mine\n")
            self.uninstall()
            left = sorted(os.listdir(install)) if os.path.isdir(install) else None
            check(left == ["notes.txt"],
                  "install folder holds %r, expected only the player's notes.txt" % left)
            check(os.path.isfile(control), "the control file was removed without /REMOVECONTROL")
            os.remove(notes)
        yield "silent uninstallation keeps the player's file and the control file", keep_players_file

        def without_desktop():
            self.install("/NODESKTOP")
            check(not os.path.lexists(self.paths["desktop"]), "a desktop shortcut despite /NODESKTOP")
        yield "silent installation with /NODESKTOP", without_desktop

        def remove_all():
            # What earlier runs of the client leave beside its log.
            for name in ("client.old.log", "client-crash.dmp"):
                with open(os.path.join(install, name), "wb") as f:
                    f.write(b"MDMP" if name.endswith(".dmp") else b"an older run\r\n")
            self.uninstall("/REMOVECONTROL")
            check(wait_until(lambda: not os.path.exists(install), UNINSTALL_WAIT),
                  "the empty install folder is still there")
            if os.path.exists(self.paths["control"]):
                raise CaseFailure("the control folder is still there after /REMOVECONTROL: %r"
                              % os.listdir(self.paths["control"]))
        yield ("silent uninstallation with /REMOVECONTROL removes everything, old log and "
               "crash dump included"), remove_all


def run_steps(trip, results):
    """Runs the steps in order until one fails, recording each."""
    name = "installer built, fresh prefix"
    try:
        trip.setup()
        results.record(name, True, "")
        for name, step in trip.steps():
            t0 = time.monotonic()
            step()
            results.record(name, True, "")
            trip.log("%s took %.1fs" % (name, time.monotonic() - t0))
    except CaseFailure as failure:
        results.record(name, False, str(failure))
    except KeyboardInterrupt:
        results.record("interrupted", False, "")


def main():
    parser = harness.option_parser(__doc__, cases=False, runner=False)
    parser.add_argument("--arch", choices=("win32", "win64"), required=True)
    parser.add_argument("--target", help="NSIS target (default: the one for --arch)")
    opts = harness.parse_options(parser)

    trip = RoundTrip(opts)
    results = harness.Results()
    try:
        run_steps(trip, results)
    finally:
        trip.teardown()
    trip.log("whole run %.0fs" % (time.monotonic() - results.started))
    return results.summary()


if __name__ == "__main__":
    sys.exit(main())
