#!/usr/bin/env bash
# Builds a release of the client (make dist):
#
#   build/dist/TavrensilClient.exe                   the 32-bit client: Release
#                                                    build, stripped, with its
#                                                    version resource
#   build/dist/TavrensilOnline-VERSION-setup.exe     the Windows installer
#                                                    (NSIS, per user, no
#                                                    administrator rights)
#   build/dist/TavrensilOnline-VERSION-portable.zip  the client, the players'
#                                                    README and the Linux
#                                                    launcher with its menu
#                                                    entry and icon
#   build/dist/SHA256SUMS                            their SHA-256 sums
#
# The build tree and the staging folder are build/dist-work/, made afresh on
# every run (--reuse-build keeps the build tree of the last run, for tests
# that package the same tree again). Beside them, not shipped,
# build/dist-work/symbols/TavrensilClient-BUILDID.exe keeps the unstripped
# image of each release's client (debug information included; earlier
# releases' stay): tools/read-dump takes it to name the functions and lines
# in a player's crash dump. BUILDID is the build ID the linker writes into
# both files (a hash of the linked image, so reproducible too); objdump -p
# and read-dump print it. Unsigned, two runs on the same commit
# give the same bytes: the linker
# writes no time stamp (cmake/mingw-common.cmake), the type library of the
# media control stand-in, the files in the installer and the ZIP carry the
# commit's time (SOURCE_DATE_EPOCH, unless already set), and the ZIP holds
# its entries in a fixed order without extra fields.
#
#   tools/dist.sh [--out DIR] [--work DIR] [--reuse-build]
#   tools/dist.sh installer --exe EXE --out FILE [--target TARGET] [--version X.Y.Z]
#   tools/dist.sh sign [--copy COPY] FILE
#
# The second form only wraps EXE in the installer, for TARGET x86-unicode
# (default) or amd64-unicode, as version X.Y.Z (default VERSION's; the tests
# wrap a newer build as the next version); the installer test uses it around
# the 64-bit build on hosts that run only 64-bit Wine. It never signs. The third signs
# FILE in place (and copies the signed file to COPY); makensis runs it on the
# uninstaller before it goes into the installer.
#
# Authenticode signing, of the client, the installer and the uninstaller in
# it (SHA-256, with osslsigncode), when both are set:
#   TAVRENSIL_SIGN_CERT           the PEM certificate, followed by its chain
#   TAVRENSIL_SIGN_KEY            its PEM private key, without a passphrase
#   TAVRENSIL_SIGN_TIMESTAMP_URL  optional, an RFC 3161 time-stamp server
#   TAVRENSIL_SIGN_NEXT_CERT      optional, the PEM certificate of the next
#                                 signing key, which releases will sign with
# A signature carries its time, so a signed release is not reproducible; the
# signed uninstaller is kept as WORK/signed/Uninstall.exe for checking.
#
# The signer pins: the client installs an update itself only when a key it
# pins signed the installer. A signed release pins the SHA-256 of the public
# key info (DER) of TAVRENSIL_SIGN_CERT's first certificate, and of
# TAVRENSIL_SIGN_NEXT_CERT's when set (-DTAVRENSIL_SIGNER_PINS=PIN[;PIN]); an
# unsigned one pins none and never installs an update itself.
#
# Environment: TAVRENSIL_MEDIA_CONTROL_FILE embeds that control file instead
# of the stand-in (see README.md); TAVRENSIL_UPDATE_HOSTS, comma-separated
# lower-case host names from which the client may also download installers
# (-DTAVRENSIL_UPDATE_HOSTS); JOBS, the build's parallel jobs (2).
set -euo pipefail
start=$PWD
cd "$(dirname "$0")/.."
root=$PWD

die() { echo "dist: $*" >&2; exit 1; }

