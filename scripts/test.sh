#!/usr/bin/env bash
# Sets everything up and runs the tests: the layer check, configure, build, ctest.
#   scripts/test.sh [--sanitize address,undefined|thread] [--build-dir DIR] [--filter GTEST_FILTER] [--coverage]
#                   [--build-type TYPE]
# --coverage builds with gcov counters and ends with the line coverage per folder
# (scripts/coverage.sh), failing under its floor. Its counters are updated atomically: the
# simulated repeater and the tool read and write a line from several threads, and counts torn by
# them add up to negative branch counts that the coverage report refuses.
# --build-type sets CMAKE_BUILD_TYPE (default Release: what is tested is what the package is then
# made from).
set -euo pipefail
cd "$(dirname "$0")/.."
# Needs nothing but bash and the base tools, so a wrong-way include fails before anything is built.
echo "== checking the layers"
scripts/check_layers.sh
source scripts/setup.sh

build=build sanitize="" filter="" coverage="" build_type=Release
while [ $# -gt 0 ]; do
  case "$1" in
    --build-type) build_type="$2"; shift 2 ;;
    --sanitize) sanitize="$2"; shift 2 ;;
    --build-dir) build="$2"; shift 2 ;;
    --filter) filter="$2"; shift 2 ;;
    --coverage) coverage="--coverage -fprofile-update=atomic"; shift ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done

bench=ON
[ -z "$sanitize" ] || bench=OFF
echo "== configuring and building ($build)"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE="$build_type" -DHALVERN_SANITIZE="$sanitize" -DHALVERN_TESTS=ON \
  -DHALVERN_BENCH=$bench -DCMAKE_CXX_FLAGS="$coverage" >/dev/null
cmake --build "$build" -j"$(nproc)"
echo "== running the tests"
if [ -n "$filter" ]; then
  "$build/tests/halvern_tests" --gtest_filter="$filter"
else
  [ -z "$coverage" ] || find "$build" -name '*.gcda' -delete
  # Most tests spend their time waiting on simulated lines paced at the real baud rate, not on
  # the processor: four at a time per core finish in about a third of the time of one.
  ctest --test-dir "$build" --output-on-failure -j"$((4 * $(nproc)))"
fi
[ -z "$coverage" ] || scripts/coverage.sh --build-dir "$build"
