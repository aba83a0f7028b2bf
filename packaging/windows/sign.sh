#!/usr/bin/env bash
# Signs Windows programs and installers in place with Authenticode (osslsigncode) and checks each
# signature at once: a file that does not verify fails the build instead of being shipped.
#   packaging/windows/sign.sh FILE...
# Run after the last change to a file (after strip, before it is packed): a later change breaks
# the signature. Settings come from the environment (the cross build's HALVERN_SIGN_* options):
#   HALVERN_SIGN_PFX            the code-signing certificate with its key and chain (.pfx, PKCS#12)
#   HALVERN_SIGN_PASSWORD_FILE  a file holding the .pfx's password (none: the .pfx has none)
#   HALVERN_SIGN_CA             the CA certificates (PEM) the signatures are checked against
#                               (none: the .pfx's own certificate, which fits a self-signed one)
#   HALVERN_SIGN_TIMESTAMP_URL  an RFC 3161 time-stamp server (none: no time stamp)
set -euo pipefail
[ $# -gt 0 ] || { echo "usage: $0 FILE..." >&2; exit 2; }
: "${HALVERN_SIGN_PFX:?sign: HALVERN_SIGN_PFX names no certificate}"
for tool in osslsigncode openssl; do
  command -v "$tool" >/dev/null ||
    { echo "sign: $tool is missing (Debian packages osslsigncode, openssl)" >&2; exit 1; }
done
[ -f "$HALVERN_SIGN_PFX" ] || { echo "sign: $HALVERN_SIGN_PFX is missing" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The password goes by file only: never on a command line, where other users see it.
pass_file=${HALVERN_SIGN_PASSWORD_FILE:-}
openssl_pass=(-passin pass:) sign_pass=(-pass "")
if [ -n "$pass_file" ]; then
  [ -f "$pass_file" ] || { echo "sign: $pass_file is missing" >&2; exit 1; }
  openssl_pass=(-passin "file:$pass_file") sign_pass=(-readpass "$pass_file")
fi

ca=${HALVERN_SIGN_CA:-}
if [ -z "$ca" ]; then
  ca="$work/ca.pem"
  openssl pkcs12 -in "$HALVERN_SIGN_PFX" "${openssl_pass[@]}" -nokeys -clcerts -out "$ca" 2>"$work/log" ||
    { echo "sign: cannot read the certificate of $HALVERN_SIGN_PFX:" >&2; cat "$work/log" >&2; exit 1; }
fi

stamp=()
[ -z "${HALVERN_SIGN_TIMESTAMP_URL:-}" ] || stamp=(-ts "$HALVERN_SIGN_TIMESTAMP_URL")

for file in "$@"; do
  [ -f "$file" ] || { echo "sign: $file is missing" >&2; exit 1; }
  signed="$work/$(basename "$file")"
  rm -f "$signed"
  if ! osslsigncode sign -pkcs12 "$HALVERN_SIGN_PFX" "${sign_pass[@]}" -h sha256 \
         -n halvern "${stamp[@]}" -in "$file" -out "$signed" >"$work/log" 2>&1; then
    echo "sign: signing $file failed:" >&2; cat "$work/log" >&2; exit 1
  fi
  if ! osslsigncode verify -CAfile "$ca" -in "$signed" >"$work/log" 2>&1; then
    echo "sign: the signature of $file does not verify:" >&2; cat "$work/log" >&2; exit 1
  fi
  # In place, keeping the mode: the file is replaced only by a checked signed copy.
  cat "$signed" >"$file"
  echo "signed $file"
done
