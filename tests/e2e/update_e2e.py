#!/usr/bin/env python3
"""Self-installing updates under Wine, end to end.

  update_e2e.py --client EXE --next NEXT_EXE --signer DIR --tool WINDOW_TOOL
                --recorder OPEN_RECORDER --state DIR [--only CASE] [--demo]
                -- RUNNER...

NEXT_EXE is the client built one build newer from the same objects; DIR the
build tree's throw-away signing authority (the key a test build trusts in
chain.pem and signer.key, another signer's in other-chain.pem and
other.key). The run wraps both clients in the installer (tools/dist.sh
installer, the NSIS target of the runner's width) and signs them, then each
case serves one over TLS from a reference server of its own (a throw-away
authority trusted in the prefix meanwhile) whose update answer requires the
newer build and offers that installer:

  update_installs   the installed client downloads, checks and starts the
                    installer, which installs the newer client and starts
                    it; the attempt folder is gone
  one row per refusal (tampered, unsigned, other signer, wrong SHA-256,
  older build, oversize and endless bodies, cancel): the window names the
  cause, the log the reason, nothing is left of the attempt
  portable copy and a build tried twice: the notice and the download page

A client counts as installed when the uninstall entry's install folder is
its own; each case sets (and removes) the entry and empties the prefix's
update folder (Wine sets LOCALAPPDATA itself), so the cases run in turn.
With --demo (make run-update) only the whole road runs, and it says what
happens and leaves the newer client to the player to close. Prints "NAME: ok" or
"NAME: FAIL: reason" per case, then "N passed, M failed".
"""
import contextlib
import os
import shutil
import subprocess
import sys

import harness
import http_peer
import proxy_settings
from harness import CaseFailure, check, read_file, short, wait_until

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.normpath(os.path.join(HERE, "..", ".."))
DIST = os.path.join(ROOT, "tools", "dist.sh")
BUILD = harness.CLIENT_BUILD
NEXT = BUILD + 1
MAJOR_MINOR = harness.CLIENT_VERSION.rsplit(".", 1)[0]
UNINSTALL_KEY = "HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\TavrensilOnline"
UPDATE_TITLE = "Tavrensil Güncelleme"
PAGE_BUTTON = "İndirme sayfasını aç"
DOWNLOAD_URL = "https://example.com/tavrensil/indir"
LOG_WAIT = 40  # a download, the checks and Wine's first use of wintrust
EXIT_WAIT = 15


def failed_line(what, code):
    return ("guncelleme: %s basarisiz (0x%08X)" % (what, code)).encode()


