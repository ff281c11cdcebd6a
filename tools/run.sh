#!/usr/bin/env bash
# Builds the client and starts it under Wine against the reference game
# server, which this script starts on a free loopback port and stops when
# the client ends. The client shows on your display (DISPLAY) when there is
# one, otherwise on a virtual one of its own; never on the tests' shared
# one. Arguments are passed to the client; a --site among them points it
# elsewhere. --demo-movie, first, plays the server's demo movie directly
# instead of opening the site; --demo-session opens a game session on world
# s3 with the server's demo token; --demo-update installs this build,
# offers it a signed installer of the next build from a reference server of
# its own over TLS, and lets it update itself (tests/e2e/update_e2e.py --demo).
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=$(nproc)

if tools/host-runs-32bit; then
  preset=windows arch=win32
else
  echo "run: this kernel cannot run 32-bit programs; starting the 64-bit build"
  preset=windows-x64 arch=win64
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$jobs" --target TavrensilClient

if [[ ${1:-} == --demo-update ]]; then
  cmake --build --preset "$preset" -j "$jobs" --target TavrensilClientNext window_tool
  b=build/$preset
  # The test tools drive its windows, so all share one display: yours, or
  # without one the tests' virtual display.
  display=(--user-display)
  [[ -n ${DISPLAY:-} ]] || display=()
  exec python3 tests/e2e/update_e2e.py --demo --client "$b/TavrensilClient.exe" \
    --next "$b/TavrensilClientNext.exe" --signer "$b/update-signer" \
    --tool "$b/tests/window_tool.exe" --state "$b/wine" \
    -- tools/wine-run --state "$b/wine" --arch "$arch" --timeout 0 "${display[@]}"
fi

server_out=$(mktemp)
# Its request lines (stderr) go to the terminal: the beats and the goodbye
# show there.
python3 reference_server/server.py --port 0 --dev-token DEMO >"$server_out" &
server_pid=$!
stop_server() {
  kill "$server_pid" 2>/dev/null
  wait "$server_pid" 2>/dev/null
  rm -f "$server_out"
}
trap stop_server EXIT
trap 'exit 130' INT TERM
site=
for _ in $(seq 100); do
  site=$(sed -n 's/^serving \(http[^ ]*\).*/\1/p' "$server_out")
  [[ -n $site ]] && break
  kill -0 "$server_pid" 2>/dev/null || break
  sleep 0.1
done
if [[ -z $site ]]; then
  echo "run: the reference server did not start:" >&2
  cat "$server_out" >&2
  exit 1
fi
echo "run: reference server at $site (demo play page: $site/s3/play?token=DEMO)"
echo "run: the client's log is build/$preset/client.log"

args=(--site "$site")
case "${1:-}" in
  --demo-movie)
    shift
    args+=(--movie "$site/static/game.swf") ;;
  --demo-session)
    # Wine's browser control shows no pages, so nobody can log in there;
    # a site address that already is a play page of world s3 with the
    # server's demo token makes the first navigation start the session.
    shift
    args=(--site "$site/s3/play?token=DEMO&x=") ;;
esac
tools/wine-run --state "build/$preset/wine" --arch "$arch" --timeout 0 --user-display \
  "build/$preset/TavrensilClient.exe" "${args[@]}" "$@"
