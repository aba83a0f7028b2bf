#!/usr/bin/env bash
# Fetches the single-header HTTP library the station's page is served with, from the Debian
# source package (with Debian's own patches applied), into DIR when it is not there yet:
#   scripts/fetch_httplib.sh DIR      -> DIR/httplib.h and DIR/LICENSE
# apt-get source needs a deb-src entry: this fetch brings its own, read into lists of its own, so
# the machine's package sources stay as they are. Needs dpkg-dev (dpkg-source unpacks the
# package) and network access to the Debian archive.
set -euo pipefail
[ $# -eq 1 ] || { echo "usage: $0 DIR" >&2; exit 2; }
dir=$1
[ -f "$dir/httplib.h" ] && [ -f "$dir/LICENSE" ] && exit 0
command -v dpkg-source >/dev/null ||
  { echo "fetch_httplib: dpkg-source is missing (Debian package dpkg-dev)" >&2; exit 1; }

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/parts" "$work/lists/partial" "$work/cache/archives/partial"
keyring=/usr/share/keyrings/debian-archive-keyring.gpg
cat >"$work/parts/halvern-src.sources" <<SOURCES
Types: deb-src
URIs: http://deb.debian.org/debian
Suites: bookworm bookworm-updates
Components: main
Signed-By: $keyring

Types: deb-src
URIs: http://deb.debian.org/debian-security
Suites: bookworm-security
Components: main
Signed-By: $keyring
SOURCES
apt=(apt-get -qq -o Dir::Etc::SourceList=/dev/null -o "Dir::Etc::SourceParts=$work/parts"
     -o "Dir::State::Lists=$work/lists" -o "Dir::Cache=$work/cache" -o APT::Sandbox::User=root)
log="$work/log"
if ! { "${apt[@]}" update && (cd "$work" && "${apt[@]}" source cpp-httplib); } >"$log" 2>&1; then
  cat "$log" >&2
  echo "fetch_httplib: could not fetch the source package cpp-httplib" >&2
  exit 1
fi
src=$(ls -d "$work"/cpp-httplib-*/)
version=$(sed -n 's/^#define CPPHTTPLIB_VERSION "\(.*\)"/\1/p' "$src/httplib.h")
case "$version" in
  0.11.*) ;;
  *) echo "fetch_httplib: the source package holds version '$version', not 0.11" >&2; exit 1 ;;
esac
mkdir -p "$dir"
cp "$src/LICENSE" "$dir/LICENSE.tmp" && mv "$dir/LICENSE.tmp" "$dir/LICENSE"
cp "$src/httplib.h" "$dir/httplib.h.tmp" && mv "$dir/httplib.h.tmp" "$dir/httplib.h"
echo "fetch_httplib: cpp-httplib $version in $dir"
