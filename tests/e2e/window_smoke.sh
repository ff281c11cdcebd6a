#!/usr/bin/env bash
# The client opens its main window with a 1000x600 client area and ends with
# exit code 0 when the window is closed.
#   window_smoke.sh CLIENT_EXE WINDOW_TOOL_EXE RUNNER...
set -uo pipefail
client=$1 tool=$2
shift 2
run=("$@")

"${run[@]}" "$client" &
client_pid=$!

fail() { echo "FAIL: $*"; kill "$client_pid" 2>/dev/null; exit 1; }

size=$("${run[@]}" "$tool" wait "Tavrensil Online" 20000 | tr -d '\r')
[[ $size == "client 1000x600" ]] || fail "window: '$size'"
"${run[@]}" "$tool" close "Tavrensil Online" || fail "could not close the window"
wait "$client_pid"
rc=$?
[[ $rc -eq 0 ]] || fail "exit code $rc after closing"
echo "window opened at 1000x600 and closed with exit code 0"
