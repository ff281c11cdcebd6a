# The closing lines of every test runner, in the end-to-end harness's form:
# "NAME: ok" or "NAME: FAIL: reason" for each case, then "N passed, M
# failed". Sourced by the shell tests.
passed=0
failed=0
ok() { echo "$1: ok"; passed=$((passed + 1)); }
bad() { echo "$1: FAIL: $2"; failed=$((failed + 1)); }
# The closing line; its status is 1 when a case failed.
summary() {
  echo "$passed passed, $failed failed"
  [[ $failed -eq 0 ]]
}
