#!/usr/bin/env bash
# Builds the client and starts it under Wine: on your display when there is
# one, otherwise on a virtual one. Arguments are passed to the client.
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
exec tools/wine-run --state "build/$preset/wine" --arch "$arch" --timeout 0 \
  "build/$preset/TavrensilClient.exe" "$@"
