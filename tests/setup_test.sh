#!/usr/bin/env bash
# Runs tools/setup.sh against stand-ins for dpkg, dpkg-query, apt-get, id and
# sudo and a temporary apt folder, as root and not: the install goes without
# the security-suite pin first; only when that fails does the pin reach a
# second install, which an upgrade without the pin then follows; nothing of
# the pin stays behind, also when the install fails; every install gets
# DEBIAN_FRONTEND through sudo; a pin left by an earlier setup is removed;
# the machine's own preferences stay as they were.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
unset DEBIAN_FRONTEND  # setup must set it itself
. "$root/tests/report.sh"
# "CASE: what went wrong"; a case without any is ok at its end.
case_failures=0
fail() { bad "${1%%:*}" "${1#*: }"; case_failures=$((case_failures + 1)); }
end_case() {
  [[ $case_failures -ne 0 ]] || ok "$1"
  case_failures=0
}

mkdir -p "$work/bin"
cat > "$work/bin/id" <<'STUB'
#!/bin/sh
echo "${STUB_UID:-0}"
STUB
# Like the real one, sudo gives its command an environment of its own.
cat > "$work/bin/sudo" <<'STUB'
#!/bin/sh
exec env -i PATH="$PATH" $(env | grep '^STUB_') "$@"
STUB
# With no package named: the list of installed ones apt-get left.
cat > "$work/bin/dpkg-query" <<'STUB'
#!/bin/sh
for last; do :; done
case $last in
  -*) cat "$STUB_LOG.db" 2>/dev/null || true ;;
  *) echo "${STUB_STATUS:-unknown ok not-installed}" ;;
esac
STUB
cat > "$work/bin/dpkg" <<'STUB'
#!/bin/sh
echo i386
STUB
# Records each call, for install the preferences file it was given and a
# missing DEBIAN_FRONTEND. Exits with STUB_PLAIN, STUB_PINNED or STUB_UPGRADE;
# a pinned install that works installs its packages and libdep:i386.
cat > "$work/bin/apt-get" <<'STUB'
#!/bin/sh
echo "apt-get $*" >> "$STUB_LOG"
rc=${STUB_PLAIN:-0}
for arg in "$@"; do
  case "$arg" in
    Dir::Etc::Preferences=*) prefs=${arg#*=}; echo "$prefs" >> "$STUB_LOG.files"; cat "$prefs" >> "$STUB_LOG"
      rc=${STUB_PINNED:-0} ;;
    --only-upgrade) rc=${STUB_UPGRADE:-0} ;;
  esac
done
case " $* " in *" install "*) ;; *) exit 0 ;; esac
[ "${DEBIAN_FRONTEND:-}" = noninteractive ] || echo "DEBIAN_FRONTEND missing" >> "$STUB_LOG"
if [ -n "${prefs:-}" ] && [ "$rc" = 0 ]; then
  for arg in "$@" libdep:i386; do
    case "$arg" in -*|*=*|install) ;; *) echo "ii  $arg 1" >> "$STUB_LOG.db" ;; esac
  done
fi
exit "$rc"
STUB
chmod +x "$work/bin"/*

# The packages named in apt-get calls, one a line.
packages() { tr ' ' '\n' | grep -v -e '^-' -e = -e '^install$' -e '^apt-get$' | sort; }

# case: how the plain install, the pinned one and the upgrade exit, what setup
# must exit with, the installs it must make
for uid in 0 1000; do
for case in "plain 0 0 0 0 plain" "pinned 100 0 0 0 plain,pinned,upgrade" \
  "upgrade-fails 100 0 100 0 plain,pinned,upgrade" "fails 100 100 0 100 plain,pinned"; do
  read -r name plain pinned upgrade want calls <<<"$case"
  name=$name-$uid
  etc=$work/$name/etc-apt
  mkdir -p "$etc/preferences.d"
  printf 'Package: mine\nPin: origin example.org\nPin-Priority: 900\n' > "$etc/preferences"
  printf 'Package: other\nPin: version 1.*\nPin-Priority: 1001\n' > "$etc/preferences.d/local"
  printf 'Package: *\nPin: release l=Debian-Security\nPin-Priority: 100\n' \
    > "$etc/preferences.d/tavrensil-security-pin"
  cp -a "$etc" "$work/$name/before"
  rm "$work/$name/before/preferences.d/tavrensil-security-pin"
  log=$work/$name/apt.log
  PATH="$work/bin:$PATH" TAVRENSIL_APT_ETC=$etc STUB_LOG=$log STUB_UID=$uid \
    STUB_PLAIN=$plain STUB_PINNED=$pinned STUB_UPGRADE=$upgrade \
    "$root/tools/setup.sh" > "$work/$name/out" 2>&1
  got=$?
  [[ $got -eq $want ]] || fail "$name: setup exited $got, expected $want"
  diff -r "$work/$name/before" "$etc" >/dev/null ||
    fail "$name: the apt folder differs from before (only the old pin may go): $(diff -r "$work/$name/before" "$etc")"
  ! grep -q 'DEBIAN_FRONTEND missing' "$log" || fail "$name: an install did without DEBIAN_FRONTEND"
  made=$(grep '^apt-get.* install ' "$log" | sed -e 's/.*Dir::Etc::Preferences=.*/pinned/' \
    -e 's/.*--only-upgrade.*/upgrade/' -e 's/^apt-get .*/plain/' | paste -sd,)
  [[ $made == "$calls" ]] || fail "$name: the installs were ${made:-none}, expected $calls"
  if [[ $calls == *pinned* ]]; then
    grep -q '^Pin: release l=Debian-Security$' "$log" && grep -q '^Package: mine$' "$log" ||
      fail "$name: the pinned install's preferences lack the pin or the machine's own stanzas"
  fi
  installed=$({ grep Dir::Etc "$log" | packages; echo libdep:i386; } | sort)
  [[ $calls != *upgrade || $(grep -- --only-upgrade "$log" | packages) == "$installed" ]] ||
    fail "$name: the upgrade was not of what the pinned install installed"
  [[ $upgrade -eq 0 ]] || grep -q "^setup: .*not all of them at the security suite's versions" "$work/$name/out" ||
    fail "$name: setup did not say that the upgrade failed"
  touch "$log.files"
  while read -r file; do
    [[ ! -e $file ]] || fail "$name: $file is left behind"
  done < "$log.files"
  end_case "$name"
done
done

# Everything installed: no apt call at all.
etc=$work/installed/etc-apt
mkdir -p "$etc/preferences.d"
PATH="$work/bin:$PATH" TAVRENSIL_APT_ETC=$etc STUB_LOG=$work/installed.log \
  STUB_STATUS="install ok installed" "$root/tools/setup.sh" > /dev/null 2>&1 ||
  fail "installed: setup failed"
[[ ! -e $work/installed.log ]] || fail "installed: apt-get was called"
end_case installed
summary
