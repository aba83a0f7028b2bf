#!/usr/bin/env bash
# The documents of the Windows packages (the .zip and the MSI carry the same): the README and the
# man pages as plain ASCII text with CR LF line ends (no overstrike, no escape sequences), for
# Notepad.
#   packaging/windows_docs.sh OUTDIR     (writes README.txt, halvern.txt, halvern-trace.txt,
#                                         halvern-extcap.txt, cpp-httplib-LICENSE.txt)
# HALVERN_HTTPLIB_DIR: where the HTTP library built into halvern.exe was fetched (its LICENSE goes
# along, as its licence asks); the build's default when unset.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 OUTDIR" >&2; exit 2; }
out=$1
source_dir=$(cd "$(dirname "$0")/.." && pwd)
command -v groff >/dev/null || { echo "windows_docs: groff is missing (Debian package groff-base)" >&2; exit 1; }
mkdir -p "$out"
sed 's/\r*$/\r/' "$source_dir/README.md" >"$out/README.txt"
httplib_dir=${HALVERN_HTTPLIB_DIR:-$HOME/.cache/halvern/cpp-httplib-0.11}
[ -f "$httplib_dir/LICENSE" ] || { echo "windows_docs: no $httplib_dir/LICENSE (scripts/fetch_httplib.sh)" >&2; exit 1; }
sed 's/\r*$/\r/' "$httplib_dir/LICENSE" >"$out/cpp-httplib-LICENSE.txt"
log=$(mktemp)
trap 'rm -f "$log"' EXIT
for page in halvern halvern-trace halvern-extcap; do
  GROFF_NO_SGR=1 groff -t -man -Tascii -P-c -P-b -P-o -P-u "$source_dir/man/$page.1" 2>"$log" |
    sed 's/$/\r/' >"$out/$page.txt"
  [ ! -s "$log" ] || { cat "$log" >&2; exit 1; }
done
