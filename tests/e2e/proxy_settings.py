#!/usr/bin/env python3
"""The current user's Internet settings of a Wine prefix, written as the
Windows settings page ("LAN settings") writes them.

  settings_reg(proxy=None, bypass=None, auto_config_url=None, auto_detect=False)
      the settings as a .reg file's text
  FORGET_REG
      a .reg file's text that removes every value settings_reg writes: the
      state of a fresh prefix (where Wine reports automatic detection on)
  write(runner, **settings)
      imports settings_reg(**settings) into the prefix `runner` runs programs
      in (e.g. ["tools/wine-run", "--state", DIR, "--arch", "win64"])

Command line: proxy_settings.py [--proxy H:P] [--bypass LIST]
[--auto-config-url URL] [--auto-detect] prints the .reg text.

The page writes two places under HKCU\\Software\\Microsoft\\Windows\\
CurrentVersion\\Internet Settings: the values ProxyEnable, ProxyServer,
ProxyOverride and AutoConfigURL (read by the browser engine), and the blob
Connections\\DefaultConnectionSettings (read by WinHTTP), copied to
SavedLegacySettings. The blob, little-endian:

  DWORD version   0x46
  DWORD counter   changed on every write
  DWORD flags     1 direct, 2 named proxy, 4 configuration script, 8 detect
  DWORD n, n bytes  proxy server ("host:port" or "http=h:p;https=h:p")
  DWORD n, n bytes  bypass list ("<local>" for names without a dot)
  DWORD n, n bytes  configuration script URL
  32 zero bytes     detection state, unused here
"""
import argparse
import os
import struct
import subprocess
import sys
import tempfile
import time

KEY = r"HKEY_CURRENT_USER\Software\Microsoft\Windows\CurrentVersion\Internet Settings"
VERSION = 0x46
PROXY_TYPE_DIRECT = 1
PROXY_TYPE_PROXY = 2
PROXY_TYPE_AUTO_PROXY_URL = 4
PROXY_TYPE_AUTO_DETECT = 8


def connection_settings(proxy=None, bypass=None, auto_config_url=None, auto_detect=False):
    """The DefaultConnectionSettings blob for these settings."""
    flags = PROXY_TYPE_DIRECT
    flags |= PROXY_TYPE_PROXY if proxy else 0
    flags |= PROXY_TYPE_AUTO_PROXY_URL if auto_config_url else 0
    flags |= PROXY_TYPE_AUTO_DETECT if auto_detect else 0
    # Readers notice a change by the counter; the clock keeps it moving.
    blob = struct.pack("<III", VERSION, int(time.time()) & 0xFFFFFFFF, flags)
    for text in (proxy or "", bypass or "", auto_config_url or ""):
        data = text.encode("ascii")
        blob += struct.pack("<I", len(data)) + data
    return blob + bytes(32)


def reg_string(text):
    return '"%s"' % text.replace("\\", "\\\\").replace('"', '\\"')


def settings_reg(proxy=None, bypass=None, auto_config_url=None, auto_detect=False):
    """The settings as the text of a REGEDIT4 file; unused values are removed."""
    blob = connection_settings(proxy, bypass, auto_config_url, auto_detect)
    hex_blob = "hex:" + ",".join("%02x" % b for b in blob)
    lines = [
        "REGEDIT4", "",
        "[%s]" % KEY,
        '"ProxyEnable"=dword:%08x' % (1 if proxy else 0),
        '"ProxyServer"=' + (reg_string(proxy) if proxy else "-"),
        '"ProxyOverride"=' + (reg_string(bypass) if bypass else "-"),
        '"AutoConfigURL"=' + (reg_string(auto_config_url) if auto_config_url else "-"),
        "",
        "[%s\\Connections]" % KEY,
        '"DefaultConnectionSettings"=' + hex_blob,
        '"SavedLegacySettings"=' + hex_blob,
        "",
    ]
    return "\r\n".join(lines)


FORGET_REG = "\r\n".join([
    "REGEDIT4", "",
    "[%s]" % KEY,
    '"ProxyEnable"=-', '"ProxyServer"=-', '"ProxyOverride"=-', '"AutoConfigURL"=-',
    "",
    "[%s\\Connections]" % KEY,
    '"DefaultConnectionSettings"=-', '"SavedLegacySettings"=-',
    "",
])


def windows_path(path):
    """A Linux path as Wine's drive Z: shows it."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def import_reg(runner, text):
    """Imports a .reg file's text with the prefix's own reg.exe."""
    with tempfile.TemporaryDirectory() as folder:
        path = os.path.join(folder, "settings.reg")
        with open(path, "w", encoding="ascii", newline="") as reg:
            reg.write(text)
        subprocess.run(list(runner) + ["reg", "import", windows_path(path)], check=True,
                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)


def write(runner, proxy=None, bypass=None, auto_config_url=None, auto_detect=False):
    """Writes these settings into the prefix `runner` runs programs in."""
    import_reg(runner, settings_reg(proxy, bypass, auto_config_url, auto_detect))


def main():
    parser = argparse.ArgumentParser(description="Prints Internet settings as a .reg file.")
    parser.add_argument("--proxy")
    parser.add_argument("--bypass")
    parser.add_argument("--auto-config-url")
    parser.add_argument("--auto-detect", action="store_true")
    args = parser.parse_args()
    sys.stdout.write(settings_reg(args.proxy, args.bypass, args.auto_config_url, args.auto_detect))
    return 0


if __name__ == "__main__":
    sys.exit(main())
