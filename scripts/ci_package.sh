#!/usr/bin/env bash
# Package check: builds the .deb with cpack, unpacks it into a temporary root and checks what
# it holds, runs the unpacked halvern, and reads the pcap of an end-to-end tracer run through
# tshark with the Wireshark dissector.
#   scripts/ci_package.sh [--build-dir DIR]   (DIR: the test build, default build)
# A Release test build (scripts/test.sh's, as CI runs it) is packed as it is, so the
# package holds the programs that were tested; otherwise the programs are built in Release of
# their own in build-package.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

test_build=build
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) test_build="$2"; shift 2 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done

# tshark for the dissector, dpkg-dev and file for the package's library dependencies, man-db for
# the man page check, lintian for Debian's own check of the package.
need=()
command -v tshark >/dev/null || need+=(tshark)
command -v lintian >/dev/null || need+=(lintian)
command -v dpkg-shlibdeps >/dev/null || need+=(dpkg-dev)
command -v file >/dev/null || need+=(file)
command -v man >/dev/null || need+=(man-db)
# unshare and mount: tshark finds extcap programs only in its global folder, which the live
# capture test binds over in a private mount namespace.
command -v unshare >/dev/null || need+=(util-linux)
command -v mount >/dev/null || need+=(mount)
if [[ " ${need[*]} " == *" tshark "* ]] && { [ "$(id -u)" = 0 ] || command -v sudo >/dev/null; }; then
  # Installing wireshark-common asks whether non-root users may capture: they may not.
  sudo=""
  [ "$(id -u)" = 0 ] || sudo=sudo
  echo "wireshark-common wireshark-common/install-setuid boolean false" | $sudo debconf-set-selections
fi
install_packages "the package check's tools" "${need[@]}"

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
fail() { echo "ci_package: $*" >&2; exit 1; }

# 1. The package: from the test build when that is a Release one, else from a build of the
#    programs alone.
log="$tmp/build.log"
quiet() { "$@" >"$log" 2>&1 || { cat "$log"; fail "failed: $*"; }; }
if grep -qx 'CMAKE_BUILD_TYPE:STRING=Release' "$test_build/CMakeCache.txt" 2>/dev/null; then
  pkg_build=$test_build
else
  pkg_build=build-package
  quiet cmake -S . -B "$pkg_build" -DCMAKE_BUILD_TYPE=Release -DHALVERN_TESTS=OFF -DHALVERN_BENCH=OFF
fi
quiet cmake --build "$pkg_build" -j"$(nproc)" --target halvern halvern-trace halvern-extcap rx5120-sim halvern-docs
rm -f "$pkg_build"/halvern_*.deb
quiet cpack -G DEB --config "$pkg_build/CPackConfig.cmake" -B "$pkg_build"
deb=$(ls "$pkg_build"/halvern_*.deb)
echo "== package $deb"
dpkg-deb -I "$deb" | sed -n 's/^ \(Package\|Version\|Architecture\|Depends\|Recommends\|Suggests\):/  \1:/p'
# The least versions come from the programs' symbols (dpkg-shlibdeps when cpack runs).
dpkg-deb -f "$deb" Depends | grep -q 'libc6 (>= [0-9]' || fail "the package declares no versioned dependency on libc6"
dpkg-deb -f "$deb" Depends | grep -q 'libstdc++6 (>= [0-9]' ||
  fail "the package declares no versioned dependency on libstdc++6"
# Debian's checker: any error or warning fails (the informational tags only show with -I).
lintian_root=()
[ "$(id -u)" != 0 ] || lintian_root=(--allow-root)
lintian "${lintian_root[@]}" --fail-on error,warning "$deb" >"$tmp/lintian.out" 2>&1 ||
  { cat "$tmp/lintian.out"; fail "lintian found errors or warnings in the package"; }
echo "== lintian: no errors, no warnings"

# 2. Its contents, unpacked into a temporary root.
root="$tmp/root"
dpkg -x "$deb" "$root"
multiarch=$(dpkg-architecture -qDEB_HOST_MULTIARCH 2>/dev/null || gcc -print-multiarch)
for f in usr/bin/halvern usr/bin/halvern-trace usr/bin/rx5120-sim "usr/lib/$multiarch/wireshark/extcap/halvern-extcap"; do
  [ -x "$root/$f" ] || fail "$f is missing or not executable"