# An absolute path for a file named relative to the folder we started in.
from_start() { [[ $1 == /* ]] && echo "$1" || echo "$start/$1"; }

# sign_file FILE: signs FILE in place with the certificate and key of the
# environment; fails (with osslsigncode's messages, which hold no key) when
# that or the time stamp fails.
sign_file() {
  local stamp=() log
  [[ -n ${TAVRENSIL_SIGN_TIMESTAMP_URL:-} ]] && stamp=(-ts "$TAVRENSIL_SIGN_TIMESTAMP_URL")
  command -v osslsigncode >/dev/null || die "osslsigncode is missing (make setup installs it)"
  rm -f "$1.signed"
  if ! log=$(osslsigncode sign -certs "$TAVRENSIL_SIGN_CERT" -key "$TAVRENSIL_SIGN_KEY" \
               -h sha256 -n "Tavrensil Online" "${stamp[@]}" -in "$1" -out "$1.signed" 2>&1); then
    rm -f "$1.signed"
    echo "$log" >&2
    die "signing $1 failed"
  fi
  chmod --reference="$1" "$1.signed"
  mv "$1.signed" "$1"
}

# pin PEM_FILE: the SHA-256 (lower-case hex) of the DER public key info of
# the first certificate in PEM_FILE; fails when it holds none.
pin() {
  local sum
  sum=$(openssl x509 -in "$1" -noout -pubkey 2>/dev/null | openssl pkey -pubin -outform DER 2>/dev/null |
        sha256sum) || return 1
  echo "${sum%% *}"
}

# Checks the signing variables: both or neither, readable files, and a key
# that is the first certificate's. Says in one line when the release goes
# out unsigned. Sets signing=yes or no, and pins (the signer pins, ;-separated).
check_signing() {
  local cert=${TAVRENSIL_SIGN_CERT:-} key=${TAVRENSIL_SIGN_KEY:-} next=${TAVRENSIL_SIGN_NEXT_CERT:-}
  pins=""
  if [[ -z $cert && -z $key ]]; then
    [[ -z $next ]] || die "TAVRENSIL_SIGN_NEXT_CERT is set but the release is not signed: set TAVRENSIL_SIGN_CERT and TAVRENSIL_SIGN_KEY too"
    signing=no
    echo "dist: unsigned (set TAVRENSIL_SIGN_CERT and TAVRENSIL_SIGN_KEY to sign)"
    echo "dist: no signer pins: this build never installs an update itself"
    return
  fi
  [[ -n $cert ]] || die "TAVRENSIL_SIGN_KEY is set but TAVRENSIL_SIGN_CERT is not: set both to sign, or neither"
  [[ -n $key ]] || die "TAVRENSIL_SIGN_CERT is set but TAVRENSIL_SIGN_KEY is not: set both to sign, or neither"
  cert=$(from_start "$cert") key=$(from_start "$key")
  [[ -f $cert && -r $cert ]] || die "TAVRENSIL_SIGN_CERT names no readable file: $cert"
  [[ -f $key && -r $key ]] || die "TAVRENSIL_SIGN_KEY names no readable file: $key"
  command -v osslsigncode >/dev/null || die "osslsigncode is missing (make setup installs it)"
  local subject cert_public key_public
  subject=$(openssl x509 -in "$cert" -noout -subject -nameopt oneline 2>/dev/null) ||
    die "TAVRENSIL_SIGN_CERT holds no PEM certificate: $cert"
  key_public=$(openssl pkey -in "$key" -pubout -passin pass: 2>/dev/null) ||
    die "TAVRENSIL_SIGN_KEY is no PEM private key without a passphrase: $key"
  cert_public=$(openssl x509 -in "$cert" -noout -pubkey)
  [[ $cert_public == "$key_public" ]] ||
    die "TAVRENSIL_SIGN_KEY is not the key of the first certificate in TAVRENSIL_SIGN_CERT (the signing certificate comes first, then its chain)"
  export TAVRENSIL_SIGN_CERT=$cert TAVRENSIL_SIGN_KEY=$key
  signing=yes
  echo "dist: signing as ${subject#subject=}${TAVRENSIL_SIGN_TIMESTAMP_URL:+, time stamps from $TAVRENSIL_SIGN_TIMESTAMP_URL}"
  pins=$(pin "$cert") || die "cannot read the public key of TAVRENSIL_SIGN_CERT: $cert"
  local said="$pins (TAVRENSIL_SIGN_CERT)"
  if [[ -n $next ]]; then
    next=$(from_start "$next")
    [[ -f $next && -r $next ]] || die "TAVRENSIL_SIGN_NEXT_CERT names no readable file: $next"
    next=$(pin "$next") || die "TAVRENSIL_SIGN_NEXT_CERT holds no PEM certificate: $next"
    pins+=";$next"
    said+=", $next (TAVRENSIL_SIGN_NEXT_CERT)"
  fi
  echo "dist: signer pins: $said"
}

# Checks TAVRENSIL_UPDATE_HOSTS: plain lower-case host names, comma-separated.
check_update_hosts() {
  local host hosts=()
  [[ -n ${TAVRENSIL_UPDATE_HOSTS:-} ]] || return 0
  IFS=, read -r -a hosts <<<"$TAVRENSIL_UPDATE_HOSTS"
  [[ $TAVRENSIL_UPDATE_HOSTS != *, ]] || die "TAVRENSIL_UPDATE_HOSTS ends with a comma: $TAVRENSIL_UPDATE_HOSTS"
  for host in "${hosts[@]}"; do
    [[ $host =~ ^[a-z0-9]([a-z0-9-]*[a-z0-9])?(\.[a-z0-9]([a-z0-9-]*[a-z0-9])?)*$ ]] ||
      die "TAVRENSIL_UPDATE_HOSTS: '$host' is not a plain lower-case host name (letters, digits, dots, hyphens)"
  done
  echo "dist: installers may also come from ${TAVRENSIL_UPDATE_HOSTS//,/, }"
}

if [[ ${1:-} == sign ]]; then
  shift
  copy=""
  [[ ${1:-} == --copy ]] && { copy=$(from_start "$2"); shift 2; }
  [[ $# -eq 1 ]] || die "usage: tools/dist.sh sign [--copy COPY] FILE"
  file=$(from_start "$1")
  [[ -f $file ]] || die "sign: no file $file"
  [[ -n ${TAVRENSIL_SIGN_CERT:-} && -n ${TAVRENSIL_SIGN_KEY:-} ]] ||
    die "sign: set TAVRENSIL_SIGN_CERT and TAVRENSIL_SIGN_KEY"
  TAVRENSIL_SIGN_CERT=$(from_start "$TAVRENSIL_SIGN_CERT")
  TAVRENSIL_SIGN_KEY=$(from_start "$TAVRENSIL_SIGN_KEY")
  sign_file "$file"
  [[ -z $copy ]] || cp "$file" "$copy"
  exit 0
fi

# The version, written in VERSION alone; the build takes it from there too.
version_pattern='^[0-9]+\.[0-9]+\.[0-9]+$'
version=$(head -n 1 VERSION)
[[ $version =~ $version_pattern ]] || die "VERSION does not hold major.minor.patch"
build=${version##*.}  # the client's build number
name=TavrensilOnline-$version

# Everything with a time in it takes the commit's time.
if [[ -z ${SOURCE_DATE_EPOCH:-} ]]; then
  if [[ $(git rev-parse --show-toplevel 2>/dev/null) == "$root" ]] &&
     SOURCE_DATE_EPOCH=$(git log -1 --format=%ct 2>/dev/null) && [[ -n $SOURCE_DATE_EPOCH ]]; then
    if [[ -n $(git status --porcelain --untracked-files=no 2>/dev/null) ]]; then
      echo "dist: note: the tree has changes not committed; the release is not that of one commit"
    fi
  else
    SOURCE_DATE_EPOCH=315532800  # 1980-01-01, the earliest time a ZIP entry can have
    echo "dist: note: not a git checkout; the files get the time 1980-01-01"
  fi
fi
export SOURCE_DATE_EPOCH
export TZ=UTC LC_ALL=C
# widl writes its run's time into the type library unless told this one.
export WIDL_TIME_OVERRIDE=$SOURCE_DATE_EPOCH

# makensis VERSION TARGET CLIENT_EXE OUTFILE [OPTION...]: the installer
# around a client whose file time is already set; OPTIONs go to makensis.
make_installer() {
  command -v makensis >/dev/null || die "makensis is missing (package nsis; make setup installs it)"
  makensis -INPUTCHARSET UTF8 -V2 -WX \
    "-DVERSION=$1" "-DTARGET=$2" "-DCLIENT_EXE=$3" "-DICON=$root/res/app.ico" "-DOUTFILE=$4" \
    "${@:5}" "$root/dist/installer.nsi" >/dev/null || die "makensis failed"
}

if [[ ${1:-} == installer ]]; then
  shift
  exe="" out="" target=x86-unicode
  while [[ $# -gt 0 ]]; do
    case "$1" in
      --exe) exe=$2; shift 2 ;;
      --out) out=$2; shift 2 ;;
      --target) target=$2; shift 2 ;;
      --version) version=$2; shift 2 ;;
      *) die "unknown option $1" ;;
    esac
  done
  [[ -f $exe && -n $out ]] || die "usage: tools/dist.sh installer --exe EXE --out FILE [--target TARGET] [--version X.Y.Z]"
  [[ $version =~ $version_pattern ]] || die "--version $version is not major.minor.patch"
  temp=$(mktemp -d)
  trap 'rm -rf "$temp"' EXIT
  cp "$exe" "$temp/TavrensilClient.exe"
  touch -d "@$SOURCE_DATE_EPOCH" "$temp/TavrensilClient.exe"
  mkdir -p "$(dirname "$out")"
  make_installer "$version" "$target" "$temp/TavrensilClient.exe" "$(cd "$(dirname "$out")" && pwd)/$(basename "$out")"
  echo "dist: $out"
  exit 0
fi

out=build/dist
work=build/dist-work
reuse=no
while [[ $# -gt 0 ]]; do
  case "$1" in
    --out) out=$2; shift 2 ;;
    --work) work=$2; shift 2 ;;
    --reuse-build) reuse=yes; shift ;;
    *) die "unknown option $1" ;;
  esac
done
check_signing
check_update_hosts
mkdir -p "$out" "$work"
out=$(cd "$out" && pwd)
work=$(cd "$work" && pwd)
for tool in makensis zip unzip sha256sum i686-w64-mingw32-objdump i686-w64-mingw32-objcopy; do
  command -v $tool >/dev/null || die "$tool is missing (make setup installs it)"
done
# makensis has the uninstaller signed by a shell command naming both folders.
[[ $signing == no || $root$work != *[\"\'\$\`\\]* ]] ||
  die "cannot sign in a folder with a quote, \$, \` or \\ in its path: $root, $work"
[[ $reuse == yes ]] || rm -rf "$work/x86"
rm -rf "$work/stage" "$work/signed"
rm -f "$out/TavrensilClient.exe" "$out"/TavrensilOnline-*-setup.exe \
      "$out"/TavrensilOnline-*-portable.zip "$out/SHA256SUMS"

echo "dist: building $name (build $build) in $work/x86"
media=()
[[ -n ${TAVRENSIL_MEDIA_CONTROL_FILE:-} ]] &&
  media=("-DTAVRENSIL_MEDIA_CONTROL_FILE=$TAVRENSIL_MEDIA_CONTROL_FILE")
# With debug information whose paths name neither this checkout nor the
# work folder (the build ID hashes them), and linked unstripped: the strip
# comes after, so both files carry the same build ID. (The last prefix map
# given is tried first.)
debug="-g -ffile-prefix-map=$root=/src -ffile-prefix-map=$work/x86=/build"
# The pins and hosts are given even when empty, so that a reused build tree
# keeps none of an earlier run's.
cmake --preset windows -B "$work/x86" -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  "-DCMAKE_C_FLAGS_RELEASE=-O3 -DNDEBUG $debug" "-DCMAKE_CXX_FLAGS_RELEASE=-O3 -DNDEBUG $debug" \
  "-DCMAKE_EXE_LINKER_FLAGS_RELEASE=" "${media[@]}" \
  "-DTAVRENSIL_SIGNER_PINS:STRING=$pins" "-DTAVRENSIL_UPDATE_HOSTS:STRING=${TAVRENSIL_UPDATE_HOSTS:-}" >/dev/null
cmake --build "$work/x86" -j "${JOBS:-2}" --target TavrensilClient
unstripped=$work/x86/TavrensilClient.exe
client=$work/TavrensilClient.exe
# Stripped as the linker's -s would: no symbol table, and so no long
# section names (they live in its string table); objcopy writes the time
# into the header unless told a time.
SOURCE_DATE_EPOCH=0 i686-w64-mingw32-objcopy --strip-all --long-section-names disable \
  "$unstripped" "$client"
build_id() {
  i686-w64-mingw32-objdump -p "$1" | sed -n 's/.*RSDS signature \([0-9a-f]*\) age \([0-9]*\).*/\1-\2/p'
}
build_id=$(build_id "$unstripped")
[[ -n $build_id && $(build_id "$client") == "$build_id" ]] ||
  die "the client has no build ID, or the stripped one lost it"
mkdir -p "$work/symbols"
cp "$unstripped" "$work/symbols/TavrensilClient-$build_id.exe"
echo "dist: build ID $build_id; the unstripped image is $work/symbols/TavrensilClient-$build_id.exe"

# The shipped file: its resources, exports and imports, and nothing in its
# headers that would differ between two builds.
python3 tests/e2e/check_executable.py "$client" --machine i386
python3 - "$client" <<'PY' || die "the executable is not stripped or has a time stamp"
import struct, sys
data = open(sys.argv[1], "rb").read()
pe = struct.unpack_from("<I", data, 0x3C)[0]
stamp, symbols, count = struct.unpack_from("<III", data, pe + 8)
if stamp or symbols or count:
    sys.exit("TimeDateStamp %#x, symbol table at %#x with %d symbols" % (stamp, symbols, count))
PY

stage=$work/stage/$name
mkdir -p "$stage"
install -m 0755 "$client" "$stage/TavrensilClient.exe"
if [[ $signing == yes ]]; then
  echo "dist: signing the client"
  sign_file "$stage/TavrensilClient.exe"
fi
for pair in en:README.txt tr:BENIOKU.txt; do
  sed -e "s/@VERSION@/$version/g" -e "s/@BUILD@/$build/g" -e 's/$/\r/' \
    "dist/player-readme.${pair%%:*}.txt" > "$stage/${pair#*:}"
done
install -m 0755 dist/tavrensil-online.sh "$stage/tavrensil-online.sh"
install -m 0644 dist/tavrensil-online.desktop "$stage/tavrensil-online.desktop"
python3 dist/icon_png.py res/app.ico 256 "$stage/tavrensil-online.png"
chmod 0644 "$stage"/*.txt "$stage/tavrensil-online.png"
chmod 0755 "$stage"
find "$work/stage" -exec touch -h -d "@$SOURCE_DATE_EPOCH" {} +

echo "dist: installer"
if [[ $signing == yes ]]; then
  mkdir -p "$work/signed"
  make_installer "$version" x86-unicode "$stage/TavrensilClient.exe" "$out/$name-setup.exe" \
    "-DSIGN_COMMAND=\"$root/tools/dist.sh\" sign --copy \"$work/signed/Uninstall.exe\""
  [[ -f $work/signed/Uninstall.exe ]] || die "makensis did not have the uninstaller signed"
  sign_file "$out/$name-setup.exe"
else
  make_installer "$version" x86-unicode "$stage/TavrensilClient.exe" "$out/$name-setup.exe"
fi

echo "dist: portable ZIP"
(cd "$work/stage" && find "$name" -print | sort | zip -X -q -9 -@ "$out/$name-portable.zip")
unzip -tq "$out/$name-portable.zip" >/dev/null || die "the ZIP does not test clean"

cp "$stage/TavrensilClient.exe" "$out/TavrensilClient.exe"
touch -d "@$SOURCE_DATE_EPOCH" "$out/TavrensilClient.exe" "$out/$name-setup.exe" "$out/$name-portable.zip"
(cd "$out" && sha256sum TavrensilClient.exe "$name-setup.exe" "$name-portable.zip" > SHA256SUMS)

echo
echo "dist: done, in ${out#"$root"/}/:"
(cd "$out" && cat SHA256SUMS)
