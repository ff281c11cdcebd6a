#!/usr/bin/env bash
# Tests the release's Authenticode signing (tools/dist.sh with
# TAVRENSIL_SIGN_CERT, TAVRENSIL_SIGN_KEY and TAVRENSIL_SIGN_TIMESTAMP_URL).
# Makes a throw-away certificate authority in a temporary folder, with a
# code-signing certificate and a time-stamp authority, serves RFC 3161 time
# stamps on 127.0.0.1 (openssl ts behind a small HTTP server), builds the
# release signed, and checks with osslsigncode verify against that authority
# that the client, the installer and the uninstaller the installer carries
# (the copy tools/dist.sh keeps as WORK/signed/Uninstall.exe) are signed with
# SHA-256 and time-stamped; that the ZIP holds the signed client and
# SHA256SUMS the signed files' sums; that the output shows no key; that the
# release's build pins the signer's key and the next one's
# (TAVRENSIL_SIGN_NEXT_CERT); that a half setting and a key not the
# certificate's stop before the build; and that a time-stamp server that
# does not answer fails the signing.
#
#   signing_test.sh [WORK]
#
# WORK is a work folder of tools/dist.sh whose build tree is reused, so that
# only the packaging runs again (make check passes build/dist-work, just
# built from the same tree); default build/dist-signing/work, built the first
# time. The signed release goes to build/dist-signing/out. Prints one line
# per case; exits 1 when one failed.
set -uo pipefail
cd "$(dirname "$0")/../.."
root=$PWD
work=${1:-build/dist-signing/work}
out=build/dist-signing/out
for tool in openssl osslsigncode python3 unzip; do
  command -v $tool >/dev/null || { echo "signing: $tool is missing (make setup installs it)" >&2; exit 1; }
done

temp=$(mktemp -d)
server=""
trap '[[ -n $server ]] && kill "$server" 2>/dev/null; rm -rf "$temp"' EXIT
. tests/report.sh  # the working directory is the tree's top (above)

# ---- the throw-away authority -------------------------------------------------
# issue NAME SUBJECT EXTENDED_KEY_USAGE: NAME.key and NAME.pem, signed by ca.
issue() {
  openssl req -new -newkey rsa:2048 -nodes -keyout "$temp/$1.key" -out "$temp/$1.csr" \
    -subj "/CN=$2" 2>/dev/null &&
  printf 'basicConstraints=CA:FALSE\nkeyUsage=critical,digitalSignature\nextendedKeyUsage=%s\n' "$3" \
    > "$temp/$1.ext" &&
  openssl x509 -req -in "$temp/$1.csr" -CA "$temp/ca.pem" -CAkey "$temp/ca.key" -set_serial "0x$(openssl rand -hex 8)" \
    -days 2 -extfile "$temp/$1.ext" -out "$temp/$1.pem" 2>/dev/null
}
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$temp/ca.key" -out "$temp/ca.pem" -days 2 \
  -subj "/CN=Tavrensil test authority" -addext basicConstraints=critical,CA:TRUE \
  -addext keyUsage=critical,keyCertSign 2>/dev/null &&
issue signer "Tavrensil test signer" codeSigning &&
issue tsa "Tavrensil test time stamps" critical,timeStamping &&
issue other "Tavrensil other signer" codeSigning || { echo "signing: openssl could not make the certificates" >&2; exit 1; }
cat "$temp/signer.pem" "$temp/ca.pem" > "$temp/chain.pem"

# The time-stamp server: answers each POSTed query with openssl ts -reply.
cat > "$temp/tsa.cnf" <<EOF
[ tsa ]
default_tsa = test
[ test ]
serial = $temp/tsa.serial
default_policy = 1.3.6.1.4.1.4146.2.3
digests = sha256
signer_digest = sha256
ess_cert_id_alg = sha256
EOF
cat > "$temp/tsa.py" <<'EOF'
import http.server, subprocess, sys
folder = sys.argv[1]
class TimeStamps(http.server.BaseHTTPRequestHandler):
    def do_POST(self):
        size = int(self.headers.get("Content-Length") or 0)
        query = self.rfile.read(min(size, 65536))
        reply = subprocess.run(
            ["openssl", "ts", "-reply", "-config", folder + "/tsa.cnf", "-queryfile", "/dev/stdin",
             "-signer", folder + "/tsa.pem", "-inkey", folder + "/tsa.key",
             "-chain", folder + "/ca.pem", "-out", "/dev/stdout"],
            input=query, capture_output=True, timeout=20).stdout
        self.send_response(200 if reply else 500)
        self.send_header("Content-Type", "application/timestamp-reply")
        self.send_header("Content-Length", str(len(reply)))
        self.end_headers()
        self.wfile.write(reply)
    def log_message(self, *args):
        pass
httpd = http.server.HTTPServer(("127.0.0.1", 0), TimeStamps)
print(httpd.server_port, flush=True)
httpd.serve_forever()
EOF
python3 "$temp/tsa.py" "$temp" > "$temp/tsa.port" 2>"$temp/tsa.log" &
server=$!
for _ in $(seq 50); do [[ -s $temp/tsa.port ]] && break; sleep 0.1; done
[[ -s $temp/tsa.port ]] || { echo "signing: the time-stamp server did not start" >&2; exit 1; }
stamps=http://127.0.0.1:$(cat "$temp/tsa.port")/

