#!/usr/bin/env bash
# Installs what building and testing the client needs on Debian 12: the
# mingw-w64 toolchains (i686 and x86_64) and widl, Wine, a virtual X display,
# GoogleTest sources, Google Benchmark and clang with its sanitizer and fuzzer
# runtimes, and Chromium (headless) for the browser check of the reference web
# site, and NSIS, zip, unzip and osslsigncode (Authenticode signing) for the
# release (make dist). Safe to run again: it only installs what is missing
# and says what.
# Both halves of Wine are installed: the 32-bit one runs the shipped client,
# the 64-bit one runs the 64-bit test build on kernels that refuse 32-bit code.
# What stays changed on the machine: the i386 architecture in dpkg (for
# wine32) and the packages; README.md says how to undo both.
set -euo pipefail

packages=(
  make cmake g++ python3 openssl
  g++-mingw-w64-i686 g++-mingw-w64-x86-64 mingw-w64-tools
  wine wine64 wine32:i386
  xvfb xdotool x11-utils imagemagick
  googletest libbenchmark-dev
  clang libclang-rt-14-dev
  nsis zip unzip osslsigncode
  chromium
)

# Where apt keeps its settings (the tests give a temporary folder).
apt_etc=${TAVRENSIL_APT_ETC:-/etc/apt}

if [[ $(id -u) -ne 0 ]]; then
  SUDO=sudo
else
  SUDO=
fi

# Earlier versions of this script left the pin described below in place for
# good, so every later upgrade took security fixes only at the next point
# release.
old_pin=$apt_etc/preferences.d/tavrensil-security-pin
if [[ -e $old_pin ]]; then
  echo "setup: removing $old_pin, left behind by an earlier setup"
  $SUDO rm -f "$old_pin"
fi

missing=()
for p in "${packages[@]}"; do
  status=$(dpkg-query -W -f='${Status}' "$p" 2>/dev/null || true)
  [[ "$status" == "install ok installed" ]] || missing+=("$p")
done

if [[ ${#missing[@]} -eq 0 ]]; then
  echo "setup: everything is installed"
  exit 0
fi

echo "setup: installing ${missing[*]}"

if ! dpkg --print-foreign-architectures | grep -qx i386; then
  echo "setup: enabling the i386 architecture (for wine32)"
  $SUDO dpkg --add-architecture i386
fi

# apt-get without questions. sudo starts its command in an environment of
# its own, so the setting goes in through env, after sudo.
apt_get() { $SUDO env DEBIAN_FRONTEND=noninteractive apt-get "$@"; }
install=(install -y -q --no-install-recommends)

# Each installed package with its version, one a line.
installed() {
  dpkg-query -W -f='${db:Status-Abbrev} ${binary:Package} ${Version}\n' |
    awk '$1 == "ii" { print $2, $3 }' | sort
}

# A failed index (see below) must not stop the install: apt-get update exits
# non-zero for it, yet the other indexes are usable.
apt_get update -q || echo "setup: some package indexes failed to download; going on"
if apt_get "${install[@]}" "${missing[@]}"; then
  echo "setup: done"
  exit 0
fi

# The i386 index of the security suite is sometimes half-synced and fails to
# download. apt then cannot keep the amd64 and i386 copies of multi-arch
# libraries at one version and refuses wine32. Ranking the security suite
# below the main suite keeps both architectures on the same versions. The
# ranking is for this install only: apt reads it from a temporary file named
# on its command line in place of the main preferences file (whose stanzas
# the temporary file repeats), and the file goes when this script ends.
echo "setup: the install failed; trying again with Debian's security suite ranked below the main suite"
prefs=$(mktemp)
trap 'rm -f "$prefs"' EXIT
{
  if [[ -r $apt_etc/preferences ]]; then
    cat "$apt_etc/preferences"
    echo
  fi
  cat <<'PIN'
Package: *
Pin: release l=Debian-Security
Pin-Priority: 100
PIN
} > "$prefs"
chmod 0644 "$prefs"
before=$(installed)
apt_get -o "Dir::Etc::Preferences=$prefs" "${install[@]}" "${missing[@]}"

# What that install added or changed, dependencies included, came at the
# main suite's versions; an upgrade without the ranking brings it up to the
# security suite's (--only-upgrade adds nothing, and leaves dependencies
# marked as automatic). If the index is still half-synced apt may refuse
# that; setup then says so and ends well all the same: the tools work, and
# a mirror's state is no reason to stop a build. It says what to run, since
# its next run finds everything installed and stops before apt.
mapfile -t changed < <(comm -13 <(echo "$before") <(installed) | cut -d' ' -f1)
if ! apt_get "${install[@]}" --only-upgrade "${changed[@]}"; then
  echo "setup: the packages are installed, but not all of them at the security suite's versions" \
    "(its i386 index may be half-synced); run 'sudo apt-get upgrade' later to bring them up"
fi
echo "setup: done"
