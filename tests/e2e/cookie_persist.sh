#!/usr/bin/env bash
# A device cookie stored by one process is read back by a later one.
#   cookie_persist.sh COOKIE_TOOL_EXE RUNNER...
set -uo pipefail
tool=$1
shift
run=("$@")
url=http://persist.tavrensil.test/
value=v$RANDOM$RANDOM

. "$(dirname "$0")/../report.sh"

case="a cookie stored by one process, read back by another"
if ! "${run[@]}" "$tool" set "$url" rb_dev "$value" 60; then
  bad "$case" "the store refused the cookie"
else
  got=$("${run[@]}" "$tool" get "$url" rb_dev | tr -d '\r')
  if [[ $got == "$value" ]]; then
    ok "$case"
  else
    bad "$case" "a second process read '$got', expected '$value'"
  fi
fi
summary