# dist VARIABLES...: tools/dist.sh with only these signing variables, into
# $out, reusing $work's build tree; sets code and log.
dist() {
  log=$(env -u TAVRENSIL_SIGN_CERT -u TAVRENSIL_SIGN_KEY -u TAVRENSIL_SIGN_TIMESTAMP_URL \
          -u TAVRENSIL_SIGN_NEXT_CERT "$@" \
        tools/dist.sh --work "$work" --out "$out" --reuse-build 2>&1)
  code=$?
}

# ---- settings refused before the build ----------------------------------------
case="only the certificate set"
dist TAVRENSIL_SIGN_CERT="$temp/chain.pem"
if [[ $code -ne 0 ]] && grep -q "TAVRENSIL_SIGN_KEY is not" <<<"$log" && ! grep -q "building" <<<"$log"; then
  ok "$case"
else
  bad "$case" "exit code $code: $log"
fi

case="a key that is not the certificate's"
dist TAVRENSIL_SIGN_CERT="$temp/chain.pem" TAVRENSIL_SIGN_KEY="$temp/other.key"
if [[ $code -ne 0 ]] && grep -q "not the key of the first certificate" <<<"$log" && ! grep -q "building" <<<"$log"; then
  ok "$case"
else
  bad "$case" "exit code $code: $log"
fi

# ---- a signed release ------------------------------------------------------------
echo "signing: building the signed release in $out (build tree $work/x86)"
dist TAVRENSIL_SIGN_CERT="$temp/chain.pem" TAVRENSIL_SIGN_KEY="$temp/signer.key" TAVRENSIL_SIGN_TIMESTAMP_URL="$stamps" \
  TAVRENSIL_SIGN_NEXT_CERT="$temp/other.pem"
if [[ $code -ne 0 ]]; then
  echo "$log"
  bad "signed release" "tools/dist.sh failed (exit code $code)"
  summary
  exit 1
fi
setup=$(cd "$out" && echo TavrensilOnline-*-setup.exe)
zip=$(cd "$out" && echo TavrensilOnline-*-portable.zip)

for file in "$out/TavrensilClient.exe" "$out/$setup" "$work/signed/Uninstall.exe"; do
  case="signed and time-stamped: ${file#"$root"/}"
  if ! report=$(osslsigncode verify -CAfile "$temp/ca.pem" -TSA-CAfile "$temp/ca.pem" -in "$file" 2>&1); then
    bad "$case" "$report"
  elif ! grep -q "^Message digest algorithm  : SHA256" <<<"$report" ||
       ! grep -q "Subject: /CN=Tavrensil test signer" <<<"$report" ||
       ! grep -q "^Timestamp Server Signature verification: ok" <<<"$report"; then
    bad "$case" "$report"
  else
    ok "$case"
  fi
done

case="the ZIP holds the signed client, executable"
entry=${zip%-portable.zip}/TavrensilClient.exe
if ! unzip -p "$out/$zip" "$entry" | cmp -s - "$out/TavrensilClient.exe"; then
  bad "$case" "its TavrensilClient.exe is not $out/TavrensilClient.exe"
elif [[ $(zipinfo "$out/$zip" "$entry" | cut -c1-10) != -rwxr-xr-x ]]; then
  bad "$case" "$(zipinfo "$out/$zip" "$entry")"
else
  ok "$case"
fi

case="SHA256SUMS of the signed files"
if sums=$(cd "$out" && sha256sum -c SHA256SUMS 2>&1) && [[ $(grep -c ": OK$" <<<"$sums") -eq 3 ]]; then
  ok "$case"
else
  bad "$case" "$sums"
fi

case="the build pins the signer's key, then the next one's"
key_pin() { openssl pkey -in "$1" -pubout -outform DER | sha256sum | cut -d' ' -f1; }
want="$(key_pin "$temp/signer.key");$(key_pin "$temp/other.key")"
got=$(sed -n 's/^TAVRENSIL_SIGNER_PINS:[A-Z]*=//p' "$work/x86/CMakeCache.txt")
[[ $got == "$want" ]] && ok "$case" || bad "$case" "TAVRENSIL_SIGNER_PINS is '$got', expected '$want'"

case="no key in the output"
if grep -q "PRIVATE KEY" <<<"$log" || grep -qF "$(sed -n 2p "$temp/signer.key")" <<<"$log"; then
  bad "$case" "$log"
else
  ok "$case"
fi

# ---- a time stamp that cannot be had -----------------------------------------------
case="a time-stamp server that does not answer fails the signing"
cp "$work/x86/TavrensilClient.exe" "$temp/unsigned.exe"
cp "$temp/unsigned.exe" "$temp/before.exe"
kill "$server" && wait "$server" 2>/dev/null
server=""
log=$(TAVRENSIL_SIGN_CERT="$temp/chain.pem" TAVRENSIL_SIGN_KEY="$temp/signer.key" \
      TAVRENSIL_SIGN_TIMESTAMP_URL="$stamps" timeout 60 tools/dist.sh sign "$temp/unsigned.exe" 2>&1)
code=$?
if [[ $code -ne 0 ]] && cmp -s "$temp/unsigned.exe" "$temp/before.exe" && [[ ! -e $temp/unsigned.exe.signed ]]; then
  ok "$case"
else
  bad "$case" "exit code $code: $log"
fi

summary
