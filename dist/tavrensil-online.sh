#!/bin/sh
# Starts Tavrensil Online (the Windows client, TavrensilClient.exe) on Linux
# under Wine, in a Wine prefix of its own.
#
#   tavrensil-online.sh [CLIENT OPTIONS...]  start the game; every argument
#                                            goes to the client unchanged
#   tavrensil-online.sh --setup SETUP.EXE [INSTALLER OPTIONS...]
#                                            run the Windows installer in the
#                                            game's prefix
#   tavrensil-online.sh --desktop-entry      add "Tavrensil Online" to the
#                                            desktop's application menu
#   tavrensil-online.sh --winecfg            Wine's settings for that prefix
#
# The client it starts: $TAVRENSIL_CLIENT when set, else TavrensilClient.exe
# next to this script (the portable ZIP), else the one the installer put into
# the prefix (%LOCALAPPDATA%\Programs\Tavrensil Online).
#
# It refuses to run as root: started with sudo, HOME often stays the
# player's, and a prefix made there by root breaks every later start.
#
# Environment:
#   WINE                  the Wine command (default: wine)
#   TAVRENSIL_WINEPREFIX  the prefix (default:
#                         ${XDG_DATA_HOME:-~/.local/share}/tavrensil-online/wine)
#   TAVRENSIL_WINEARCH    the architecture of a new prefix (default win32: the
#                         client is a 32-bit program; a Wine that runs 32-bit
#                         programs only in 64-bit prefixes gets win64)
#   TAVRENSIL_CLIENT      the client executable to start
#   WINEDEBUG, WINEDLLOVERRIDES  passed on when set (defaults below)
#
# Wine's add-ons: the client never needs .NET, so Mono is switched off
# (mscoree=), and no Mono dialog ever appears. The browser engine (mshtml)
# stays on, also while the prefix is made: the player logs in on the game's
# web site, which the client shows in the Internet Explorer browser control,
# and Wine draws that with mshtml and its Gecko add-on. A prefix made with
# mshtml switched off never registers it, and its browser control shows no
# page at all, Gecko or not. So Wine sets Gecko up when it makes the prefix,
# once: from the distribution's package when there is one, without a
# question; otherwise Wine's own builds ask whether to download it (the
# player should accept). Wine's menu builder is off, so the installer's
# shortcuts do not add a second menu entry beside ours.
set -eu

me=tavrensil-online
# This script's own folder, also when it is started through a symbolic link.
self=$(readlink -f "$0" 2>/dev/null || printf '%s' "$0")
here=$(cd "$(dirname "$self")" && pwd)
data=${XDG_DATA_HOME:-$HOME/.local/share}/$me
WINEPREFIX=${TAVRENSIL_WINEPREFIX:-$data/wine}
WINE=${WINE:-wine}
export WINEPREFIX
export WINEDEBUG="${WINEDEBUG--all}"
export WINEDLLOVERRIDES="${WINEDLLOVERRIDES-mscoree=;winemenubuilder.exe=d}"

say() { printf '%s: %s\n' "$me" "$*" >&2; }
fail() { say "$*"; exit 1; }

# A desktop launch has no terminal: show problems in a dialog as well.
tell() {
  say "$*"
  if [ ! -t 2 ]; then
    if command -v zenity >/dev/null 2>&1; then
      zenity --error --title="Tavrensil Online" --text="$*" >/dev/null 2>&1 || true
    elif command -v kdialog >/dev/null 2>&1; then
      kdialog --title "Tavrensil Online" --error "$*" >/dev/null 2>&1 || true
    elif command -v xmessage >/dev/null 2>&1; then
      xmessage -center "$*" >/dev/null 2>&1 || true
    fi
  fi
}

# Root would own the prefix (and the menu entry) in the player's home, and
# the player's own account could then neither use nor remove them.
if [ "$(id -u)" = 0 ]; then
  tell "Do not start Tavrensil Online as root (or with sudo): it would leave files in your home that your own account cannot use. Start it as yourself."
  exit 1
fi

