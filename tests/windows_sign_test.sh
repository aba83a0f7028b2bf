#!/usr/bin/env bash
# packaging/windows/sign.sh with throwaway certificates: a signed program verifies against the
# certificate; a wrong password, a wrong CA, an unreachable time-stamp server or a missing
# certificate fail the step and leave the file as it was; a strip after signing breaks the
# signature (why the shipped copies are signed after their strip).
#   tests/windows_sign_test.sh [PROGRAM.exe]
# Without a program, a small one is compiled with mingw-w64. Exits 77 (skipped) when osslsigncode,
# openssl or a program to sign is missing.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
sign="$here/../packaging/windows/sign.sh"
for tool in osslsigncode openssl; do
  command -v "$tool" >/dev/null || { echo "windows_sign_test: no $tool: skipped"; exit 77; }
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

program=${1:-}
if [ -z "$program" ]; then
  command -v x86_64-w64-mingw32-gcc >/dev/null || { echo "windows_sign_test: no mingw-w64: skipped"; exit 77; }
  echo 'int main(void) { return 0; }' >"$work/p.c"
  x86_64-w64-mingw32-gcc -s -o "$work/p.exe" "$work/p.c" || exit 1
  program="$work/p.exe"
fi

# Two throwaway code-signing certificates: "ours" in a .pfx under a password, "other" as a CA
# that did not issue it; and ours again in a .pfx without a password.
cert() {
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/$1.key" -out "$work/$1.pem" -days 2 \
    -subj "/CN=halvern test $1" -addext extendedKeyUsage=codeSigning 2>/dev/null
}
cert ours && cert other || exit 1
echo 'a password' >"$work/pw"
echo 'not the password' >"$work/wrong"
openssl pkcs12 -export -inkey "$work/ours.key" -in "$work/ours.pem" -passout "file:$work/pw" \
  -out "$work/ours.pfx" || exit 1
openssl pkcs12 -export -inkey "$work/ours.key" -in "$work/ours.pem" -passout pass: \
  -out "$work/open.pfx" || exit 1

passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { echo "FAILED: $*" >&2; failed=$((failed + 1)); }
verifies() { osslsigncode verify -CAfile "$work/ours.pem" -in "$1" >/dev/null 2>&1; }

# expect_signed NAME ENV...: sign.sh succeeds under ENV, the file verifies and keeps its mode.
expect_signed() {
  local name=$1 out
  shift
  cp "$program" "$work/f.exe"
  chmod 751 "$work/f.exe"
  if ! out=$(env "$@" bash "$sign" "$work/f.exe" 2>&1); then bad "$name: refused: $out"; return; fi
  verifies "$work/f.exe" || { bad "$name: no valid signature"; return; }
  [ "$(stat -c %a "$work/f.exe")" = 751 ] || { bad "$name: mode changed"; return; }
  ok
}

# expect_refused NAME TEXT ENV...: sign.sh fails, says TEXT, and the file is unchanged.
expect_refused() {
  local name=$1 text=$2 out
  shift 2
  cp "$program" "$work/f.exe"
  if out=$(env "$@" bash "$sign" "$work/f.exe" 2>&1); then bad "$name: signed"; return; fi
  [[ "$out" == *"$text"* ]] || { bad "$name: said: $out"; return; }
  cmp -s "$program" "$work/f.exe" || { bad "$name: the file changed"; return; }
  ok
}

pfx="HALVERN_SIGN_PFX=$work/ours.pfx"
expect_signed "pfx with password" "$pfx" "HALVERN_SIGN_PASSWORD_FILE=$work/pw"
expect_signed "own certificate as CA" "$pfx" "HALVERN_SIGN_PASSWORD_FILE=$work/pw" "HALVERN_SIGN_CA=$work/ours.pem"
expect_signed "pfx without password" "HALVERN_SIGN_PFX=$work/open.pfx"

expect_refused "wrong password" "cannot read the certificate" "$pfx" "HALVERN_SIGN_PASSWORD_FILE=$work/wrong"
expect_refused "wrong password, CA given" "signing $work/f.exe failed" "$pfx" \
  "HALVERN_SIGN_PASSWORD_FILE=$work/wrong" "HALVERN_SIGN_CA=$work/ours.pem"
expect_refused "another CA" "does not verify" "$pfx" "HALVERN_SIGN_PASSWORD_FILE=$work/pw" \
  "HALVERN_SIGN_CA=$work/other.pem"
expect_refused "time-stamp server unreachable" "signing $work/f.exe failed" "$pfx" \
  "HALVERN_SIGN_PASSWORD_FILE=$work/pw" "HALVERN_SIGN_TIMESTAMP_URL=http://127.0.0.1:9/"
expect_refused "no certificate file" "$work/none.pfx is missing" "HALVERN_SIGN_PFX=$work/none.pfx"
expect_refused "no password file" "$work/none is missing" "$pfx" "HALVERN_SIGN_PASSWORD_FILE=$work/none"

# A program stripped after it was signed carries no valid signature: the order matters.
if command -v x86_64-w64-mingw32-strip >/dev/null; then
  cp "$program" "$work/f.exe"
  if ! env "$pfx" "HALVERN_SIGN_PASSWORD_FILE=$work/pw" bash "$sign" "$work/f.exe" >/dev/null 2>&1 ||
     ! x86_64-w64-mingw32-strip "$work/f.exe"; then
    bad "strip after signing: could not sign and strip"
  elif verifies "$work/f.exe"; then
    bad "strip after signing: still valid"
  else
    ok
  fi
fi

echo "windows_sign_test: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