done
for f in usr/share/man/man1/halvern.1.gz usr/share/man/man1/halvern-trace.1.gz usr/share/man/man1/rx5120-sim.1.gz \
         usr/share/man/man1/halvern-extcap.1.gz \
         usr/lib/udev/rules.d/60-rx5120.rules "usr/lib/$multiarch/wireshark/plugins/halvern.lua" \
         usr/share/doc/halvern/README.md usr/share/doc/halvern/copyright usr/share/doc/halvern/changelog.gz; do
  [ -f "$root/$f" ] || fail "$f is missing"
done
extra=$(cd "$root" && find . -type f | sort | grep -v -E '^\./usr/(bin/(halvern|halvern-trace|rx5120-sim)|share/man/man1/(halvern|halvern-trace|halvern-extcap|rx5120-sim)\.1\.gz|lib/udev/rules\.d/60-rx5120\.rules|lib/[^/]+/wireshark/(plugins/halvern\.lua|extcap/halvern-extcap)|share/doc/halvern/(README\.md|copyright|changelog\.gz))$' || true)
# The compressed pages and changelog are their sources, byte for byte.
for page in halvern halvern-trace halvern-extcap rx5120-sim; do
  zcat "$root/usr/share/man/man1/$page.1.gz" | cmp -s - "man/$page.1" || fail "$page.1.gz is not man/$page.1"
done
zcat "$root/usr/share/doc/halvern/changelog.gz" | cmp -s - packaging/debian/changelog ||
  fail "changelog.gz is not packaging/debian/changelog"
[ -z "$extra" ] || fail "unexpected files in the package: $extra"
# The HTTP library built into halvern comes with its licence, as that licence asks.
grep -q '^Files: cpp-httplib$' "$root/usr/share/doc/halvern/copyright" &&
  grep -q '^ Permission is hereby granted' "$root/usr/share/doc/halvern/copyright" ||
  fail "the copyright file lacks the licence of the HTTP library built into halvern"
rule="$root/usr/lib/udev/rules.d/60-rx5120.rules"
grep -v '^#' "$rule" | grep -q 'ATTRS{idVendor}=="3f7a", ATTRS{idProduct}=="5120"' || fail "the udev rule does not match 3f7a:5120"
grep -v '^#' "$rule" | grep -q 'GROUP="dialout", MODE="0660"' || fail "the udev rule does not give the port to dialout, 0660"
grep -v '^#' "$rule" | grep -q 'SYMLINK+="rx5120"' || fail "the udev rule makes no /dev/rx5120"
for page in halvern halvern-trace halvern-extcap rx5120-sim; do
  warnings=$(LC_ALL=C.UTF-8 MANWIDTH=80 man --warnings -l "$root/usr/share/man/man1/$page.1.gz" 2>&1 >/dev/null || true)
  [ -z "$warnings" ] || fail "man page $page.1: $warnings"
done
# A .TP tag is the one line after it: a tag that opens a bracket it does not close was split
# over the paragraph's first lines (the text page shows "log [-llevel" above "N] ... Sets").
split=$(awk 'tag { t = $0; if (gsub(/\[/, "", t) != gsub(/\]/, "", t) || gsub(/\(/, "", t) != gsub(/\)/, "", t))
                     print FILENAME ":" FNR ": " $0; tag = 0 }
             /^\.TP/ { tag = 1 }' man/*.1)
[ -z "$split" ] || fail "man page tags split over lines: $split"
LC_ALL=C.UTF-8 MANWIDTH=80 man -l "$root/usr/share/man/man1/halvern.1.gz" 2>/dev/null |
  grep -qx '       log \[-llevel N\] \[-lfile FILE\]' || fail "halvern.1 does not show the tag of log on one line"
echo "== contents checked"

# 3. The unpacked programs run.
out=$("$root/usr/bin/halvern" -h) || fail "halvern -h exited with $?"
grep -q '^usage: -p \[PRODUCT NAME\] -cmd \[COMMAND\]' <<<"$out" || fail "halvern -h printed: $out"
"$root/usr/bin/halvern-trace" -h | grep -q '^usage: halvern-trace' || fail "halvern-trace -h failed"
"$root/usr/bin/rx5120-sim" "$tmp/sim" -- "$root/usr/bin/halvern" -p RX5120 -cmd version >"$tmp/version.out" ||
  fail "halvern -cmd version against the simulated target failed: $(cat "$tmp/version.out")"