# The client is looked for from here, but started from its own folder.
case "${TAVRENSIL_CLIENT:-}" in
  ''|/*) ;;
  *) TAVRENSIL_CLIENT=$(pwd)/$TAVRENSIL_CLIENT ;;
esac

need_wine() {
  command -v "$WINE" >/dev/null 2>&1 && return 0
  tell "Wine was not found (looked for \"$WINE\"). Tavrensil Online is a Windows program; install Wine from your distribution (Debian/Ubuntu: sudo apt install wine; Fedora: sudo dnf install wine; Arch: sudo pacman -S wine), or set WINE to the wine command to use."
  exit 127
}

make_prefix() {
  [ -f "$WINEPREFIX/system.reg" ] && return 0
  fresh=no
  [ -e "$WINEPREFIX" ] || fresh=yes
  mkdir -p "$(dirname "$WINEPREFIX")"
  arch=${TAVRENSIL_WINEARCH:-win32}
  say "making the Wine prefix $WINEPREFIX ($arch; once, this takes a minute)"
  say "if Wine offers to install Gecko, accept: the game's web site needs it"
  if ! WINEARCH=$arch WINEDLLOVERRIDES="mscoree=;winemenubuilder.exe=d" \
      "$WINE" wineboot --init >/dev/null 2>&1; then
    # Only a folder made just now is removed and made again.
    if [ "$arch" != win32 ] || [ $fresh = no ]; then
      fail "Wine could not make the prefix $WINEPREFIX"
    fi
    say "this Wine makes no 32-bit prefixes; making a 64-bit one"
    rm -rf "$WINEPREFIX"
    WINEARCH=win64 WINEDLLOVERRIDES="mscoree=;winemenubuilder.exe=d" \
      "$WINE" wineboot --init >/dev/null 2>&1 ||
      fail "Wine could not make the prefix $WINEPREFIX"
  fi
}

find_client() {
  if [ -n "${TAVRENSIL_CLIENT:-}" ]; then
    printf '%s\n' "$TAVRENSIL_CLIENT"
    return 0
  fi
  if [ -f "$here/TavrensilClient.exe" ]; then
    printf '%s\n' "$here/TavrensilClient.exe"
    return 0
  fi
  # The installer's folder, %LOCALAPPDATA%\Programs\Tavrensil Online, for
  # any user name of the prefix (Proton's is "steamuser").
  for exe in "$WINEPREFIX"/drive_c/users/*/"AppData/Local/Programs/Tavrensil Online/TavrensilClient.exe" \
             "$WINEPREFIX"/drive_c/users/*/"Local Settings/Application Data/Programs/Tavrensil Online/TavrensilClient.exe"; do
    if [ -f "$exe" ]; then
      printf '%s\n' "$exe"
      return 0
    fi
  done
  return 1
}

# A desktop entry's string value: the escapes for backslash, tab and carriage
# return (a line break cannot be written, so such paths are refused first).
entry_string() {
  printf '%s' "$1" | sed -e 's/\\/\\\\/g' -e "s/$(printf '\t')/\\\\t/g" -e "s/$(printf '\r')/\\\\r/g"
}

# An Exec= argument: quoted, with " ` $ \ escaped inside the quotes and a
# literal % doubled so that it is no field code, then as a string value.
exec_argument() {
  entry_string "\"$(printf '%s' "$1" | sed -e 's/[\\"`$]/\\&/g' -e 's/%/%%/g')\""
}

desktop_entry() {
  template=$here/$me.desktop
  [ -f "$template" ] || fail "no $me.desktop next to this script"
  script=$here/$(basename "$self")
  apps=${XDG_DATA_HOME:-$HOME/.local/share}/applications
  nl='
'
  case "$script$data" in
    *"$nl"*) fail "cannot write a menu entry for a path with a line break in it: $script" ;;
  esac
  mkdir -p "$apps" "$data"
  icon=$me
  if [ -f "$here/$me.png" ]; then
    cp "$here/$me.png" "$data/$me.png"
    icon=$data/$me.png
  fi
  entry=$apps/$me.desktop
  while IFS= read -r line || [ -n "$line" ]; do
    case "$line" in
      # The script is an argument of /bin/sh: GLib looks for the program
      # before it undoes %%, so a script named first in a folder with a % in
      # its name would make the entry fail to load. It also starts a launcher
      # that lost its executable bit on unpacking.
      Exec=*) printf 'Exec=/bin/sh %s\n' "$(exec_argument "$script")" ;;
      Icon=*) printf 'Icon=%s\n' "$(entry_string "$icon")" ;;
      *) printf '%s\n' "$line" ;;
    esac
  done < "$template" > "$entry.tmp"
  mv "$entry.tmp" "$entry"
  if command -v update-desktop-database >/dev/null 2>&1; then
    update-desktop-database "$apps" >/dev/null 2>&1 || true
  fi
  say "menu entry written: $entry"
}

case "${1:-}" in
  --desktop-entry)
    desktop_entry
    exit 0 ;;
  --setup)
    [ $# -ge 2 ] || fail "usage: $0 --setup TavrensilOnline-VERSION-setup.exe [installer options]"
    setup=$2
    shift 2
    [ -f "$setup" ] || fail "no installer at $setup"
    need_wine
    make_prefix
    exec "$WINE" "$setup" "$@" ;;
  --winecfg)
    need_wine
    make_prefix
    exec "$WINE" winecfg ;;
esac

if [ -n "${TAVRENSIL_CLIENT:-}" ] && [ ! -f "$TAVRENSIL_CLIENT" ]; then
  tell "TAVRENSIL_CLIENT names no file: $TAVRENSIL_CLIENT"
  exit 1
fi
need_wine
make_prefix
if ! exe=$(find_client); then
  tell "TavrensilClient.exe was found neither next to this script ($here) nor installed in the Wine prefix $WINEPREFIX. Use the portable ZIP, or install the game into the prefix with: $0 --setup TavrensilOnline-VERSION-setup.exe"
  exit 1
fi
# The client writes client.log next to itself.
cd "$(dirname "$exe")"
exec "$WINE" "$exe" "$@"
