#!/usr/bin/env bash
# Static analysis of halvern's own code: clang-tidy (the checks of .clang-tidy) and cppcheck (the
# checks named below, .cppcheck-suppressions) over app/ station/ session/ cmbs/ serial/ update/ params/
# tracer/ trace_reader/ extcap/ platform/. The *_win32.cpp files need the Windows headers and are
# not analysed; sim/ and tests/ are test support. Prints one line per tool and fails on any finding.
#   scripts/static_analysis.sh [--build-dir DIR]   (DIR: its own build tree, default build-tidy-analysis)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

build=build-tidy-analysis
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build="$2"; shift 2 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done

need=()
command -v clang-tidy >/dev/null || need+=(clang-tidy)
command -v run-clang-tidy >/dev/null || need+=(clang-tidy)
command -v cppcheck >/dev/null || need+=(cppcheck)
command -v python3 >/dev/null || need+=(python3)
install_packages "the static analysers" $(printf '%s\n' "${need[@]}" | sort -u)

folders=(app station session cmbs serial update params tracer trace_reader extcap platform)
jobs=$(nproc)

# The compile database: configuring is enough, nothing is built.
echo "== configuring $build"
cmake -S . -B "$build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON -DHALVERN_TESTS=OFF -DHALVERN_BENCH=OFF >/dev/null

status=0
folder_re=$(IFS='|'; echo "${folders[*]}")

echo "== clang-tidy"
tidy_log="$build/clang-tidy.log"
tidy_start=$SECONDS
tidy_rc=0
# run-clang-tidy asks for colours: they are taken out of the log.
run-clang-tidy -quiet -j "$jobs" -p "$build" "$PWD/($folder_re)/[^/]+\.cpp\$" 2>&1 |
  sed 's/\x1b\[[0-9;]*m//g' >"$tidy_log" || tidy_rc=$?
# A header's finding shows once for every file that includes it: count each place once.
tidy_findings=$(grep -E '^/[^ ]+:[0-9]+:[0-9]+: (warning|error):' "$tidy_log" | sort -u || true)
tidy_count=$(grep -c . <<<"$tidy_findings" || true)
tidy_files=$(grep -c '^clang-tidy.*-p=' "$tidy_log" || true)
if [ "$tidy_count" -gt 0 ] || [ "$tidy_rc" -ne 0 ]; then
  [ "$tidy_count" -gt 0 ] && echo "$tidy_findings" || tail -n 40 "$tidy_log"
  status=1
fi
echo "clang-tidy: $tidy_count findings in $tidy_files files ($((SECONDS - tidy_start)) s)"

echo "== cppcheck"
cppcheck_log="$build/cppcheck.log"
cppcheck_start=$SECONDS
cppcheck_rc=0
find "${folders[@]}" -name '*.cpp' ! -name '*_win32.cpp' | sort >"$build/cppcheck-files.txt"
cppcheck --quiet --language=c++ --std=c++20 --library=posix -I . -j "$jobs" \
  --enable=warning,performance,portability,style --inline-suppr \
  --suppressions-list=.cppcheck-suppressions --error-exitcode=1 \
  --template='{file}:{line}:{column}: {severity}: {message} [{id}]' \
  --file-list="$build/cppcheck-files.txt" >"$cppcheck_log" 2>&1 || cppcheck_rc=$?
cppcheck_count=$(grep -cE '^[^ ]+:[0-9]+:[0-9]+: [a-z]+: ' "$cppcheck_log" || true)
if [ "$cppcheck_count" -gt 0 ] || [ "$cppcheck_rc" -ne 0 ]; then
  cat "$cppcheck_log"
  status=1
fi
echo "cppcheck: $cppcheck_count findings in $(wc -l <"$build/cppcheck-files.txt") files ($((SECONDS - cppcheck_start)) s)"
exit $status
