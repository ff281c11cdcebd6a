#!/usr/bin/env bash
# Tests the Linux launcher (dist/tavrensil-online.sh) against a stand-in for
# Wine: a "wine" script that records how it was called. No real Wine runs.
#
#   launcher_test.sh [LAUNCHER]
#
# Checks: the portable client next to the launcher (also through a symbolic
# link), the client installed in the prefix, arguments passed on unchanged,
# the prefix (made once, 32-bit) and the overrides when it is made and when
# the game runs (mscoree off, mshtml on), a 64-bit prefix where Wine makes no
# 32-bit one, --setup, the messages without Wine and without a client, a
# relative TAVRENSIL_CLIENT, the refusal to run as root, and the menu entry of
# --desktop-entry (also for a folder whose name needs quoting). A stand-in for
# "id" says which user runs the launcher (1000, or $FAKE_UID), so the tests
# run as root too. Prints one line per case; exits 1 when one failed.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
launcher=${1:-$here/../../dist/tavrensil-online.sh}
launcher=$(cd "$(dirname "$launcher")" && pwd)/$(basename "$launcher")
desktop=$(dirname "$launcher")/tavrensil-online.desktop

temp=$(mktemp -d)
trap 'rm -rf "$temp"' EXIT
. "$here/../report.sh"

# The stand-in for Wine. Each call appends one record to $WINE_RECORD:
# the working directory, the variables the launcher sets, and the arguments,
# one a line, then "--". "wineboot --init" makes the prefix's system.reg,
# or fails for WINEARCH=win32 when FAKE_NO_WIN32 is set.
mkdir -p "$temp/bin" "$temp/nowine"
cat > "$temp/bin/wine" <<'EOF'
#!/bin/sh
{
  echo "cwd=$(pwd)"
  echo "WINEPREFIX=${WINEPREFIX-}"
  echo "WINEARCH=${WINEARCH-}"
  echo "WINEDEBUG=${WINEDEBUG-}"
  echo "WINEDLLOVERRIDES=${WINEDLLOVERRIDES-}"
  for a in "$@"; do echo "arg=$a"; done
  echo "--"
} >> "$WINE_RECORD"
if [ "${1-}" = wineboot ]; then
  [ -n "${FAKE_NO_WIN32-}" ] && [ "${WINEARCH-}" = win32 ] && exit 1
  mkdir -p "$WINEPREFIX" && : > "$WINEPREFIX/system.reg"
fi
exit 0
EOF
cat > "$temp/bin/id" <<'EOF'
#!/bin/sh
[ "$*" = -u ] || exit 2
echo "${FAKE_UID:-1000}"
EOF
chmod +x "$temp/bin/wine" "$temp/bin/id"
# What the launcher may need besides Wine, without Wine itself.
for tool in sh dirname readlink basename mkdir cp mv rm cat printf; do
  path=$(command -v $tool) && ln -s "$path" "$temp/nowine/$tool"
done
ln -s "$temp/bin/id" "$temp/nowine/id"

# Runs the launcher [VAR=VALUE...] SCRIPT [ARGS...]: SCRIPT with ARGS and
# those variables, in a fresh home with the stand-in Wine, in the folder
# $RUN_IN (default /); sets code, out (its messages) and calls (the record).
run() {
  local vars=()
  while [[ $1 == *=* ]]; do vars+=("$1"); shift; done
  local script=$1
  shift
  rm -rf "${temp:?}/home" "$temp/record"
  mkdir -p "$temp/home"
  : > "$temp/record"
  out=$(cd "${RUN_IN:-/}" && env -i HOME="$temp/home" PATH="${FAKE_PATH:-$temp/bin:/usr/bin:/bin}" \
        WINE_RECORD="$temp/record" ${FAKE_NO_WIN32:+FAKE_NO_WIN32=1} "${vars[@]}" \
        "$script" "$@" 2>&1 </dev/null)
  code=$?
  calls=$(cat "$temp/record")
}

# The record of the last Wine call.
last_call() { printf '%s\n' "$calls" | awk 'BEGIN{RS="--\n"} {last=$0} END{printf "%s", last}'; }

prefix_of_home() { echo "$temp/home/.local/share/tavrensil-online/wine"; }

# ---- portable: the client next to the launcher --------------------------------
portable="$temp/Oyunlar/Tavrensil Online"
mkdir -p "$portable"
cp "$launcher" "$portable/tavrensil-online.sh"
cp "$desktop" "$portable/tavrensil-online.desktop"
printf 'MZ' > "$portable/TavrensilClient.exe"
printf 'PNG' > "$portable/tavrensil-online.png"