grep -q '^Product: SW Version 01.02.0345' "$tmp/version.out" || fail "unexpected version output: $(cat "$tmp/version.out")"
"$root/usr/bin/rx5120-sim" "$tmp/sim" -- "$root/usr/lib/$multiarch/wireshark/extcap/halvern-extcap" \
  --extcap-interfaces --extcap-version=4.0 >"$tmp/interfaces.out" || fail "halvern-extcap --extcap-interfaces failed"
grep -q '^interface {value=halvern-1}' "$tmp/interfaces.out" || fail "halvern-extcap listed: $(cat "$tmp/interfaces.out")"
echo "== unpacked halvern -h and version run, halvern-extcap lists the simulated repeater"

# 4. The dissector on the pcap of an end-to-end tracer run against the simulated target.
quiet cmake -S . -B "$test_build"
quiet cmake --build "$test_build" -j"$(nproc)" --target halvern_tests halvern halvern-trace rx5120-sim
HALVERN_TRACE_PCAP_OUT="$tmp/tracer.pcap" "$test_build/tests/halvern_tests" \
  --gtest_filter='TraceReaderE2eTest.TracerRunReadsBackEventForEvent' >"$tmp/e2e.out" ||
  { cat "$tmp/e2e.out"; fail "the end-to-end tracer run failed"; }
[ -s "$tmp/tracer.pcap" ] || fail "the tracer run wrote no pcap"
fields="$tmp/fields.txt"
tshark -X lua_script:"$root/usr/lib/$multiarch/wireshark/plugins/halvern.lua" -r "$tmp/tracer.pcap" \
  -T fields -E separator=' ' -e frame.number -e halvern.kind -e halvern.dst -e halvern.src -e halvern.mid \
  -e halvern.mid_name -e halvern.len >"$fields" 2>"$tmp/tshark.err" || { cat "$tmp/tshark.err"; fail "tshark failed"; }
expected="1 first 2 1 83 MID_IWU_CC_SETUP 3
2 first 2 1 83 MID_IWU_CC_SETUP 8
3 second 2 1 83 MID_IWU_CC_SETUP 4
4 first 7 8 9 MID_IWU_LLME_U_CON_TONE 8
5 second 7 8 9 MID_IWU_LLME_U_CON_TONE 4
6 first 4 5 101 MID_LLME_FRAME_TRACE 10
7 first 1 2 3 MID_TIMER_ALERT 0
8 first 3 4 200 Unknown 256
9 second 3 4 200 Unknown 19"
if [ "$(cat "$fields")" != "$expected" ]; then
  echo "tshark showed:"; cat "$fields"; echo "expected:"; echo "$expected"
  fail "the dissector did not show the expected messages"
fi
data=$(tshark -X lua_script:"$root/usr/lib/$multiarch/wireshark/plugins/halvern.lua" -r "$tmp/tracer.pcap" \
  -Y 'frame.number == 3' -T fields -e halvern.data 2>/dev/null)
[ "$data" = "08 04 01 02" ] || fail "the dissector showed the data of record 3 as '$data'"
echo "== tshark shows the traced messages with their names"

# 5. Live capture: tshark runs halvern-extcap against the simulated target (root only: the test
#    binds the extcap folder over Wireshark's global one in a private mount namespace).
if [ "$(id -u)" = 0 ] && unshare -m true 2>/dev/null; then
  quiet cmake --build "$test_build" -j"$(nproc)" --target halvern-extcap
  HALVERN_REQUIRE_TSHARK=1 "$test_build/tests/halvern_tests" --gtest_filter='ExtcapTsharkTest.*' >"$tmp/live.out" 2>&1 ||
    { cat "$tmp/live.out"; fail "the live capture through tshark failed"; }
  echo "== tshark captures live through halvern-extcap"
else
  echo "== live capture through tshark skipped (needs root and a private mount namespace)"
fi
echo "ci_package: all checks passed"
