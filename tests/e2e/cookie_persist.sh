#!/usr/bin/env bash
# A device cookie stored by one process is read back by a later one.
#   cookie_persist.sh COOKIE_TOOL_EXE RUNNER...
set -uo pipefail
tool=$1
shift
run=("$@")
url=http://persist.tavrensil.test/
value=v$RANDOM$RANDOM

"${run[@]}" "$tool" set "$url" rb_dev "$value" 60 || { echo "FAIL: the store refused the cookie"; exit 1; }
got=$("${run[@]}" "$tool" get "$url" rb_dev | tr -d '\r')
if [[ $got != "$value" ]]; then
  echo "FAIL: a second process read '$got', expected '$value'"
  exit 1
fi
echo "a cookie stored by one process was read back by another"