case=portable
run "$portable/tavrensil-online.sh" --site "http://127.0.0.1:8080/a b" --movie "" "--weird*arg"
expected="cwd=$portable
WINEPREFIX=$(prefix_of_home)
WINEARCH=
WINEDEBUG=-all
WINEDLLOVERRIDES=mscoree=;winemenubuilder.exe=d
arg=$portable/TavrensilClient.exe
arg=--site
arg=http://127.0.0.1:8080/a b
arg=--movie
arg=
arg=--weird*arg"
if [[ $code -ne 0 ]]; then
  bad $case "exit code $code: $out"
elif [[ $(last_call) != "$expected" ]]; then
  bad $case "the game's Wine call was
$(last_call)
expected
$expected"
else
  ok $case
fi

case="prefix made once, 32-bit, without Mono, with mshtml"
boot=$(printf '%s\n' "$calls" | awk 'BEGIN{RS="--\n"} NR==1{printf "%s", $0}')
if ! grep -qx "arg=wineboot" <<<"$boot" || ! grep -qx "WINEARCH=win32" <<<"$boot" ||
   ! grep -qx "WINEDLLOVERRIDES=mscoree=;winemenubuilder.exe=d" <<<"$boot"; then
  bad "$case" "first call: $boot"
elif [[ $(grep -c "^arg=wineboot" <<<"$calls") -ne 1 ]]; then
  bad "$case" "wineboot ran more than once"
else
  ok "$case"
fi

case="an existing prefix is not made again"
rm -rf "$temp/record"; : > "$temp/record"
out=$(cd / && env -i HOME="$temp/home" PATH="$temp/bin:/usr/bin:/bin" WINE_RECORD="$temp/record" \
      "$portable/tavrensil-online.sh" 2>&1 </dev/null)
code=$?
calls=$(cat "$temp/record")
if [[ $code -ne 0 ]] || grep -q "^arg=wineboot" <<<"$calls"; then
  bad "$case" "exit code $code, calls: $calls"
else
  ok "$case"
fi

case="started through a symbolic link"
mkdir -p "$temp/links"
ln -sf "$portable/tavrensil-online.sh" "$temp/links/tavrensil-online"
run "$temp/links/tavrensil-online" --mobile
if [[ $code -eq 0 ]] && grep -qx "arg=$portable/TavrensilClient.exe" <<<"$(last_call)" &&
   grep -qx "arg=--mobile" <<<"$(last_call)"; then
  ok "$case"
else
  bad "$case" "exit code $code: $out / $(last_call)"
fi

