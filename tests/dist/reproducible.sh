#!/usr/bin/env bash
# Checks that the release is reproducible: builds it (tools/dist.sh) in a
# work folder and an output folder of its own and compares every artefact
# byte for byte with those of another build of the same tree.
#
#   reproducible.sh [REFERENCE]
#
# REFERENCE is the output folder of a release built before from the same
# tree (make check passes build/dist, just made); without it the release is
# built twice here. The tree must not change in between. Exits 1 when a file
# differs or is missing. Its builds are unsigned: a signature carries the
# time it was made.
set -euo pipefail
cd "$(dirname "$0")/../.."
if [[ -n ${TAVRENSIL_SIGN_CERT:-}${TAVRENSIL_SIGN_KEY:-} ]]; then
  # The reference was then most likely signed as well.
  echo "reproducible: signing is set in the environment; building twice unsigned instead"
  unset TAVRENSIL_SIGN_CERT TAVRENSIL_SIGN_KEY TAVRENSIL_SIGN_TIMESTAMP_URL
  set --
fi
base=build/dist-check
rm -rf "$base"
mkdir -p "$base"

build() {
  echo "reproducible: building the release in $base/$1"
  tools/dist.sh --work "$base/$1/work" --out "$base/$1/out" > "$base/$1.log" 2>&1 ||
    { cat "$base/$1.log"; echo "reproducible: the build in $base/$1 failed" >&2; exit 1; }
}

if [[ $# -ge 1 ]]; then
  reference=$1
else
  build first
  reference=$base/first/out
fi
build second
again=$base/second/out

status=0
files=$(cd "$reference" && ls)
[[ -n $files ]] || { echo "reproducible: nothing in $reference" >&2; exit 1; }
if [[ $files != "$(cd "$again" && ls)" ]]; then
  echo "reproducible: different files: $(tr '\n' ' ' <<<"$files")/ $(cd "$again" && echo *)"
  status=1
fi
for f in $files; do
  if cmp -s "$reference/$f" "$again/$f"; then
    echo "same: $f"
  else
    echo "DIFFERENT: $f"
    status=1
  fi
done
if [[ $status -eq 0 ]]; then
  echo "reproducible: two builds give the same bytes"
  rm -rf "$base"
else
  echo "reproducible: kept $base for a look (diffoscope, cmp -l)"
fi
exit $status
