#!/usr/bin/env bash
# Runs the Windows build under wine: the cross-built unit tests, then the end-to-end set, in which
# the native simulated target serves a pseudo-terminal that wine sees as COM5, and on request the
# fault soak against halvern.exe.
#
#   tests/wine/run.sh [--win-build DIR] [--host-build DIR] [--soak "SOAK ARGS"] [--soak-only]
#
# DIR defaults: build-win (cross build: halvern.exe, tests/halvern_tests.exe) and build (native
# build: tests/wine/halvern_wine_e2e and its LD_PRELOAD library, tests/soak/halvern_soak).
# --soak runs halvern_soak --wine with those arguments (e.g. "--sessions 30") after the end-to-end
# set; --soak-only runs the soak alone. The wine prefix lives in a temporary folder and goes at
# the end, after its wineserver has been stopped.
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$PWD

win_build=build-win host_build=build soak="" soak_only=0
while [ $# -gt 0 ]; do
  case "$1" in
    --win-build) win_build="$2"; shift 2 ;;
    --host-build) host_build="$2"; shift 2 ;;
    --soak) soak="$2"; shift 2 ;;
    --soak-only) soak_only=1; shift ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
win_build=$(cd "$win_build" && pwd)
host_build=$(cd "$host_build" && pwd)

wine=""
for candidate in wine64 /usr/lib/wine/wine64 wine; do
  if command -v "$candidate" >/dev/null; then wine=$(command -v "$candidate"); break; fi
done
[ -n "$wine" ] || { echo "run.sh: wine is not installed (Debian package wine64)" >&2; exit 1; }
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

[ "$soak_only" = 0 ] || [ -n "$soak" ] || soak="--sessions 30"
needed=("$win_build/halvern.exe")
[ "$soak_only" = 1 ] || needed+=("$win_build/extcap/halvern-extcap.exe" "$win_build/trace_reader/halvern-trace.exe"
                                 "$win_build/tests/halvern_tests.exe"
                                 "$host_build/tests/wine/halvern_wine_e2e")
[ -z "$soak" ] || needed+=("$host_build/tests/soak/halvern_soak")
for f in "${needed[@]}"; do
  [ -e "$f" ] || { echo "run.sh: $f is missing (scripts/ci_windows.sh builds it)" >&2; exit 1; }
done

tmp=$(mktemp -d "${TMPDIR:-/tmp}/halvern-wine.XXXXXX")
export WINEPREFIX="$tmp/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT

echo "== wine prefix $WINEPREFIX"
"$wine" wineboot -i >/dev/null 2>&1

failed=0
passed_count=0 failed_count=0 skipped_count=0
# Adds the counts of a gtest log to the totals. With --gtest_brief=1 gtest prints one line per
# failed test and, at the end, the tests that ran, passed and were skipped, but no count of
# failures: those are the tests that ran and neither passed nor were skipped. A run that ended
# before its summary (a crash) counts its failed lines, and at least one failure.
count() {
  local ran p s f
  ran=$(sed -n 's/^\[==========\] \([0-9]*\) tests\? from .* ran\..*/\1/p' "$1" | tail -1)
  p=$(sed -n 's/^\[  PASSED  \] \([0-9]*\) tests\?\..*/\1/p' "$1" | tail -1)
  s=$(sed -n 's/^\[  SKIPPED \] \([0-9]*\) tests\?[.,].*/\1/p' "$1" | tail -1)
  if [ -n "$ran" ]; then
    f=$((ran - ${p:-0} - ${s:-0}))
  else
    f=$(grep -c '^\[  FAILED  \] [^ ]*\.[^ ]* (' "$1" || true)
    [ "$f" -gt 0 ] || f=1
  fi
  passed_count=$((passed_count + ${p:-0}))
  skipped_count=$((skipped_count + ${s:-0}))
  failed_count=$((failed_count + f))
}

# 1. Unit tests, before the device keys exist (some expect no repeater to be plugged in).
if [ "$soak_only" = 0 ]; then
  filter=$(grep -v '^#' "$root/tests/wine/posix_only_tests.txt" | grep . | paste -sd: -)
  echo "== unit tests (halvern_tests.exe)"
  set +e
  "$wine" "$win_build/tests/halvern_tests.exe" --gtest_brief=1 --gtest_filter="-$filter" 2>&1 | tee "$tmp/unit.log"
  status=${PIPESTATUS[0]}
  set -e
  [ "$status" -eq 0 ] || failed=1
  grep -q '^\[  PASSED  \]' "$tmp/unit.log" || failed=1
  count "$tmp/unit.log"
fi

# 2. Two repeaters as the usbser driver lists them (tests/wine/rx5120.reg): one without a USB serial number (Windows
#    makes up the last part of its instance id) on COM5, one with the serial RX5120-0002 on COM6.
# The unit tests' wine server may be in its last seconds: a program that connects just as it
# exits fails ("recvmsg: Connection reset by peer"). Wait for it to end; regedit starts afresh.
"$wineserver" -w >/dev/null 2>&1 || true
"$wine" regedit /S "Z:${root//\//\\}\\tests\\wine\\rx5120.reg"
for instance in '5&123&0&1' RX5120-0002; do
  "$wine" reg query "HKLM\\System\\CurrentControlSet\\Enum\\USB\\VID_3F7A&PID_5120\\$instance\\Device Parameters" /v PortName |
    grep -q COM || { echo "run.sh: the device keys did not reach the registry" >&2; exit 1; }
done
"$wineserver" -k >/dev/null 2>&1 || true

# 3. End-to-end against the simulated target (each test links its terminal as COM5 and stops
#    wineserver before the terminal closes).
if [ "$soak_only" = 0 ]; then
  echo "== end-to-end set (halvern.exe under wine)"
  set +e
  HALVERN_WIN_EXE="$win_build/halvern.exe" HALVERN_WIN_TESTS_EXE="$win_build/tests/halvern_tests.exe" \
    HALVERN_WIN_EXTCAP_EXE="$win_build/extcap/halvern-extcap.exe" \
    HALVERN_WIN_TRACE_EXE="$win_build/trace_reader/halvern-trace.exe" \
    HALVERN_WINE="$wine" HALVERN_WINESERVER="$wineserver" \
    "$host_build/tests/wine/halvern_wine_e2e" --gtest_brief=${HALVERN_GTEST_BRIEF:-1} 2>&1 | tee "$tmp/e2e.log"
  status=${PIPESTATUS[0]}
  set -e
  [ "$status" -eq 0 ] || failed=1
  grep -q '^\[  PASSED  \]' "$tmp/e2e.log" || failed=1
  count "$tmp/e2e.log"
fi

# 4. The fault soak against halvern.exe: each session links its own target as COM5.
if [ -n "$soak" ]; then
  echo "== fault soak (halvern.exe under wine: halvern_soak $soak)"
  # shellcheck disable=SC2086  # the soak's arguments, split as given
  if HALVERN_WINE="$wine" HALVERN_WINESERVER="$wineserver" \
       "$host_build/tests/soak/halvern_soak" --wine --halvern "$win_build/halvern.exe" $soak; then
    passed_count=$((passed_count + 1))
  else
    failed=1 failed_count=$((failed_count + 1))
  fi
fi

if [ "$skipped_count" -gt 0 ]; then
  echo "windows: $passed_count passed, $failed_count failed, $skipped_count skipped"
else
  echo "windows: $passed_count passed, $failed_count failed"
fi
exit $failed