class Cases(harness.Cases):
    def __init__(self, h):
        super().__init__(h)
        self.folder = os.path.join(h.base, "installers")
        os.makedirs(self.folder)
        self.tls = os.path.join(h.base, "tls")
        os.makedirs(self.tls)
        self.ca = http_peer.make_certificates(self.tls)
        target = "amd64-unicode" if "win64" in h.runner else "x86-unicode"
        self.next_signed = self.installer(h.opts.next, NEXT, target, "chain.pem", "signer.key")
        self.next_other = self.installer(h.opts.next, NEXT, target, "other-chain.pem", "other.key")
        self.same_signed = self.installer(h.opts.client, BUILD, target, "chain.pem", "signer.key")

    def installer(self, exe, build, target, chain, key):
        """The installer around `exe` as `build`, signed by `chain` and `key`."""
        out = os.path.join(self.folder, "%s-%d" % (key, build), "setup-%d.exe" % build)
        os.makedirs(os.path.dirname(out))
        subprocess.run([DIST, "installer", "--exe", exe, "--out", out, "--target", target,
                        "--version", "%s.%d" % (MAJOR_MINOR, build)],
                       check=True, stdout=subprocess.DEVNULL)
        signer = self.h.opts.signer
        env = dict(os.environ, TAVRENSIL_SIGN_CERT=os.path.join(signer, chain),
                   TAVRENSIL_SIGN_KEY=os.path.join(signer, key))
        subprocess.run([DIST, "sign", out], check=True, env=env, stdout=subprocess.DEVNULL)
        return out

    # ---- what every case shares -----------------------------------------

    def serve(self, name, installer, fault=None, extra=()):
        """A TLS reference server requiring the newer build and offering
        `installer` (with --installer-fault `fault`)."""
        args = ["--tls-cert", os.path.join(self.tls, "leaf.pem"),
                "--tls-key", os.path.join(self.tls, "leaf.key"),
                "--required-build", str(NEXT), "--latest-build", str(NEXT),
                "--download-url", DOWNLOAD_URL, "--installer", installer]
        if fault:
            args += ["--installer-fault", fault]
        return self.own_server(name, args + list(extra))

    @contextlib.contextmanager
    def scene(self, c, name, installer=None, fault=None, extra=(), installed=True):
        """A server offering `installer` (the newer signed one by default),
        its authority trusted, an empty update folder and, when `installed`,
        c's folder named as the install folder; the server."""
        with harness.trusted_ca(self.h.runner, self.ca), \
                self.serve(name, installer or self.next_signed, fault, extra) as server:
            try:
                if installed:
                    self.installed_at(c.dir)
                self.fresh_updates()
                yield server
            finally:
                if installed:
                    self.forget_installation()

    def site(self, server):
        return "https://localhost:%d/" % server.port

    def installed_at(self, folder):
        """Writes the uninstall entry naming `folder` as the install folder."""
        proxy_settings.import_reg(self.h.runner, "Windows Registry Editor Version 5.00\r\n\r\n"
                                  "[%s]\r\n\"InstallLocation\"=\"%s\"\r\n" % (
                                      UNINSTALL_KEY, self.h.win_path(folder).replace("\\", "\\\\")))

    def forget_installation(self):
        proxy_settings.import_reg(self.h.runner, "Windows Registry Editor Version 5.00\r\n\r\n"
                                  "[-%s]\r\n" % UNINSTALL_KEY)

    def updates_folder(self):
        """The prefix's "<local app data>\\Tavrensil\\Updates" on this side."""
        arch = "win64" if "win64" in self.h.runner else "win32"
        users = os.path.join(self.h.opts.state, "prefix-" + arch, "drive_c", "users")
        user = [n for n in os.listdir(users) if n != "Public"][0]
        return os.path.join(users, user, "AppData", "Local", "Tavrensil", "Updates")

    def fresh_updates(self):
        """An empty update folder: no attempt folders, no attempt record."""
        shutil.rmtree(self.updates_folder(), ignore_errors=True)
        os.makedirs(self.updates_folder())

    def attempt_folders(self):
        updates = self.updates_folder()
        return [n for n in os.listdir(updates) if os.path.isdir(os.path.join(updates, n))]

    def expect_refused(self, c, line, page=False):
        """The window names the cause; closing it (or its page button, which
        opens the download page) ends the client, and the attempt leaves
        nothing behind."""
        found = c.wait_log_line(line, LOG_WAIT)
        check(found is not None, "no log line %r: %s" % (line, short(b"|".join(c.log_lines()), 600)))
        rc, out = c.tool("wait", UPDATE_TITLE, "5000")
        check(rc == 0, "no update window (%s)" % short(out.strip()))
        rc, out = (c.tool("click", UPDATE_TITLE, PAGE_BUTTON) if page
                   else c.tool("close", UPDATE_TITLE))
        check(rc == 0, "could not end the update window (%s)" % short(out.strip()))
        c.expect_exit_zero(EXIT_WAIT, "after the update window was ended")
        check(not self.attempt_folders(), "left behind: %s" % self.attempt_folders())
        if page:
            opened = wait_until(lambda: read_file(c.record_path), 10)
            check(opened == (DOWNLOAD_URL + "\n").encode(), "opened %r" % opened)
        else:
            check(not wait_until(lambda: os.path.exists(c.record_path), 3), "a page was opened")

    def expect_notice(self, c, server):
        """Today's notice and download page."""
        rc, out = c.tool("press", harness.UPDATE_CAPTION, "20000")
        check(rc == 0, "no update notice (%s; open: %s)" % (short(out.strip()), c.open_dialogs()))
        c.expect_exit_zero(EXIT_WAIT, "after OK on the update notice")
        opened = wait_until(lambda: read_file(c.record_path), 10)
        check(opened == (DOWNLOAD_URL + "\n").encode(), "opened %r" % opened)
        check(not [e for e in server.entries() if e.get("endpoint") == "installer"],
              "the installer was downloaded")

    # ---- the cases ----------------------------------------------------------

    def make_refused(self, name, line, installer=None, fault=None, args=(), page=False):
        def case(c):
            with self.scene(c, name, installer, fault) as server:
                c.start(["--site", self.site(server)] + list(args))
                self.expect_refused(c, line, page)
        return case

    def cancel(self, c):
        """Cancel (Esc) during a download stops it at once."""
        with self.scene(c, "cancel", extra=["--fault", "installer=tricklebody:200"]) as server:
            c.start(["--site", self.site(server)])
            rc, out = c.tool("wait", UPDATE_TITLE, "30000")
            check(rc == 0, "no update window (%s)" % short(out.strip()))
            check(wait_until(lambda: self.attempt_folders(), 10), "no attempt folder")
            c.tool("foreground", UPDATE_TITLE)
            self.h.xdotool("key", "Escape")
            c.expect_exit_zero(EXIT_WAIT, "after Esc")
            # A page would be recorded within moments.
            check(not wait_until(lambda: os.path.exists(c.record_path), 3),
                  "Esc opened the download page")
            check(c.wait_log_line(failed_line("indirme", 12017), 1) is not None,
                  "no cancel in the log: %s" % short(b"|".join(c.log_lines()), 600))
            check(not self.attempt_folders(), "left behind: %s" % self.attempt_folders())

    def portable(self, c):
        """A copy our installer did not install gets the notice and page.
        At its start, a link planted among the attempt folders is removed,
        not followed."""
        with self.scene(c, "portable", installed=False) as server:
            kept = c.path("players-files")
            os.makedirs(kept)
            open(os.path.join(kept, "save.dat"), "w").close()
            os.symlink(kept, os.path.join(self.updates_folder(), "4000000-1-0"))
            c.start(["--site", self.site(server)])
            self.expect_notice(c, server)
            check(os.path.exists(os.path.join(kept, "save.dat")), "a file behind a link was deleted")
            check(c.wait_log_line(b"guncelleme: kendiliginden kurulmuyor: kurulu kopya degil", 1)
                  is not None,
                  "no reason in the log")

    def tried_twice(self, c):
        """After two starts of one build's installer: the notice and page."""
        with self.scene(c, "twice") as server:
            with open(os.path.join(self.updates_folder(), "attempts.txt"), "w") as f:
                f.write("build=%d attempts=2\n" % NEXT)
            c.start(["--site", self.site(server)])
            self.expect_notice(c, server)

    def update_installs(self, c):
        """The whole road: installed by the installer, updated by the client."""
        folder = os.path.join(c.dir, "installed")
        code, _ = self.h.run([self.same_signed, "/S", "/NODESKTOP",
                              "/D=" + self.h.win_path(folder)], 120)
        check(code == 0 and os.path.isfile(os.path.join(folder, harness.CLIENT_NAME)),
              "the first installation failed (exit %s)" % code)
        # From here on the case's client is the installed copy.
        c.exe = os.path.join(folder, harness.CLIENT_NAME)
        c.win_exe = self.h.win_path(c.exe)
        c.log_path = os.path.join(folder, "client.log")
        try:
            # The installer wrote the entry naming the install folder.
            with self.scene(c, "installs", installed=False) as server:
                if self.h.opts.demo:
                    print("update: build %d installed in %s; it now finds build %d at %s"
                          % (BUILD, folder, NEXT, self.site(server)), flush=True)
                c.start(["--site", self.site(server)])
                started = b"Tavrensil Client baslatildi (Build %d)" % NEXT
                check(wait_until(lambda: started in (read_file(c.log_path) or b""), 90),
                      "the newer client did not start: %s | before: %s" % (
                          short(read_file(c.log_path), 300),
                          short(read_file(os.path.join(folder, "client.old.log")), 600)))
                # It starts as from the Start menu, for the configured site.
                c.tool("wait", harness.WINDOW_TITLE, "15000")
                if self.h.opts.demo:
                    print("update: build %d is installed and running from %s; close it to end"
                          % (NEXT, folder), flush=True)
                    c.tool("gone", harness.WINDOW_TITLE, "3600000", timeout=3700)
                else:
                    rc, out = c.tool("close", harness.WINDOW_TITLE)
                    check(rc == 0, "could not close the newer client (%s)" % short(out.strip()))
                    c.tool("gone", harness.WINDOW_TITLE, "15000")
                before = read_file(os.path.join(folder, "client.old.log"))
                check(b"guncelleme: kurulum baslatildi (build %d)" % NEXT in before,
                      "the old client's log: %s" % short(before, 600))
                check(wait_until(lambda: not self.attempt_folders(), 10),
                      "left behind: %s" % self.attempt_folders())
                downloads = [e.get("status") for e in server.entries()
                             if e.get("endpoint") == "installer"]
                check(downloads == [200], "installer requests: %s" % downloads)
        finally:
            self.forget_installation()
            shutil.rmtree(os.path.join(c.dir, "installed"), ignore_errors=True)

    def all(self):
        refused = self.make_refused
        if self.h.opts.demo:
            return [("update_installs", self.update_installs, "fast")]
        return [
            ("update_installs", self.update_installs, "fast"),
            ("update_tampered", refused("tampered", failed_line("dogrulama: imza", 0x80096010),
                                        fault="tampered"), "fast"),
            ("update_unsigned", refused("unsigned", failed_line("dogrulama: imza", 0x800B0100),
                                        fault="unsigned"), "fast"),
            # Its page button opens the download page.
            ("update_other_signer", refused("other", failed_line("dogrulama: imzalayan", 0x800B0109),
                                            installer=self.next_other, page=True), "fast"),
            ("update_wrong_sha256", refused("hash", failed_line("dogrulama: SHA-256", 13),
                                            fault="wrong-hash"), "fast"),
            ("update_older_build", refused("older", failed_line("dogrulama: surum", 13),
                                           installer=self.same_signed), "fast"),
            ("update_oversize", refused("oversize", failed_line("indirme", 12184),
                                        fault="oversize"), "fast"),
            ("update_endless", refused("endless", failed_line("indirme", 12184),
                                       fault="endless"), "fast"),
            ("update_cancel", self.cancel, "fast"),
            # Started again by an installer that failed: the window says so.
            ("update_installer_failed", refused("installer-failed", failed_line("kurulum", 0x4C7),
                                                args=["--update-failed=install"]), "fast"),
            ("update_portable_copy", self.portable, "fast"),
            ("update_tried_twice", self.tried_twice, "fast"),
        ]


def main():
    parser = harness.option_parser(__doc__)
    parser.add_argument("--next", required=True, help="the client one build newer")
    parser.add_argument("--signer", required=True, help="the build tree's test signing folder")
    parser.add_argument("--recorder", help="open_recorder executable (for the notice cases)")
    parser.add_argument("--demo", action="store_true", help="the whole road only, for a person")
    opts = harness.parse_options(parser, ("client", "tool", "recorder", "server", "next"))
    return harness.run_cases(opts, parser, Cases)


if __name__ == "__main__":
    sys.exit(main())
