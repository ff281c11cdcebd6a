#!/usr/bin/env bash
# Builds every configuration and runs every test: the standard-library
# modules natively under sanitizers and fuzzing, then the Windows builds
# under Wine, then the release (make dist) twice, compared byte for byte.
# Stops at the first failing step. Its last line says, for each width,
# whether its tests ran under Wine or only its static checks (the release's
# client, 32-bit, gets the same file checks inside tools/dist.sh). The output
# is kept in build/check.log as well.
set -euo pipefail
cd "$(dirname "$0")/.."

# Re-run under tee: the output stays readable after the terminal is gone.
if [[ -z ${TAVRENSIL_CHECK_LOG:-} ]]; then
  mkdir -p build
  TAVRENSIL_CHECK_LOG=build/check.log ./tools/check.sh "$@" 2>&1 | tee build/check.log
  exit "${PIPESTATUS[0]}"
fi
jobs=$(nproc)

step() { echo; echo "=== $* ==="; }

step "native: configure and build"
cmake --preset native >/dev/null
cmake --build --preset native -j "$jobs"
step "native: tests (ASan+UBSan, fuzzing)"
ctest --preset native

step "windows (32-bit): configure and build"
cmake --preset windows >/dev/null
cmake --build --preset windows -j "$jobs"
if tools/host-runs-32bit; then
  step "windows (32-bit): tests under Wine"
  ctest --preset windows
  ran32="tests ran under Wine"
else
  echo "This kernel cannot run 32-bit programs (IA-32 emulation is off), so 32-bit"
  echo "Wine cannot start here. The 32-bit build above is checked for errors and"
  echo "warnings, and its executable is inspected below; its tests run in the"
  echo "64-bit build of the same sources."
  step "windows (32-bit): the executable's file checks"
  ctest --preset windows -R '^(client_executable|parse_stack)$'
  ran32="static checks only (this kernel runs no 32-bit code)"
fi

step "windows (64-bit): configure and build"
cmake --preset windows-x64 >/dev/null
cmake --build --preset windows-x64 -j "$jobs"
step "windows (64-bit): tests under Wine"
ctest --preset windows-x64

# The installer's round trip under Wine is one of the Windows tests above
# (dist_installer); here the release itself is built and built again.
step "release: make dist, and a second build compared byte for byte"
tools/dist.sh
tests/dist/key_scan.py build/dist/TavrensilClient.exe
tests/dist/reproducible.sh build/dist
step "release: signed with a throw-away certificate, and every signature verified"
tests/dist/signing_test.sh build/dist-work

echo
echo "check: all configurations built and passed; 32-bit (shipped): $ran32; 64-bit: tests ran under Wine"
