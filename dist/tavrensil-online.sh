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

desktop_entry() {
  template=$here/$me.desktop
  [ -f "$template" ] || fail "no $me.desktop next to this script"
  script=$here/$(basename "$self")
  case "$script" in
    *[\"\`\$\\]*) fail "cannot write a menu entry for a path with \" \` \$ or \\ in it: $script" ;;
  esac
  apps=${XDG_DATA_HOME:-$HOME/.local/share}/applications
  mkdir -p "$apps" "$data"
  icon=$me
  if [ -f "$here/$me.png" ]; then
    cp "$here/$me.png" "$data/$me.png"
    icon=$data/$me.png
  fi
  entry=$apps/$me.desktop
  while IFS= read -r line || [ -n "$line" ]; do
    case "$line" in
      Exec=*) printf 'Exec="%s"\n' "$script" ;;
      Icon=*) printf 'Icon=%s\n' "$icon" ;;
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