# ---- installed: the client in the prefix's programs folder ----------------------
case="client installed in the prefix"
alone="$temp/launcher-only"
mkdir -p "$alone"
cp "$launcher" "$alone/tavrensil-online.sh"
# The prefix exists already with the installed client (any user name).
installed="$(prefix_of_home)/drive_c/users/steamuser/AppData/Local/Programs/Tavrensil Online"
make_installed() {
  mkdir -p "$installed"
  : > "$(prefix_of_home)/system.reg"
  printf 'MZ' > "$installed/TavrensilClient.exe"
}
rm -rf "${temp:?}/home"; mkdir -p "$temp/home"
make_installed
: > "$temp/record"
out=$(cd / && env -i HOME="$temp/home" PATH="$temp/bin:/usr/bin:/bin" WINE_RECORD="$temp/record" \
      "$alone/tavrensil-online.sh" --site http://x 2>&1 </dev/null)
code=$?
calls=$(cat "$temp/record")
if [[ $code -eq 0 ]] && grep -qx "arg=$installed/TavrensilClient.exe" <<<"$(last_call)" &&
   grep -qx "cwd=$installed" <<<"$(last_call)" && grep -qx "arg=http://x" <<<"$(last_call)"; then
  ok "$case"
else
  bad "$case" "exit code $code: $out / $calls"
fi

# ---- failures -----------------------------------------------------------------
case="no client anywhere"
run "$alone/tavrensil-online.sh"
if [[ $code -eq 1 ]] && grep -q -- "--setup" <<<"$out" && ! grep -q "^arg=.*TavrensilClient" <<<"$calls"; then
  ok "$case"
else
  bad "$case" "exit code $code: $out"
fi

case="no Wine"
FAKE_PATH=$temp/nowine run "$portable/tavrensil-online.sh"
if [[ $code -eq 127 ]] && grep -q "Wine was not found" <<<"$out" && grep -q "apt install wine" <<<"$out"; then
  ok "$case"
else
  bad "$case" "exit code $code: $out"
fi

case="a Wine without 32-bit prefixes gets a 64-bit one"
FAKE_NO_WIN32=1 run "$portable/tavrensil-online.sh"
boots=$(grep "^WINEARCH=win" <<<"$calls" | tr '\n' ' ')
if [[ $code -eq 0 ]] && [[ $boots == "WINEARCH=win32 WINEARCH=win64 " ]] &&
   grep -qx "arg=$portable/TavrensilClient.exe" <<<"$(last_call)"; then
  ok "$case"
else
  bad "$case" "exit code $code, prefixes tried: $boots, $out"
fi

case="a relative TAVRENSIL_CLIENT, from the folder it was named in"
RUN_IN=$temp/Oyunlar run "TAVRENSIL_CLIENT=Tavrensil Online/TavrensilClient.exe" "$alone/tavrensil-online.sh"
if [[ $code -eq 0 ]] && grep -qx "arg=$portable/TavrensilClient.exe" <<<"$(last_call)" &&
   grep -qx "cwd=$portable" <<<"$(last_call)"; then
  ok "$case"
else
  bad "$case" "exit code $code: $out / $(last_call)"
fi

case="refused as root, before it touches the home"
run FAKE_UID=0 "$portable/tavrensil-online.sh"
if [[ $code -eq 1 ]] && [[ $(wc -l <<<"$out") -eq 1 ]] && grep -q "as root" <<<"$out" &&
   [[ -z $calls ]] && [[ -z $(ls -A "$temp/home") ]]; then
  ok "$case"
else
  bad "$case" "exit code $code: $out / $calls / $(ls -A "$temp/home")"
fi

# ---- --setup and --desktop-entry ------------------------------------------------
case="--setup runs the installer in the prefix"
printf 'MZ' > "$temp/TavrensilOnline-9.9.9-setup.exe"
run "$alone/tavrensil-online.sh" --setup "$temp/TavrensilOnline-9.9.9-setup.exe" /S
if [[ $code -eq 0 ]] && [[ $(grep "^arg=" <<<"$(last_call)") == "arg=$temp/TavrensilOnline-9.9.9-setup.exe
arg=/S" ]] && grep -qx "WINEPREFIX=$(prefix_of_home)" <<<"$(last_call)"; then
  ok "$case"
else
  bad "$case" "exit code $code: $out / $(last_call)"
fi

case="--desktop-entry"
run "$portable/tavrensil-online.sh" --desktop-entry
entry=$temp/home/.local/share/applications/tavrensil-online.desktop
if [[ $code -ne 0 || ! -f $entry ]]; then
  bad "$case" "exit code $code: $out"
elif ! grep -qxF "Exec=/bin/sh \"$portable/tavrensil-online.sh\"" "$entry" ||
     ! grep -qx "Icon=$temp/home/.local/share/tavrensil-online/tavrensil-online.png" "$entry" ||
     ! grep -qx "Name=Tavrensil Online" "$entry" || ! grep -qx "Type=Application" "$entry" ||
     [[ $(grep -c "^Exec=" "$entry") -ne 1 ]] || [[ -n $calls ]]; then
  bad "$case" "entry: $(cat "$entry")"
else
  ok "$case"
fi

# The desktop-entry format: an Exec= argument is quoted, with " ` $ \
# escaped inside the quotes, a literal % is written %%, and then every value
# gets the string escapes (\ doubled). Icon= has only the string escapes.
case="--desktop-entry for a folder with % \" \$ \\ in its name"
odd=$temp/'100%d "oyun" $HOME \x'
mkdir -p "$odd"
cp "$portable"/* "$odd/"
run "XDG_DATA_HOME=$temp/data\\y" "$odd/tavrensil-online.sh" --desktop-entry
entry=$temp/'data\y/applications/tavrensil-online.desktop'
exec_line='Exec=/bin/sh "'$temp'/100%%d \\"oyun\\" \\$HOME \\\\x/tavrensil-online.sh"'
icon_line='Icon='$temp'/data\\y/tavrensil-online/tavrensil-online.png'
if [[ $code -ne 0 || ! -f $entry ]]; then
  bad "$case" "exit code $code: $out"
elif ! grep -qxF "$exec_line" "$entry" || ! grep -qxF "$icon_line" "$entry"; then
  bad "$case" "entry: $(grep -E '^(Exec|Icon)=' "$entry"), expected $exec_line and $icon_line"
else
  ok "$case"
fi

summary
