#!/usr/bin/env bash
# Times the game session under Wine (play to movie, F5 in game, closing with
# a live session) with tests/bench/session_bench.py. Arguments are passed to
# that script (e.g. --rounds 10).
set -euo pipefail
cd "$(dirname "$0")/.."

if tools/host-runs-32bit; then
  preset=windows arch=win32
else
  echo "bench-session: this kernel cannot run 32-bit programs; timing the 64-bit build"
  preset=windows-x64 arch=win64
fi
cmake --preset "$preset" >/dev/null
cmake --build --preset "$preset" -j "$(nproc)" \
  --target TavrensilClient window_tool open_recorder media_control_standin
build=build/$preset
python3 tests/bench/session_bench.py --client "$build/TavrensilClient.exe" \
  --tool "$build/tests/window_tool.exe" --recorder "$build/tests/open_recorder.exe" \
  --state "$build/wine" "$@" -- tools/wine-run --state "$build/wine" --arch "$arch"
