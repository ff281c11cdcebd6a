#!/usr/bin/env bash
# Runs tools/setup.sh against stand-ins for dpkg, dpkg-query, apt-get and id
# and a temporary apt folder: the security-suite pin reaches the install,
# and nothing of it stays behind, also when the install fails; a pin left by
# an earlier setup is removed; the machine's own preferences stay as they were.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failed=0
fail() { echo "FAIL $*"; failed=1; }

mkdir -p "$work/bin"
cat > "$work/bin/id" <<'STUB'
#!/bin/sh
echo 0
STUB
cat > "$work/bin/dpkg-query" <<'STUB'
#!/bin/sh
echo "${STUB_STATUS:-unknown ok not-installed}"
STUB
cat > "$work/bin/dpkg" <<'STUB'
#!/bin/sh
echo i386
STUB
# Records each call, and for install the preferences file it was given.
cat > "$work/bin/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >> "$STUB_LOG"
for arg in "$@"; do
  case "$arg" in
    Dir::Etc::Preferences=*) prefs=${arg#*=}; echo "$prefs" >> "$STUB_LOG.files"; cat "$prefs" >> "$STUB_LOG" ;;
  esac
done
case " $* " in *" install "*) exit "${STUB_INSTALL_RC:-0}" ;; esac
STUB
chmod +x "$work/bin"/*

# case: install's exit code, what setup must exit with
for case in "ok 0 0" "install fails 100 100"; do
  read -r name rc want <<<"${case/install fails/install-fails}"
  etc=$work/$name/etc-apt
  mkdir -p "$etc/preferences.d"
  printf 'Package: mine\nPin: origin example.org\nPin-Priority: 900\n' > "$etc/preferences"
  printf 'Package: other\nPin: version 1.*\nPin-Priority: 1001\n' > "$etc/preferences.d/local"
  printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' \
    > "$etc/preferences.d/tavrensil-security-pin"
  cp -a "$etc" "$work/$name/before"
  rm "$work/$name/before/preferences.d/tavrensil-security-pin"
  log=$work/$name/apt.log
  PATH="$work/bin:$PATH" TAVRENSIL_APT_ETC=$etc STUB_LOG=$log STUB_INSTALL_RC=$rc \
    "$root/tools/setup.sh" > "$work/$name/out" 2>&1
  got=$?
  [[ $got -eq $want ]] || fail "$name: setup exited $got, expected $want"
  diff -r "$work/$name/before" "$etc" >/dev/null ||
    fail "$name: the apt folder differs from before (only the old pin may go): $(diff -r "$work/$name/before" "$etc")"
  grep -q '^apt-get .*Dir::Etc::Preferences=.* install ' "$log" ||
    fail "$name: the install was not given a preferences file"
  grep -q '^Pin: release l=Debian-Security$' "$log" && grep -q '^Package: mine$' "$log" ||
    fail "$name: the install's preferences lack the pin or the machine's own stanzas"
  touch "$log.files"
  while read -r file; do
    [[ ! -e $file ]] || fail "$name: $file is left behind"
  done < "$log.files"
done

# Everything installed: no apt call at all.
etc=$work/installed/etc-apt
mkdir -p "$etc/preferences.d"
PATH="$work/bin:$PATH" TAVRENSIL_APT_ETC=$etc STUB_LOG=$work/installed.log \
  STUB_STATUS="install ok installed" "$root/tools/setup.sh" > /dev/null 2>&1 ||
  fail "installed: setup failed"
[[ ! -e $work/installed.log ]] || fail "installed: apt-get was called"

[[ $failed -eq 0 ]] && echo "setup: ok"
exit $failed
