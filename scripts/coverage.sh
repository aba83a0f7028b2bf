#!/usr/bin/env bash
# Line coverage per folder of a test run built with gcov counters (scripts/test.sh --coverage
# builds and runs one, then calls this). Fails when the tool's own code (everything but tests,
# bench, fuzz and the simulated repeater) is covered below the floor.
#   scripts/coverage.sh [--build-dir DIR] [--floor PERCENT]
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

build=build floor=90
while [ $# -gt 0 ]; do
  case "$1" in
    --build-dir) build="$2"; shift 2 ;;
    --floor) floor="$2"; shift 2 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done
need=()
command -v gcovr >/dev/null || need+=(gcovr)
install_packages "the coverage report" "${need[@]}"
[ -n "$(find "$build" -name '*.gcda' -print -quit 2>/dev/null)" ] ||
  { echo "coverage: no counts in $build: run scripts/test.sh --coverage --build-dir $build" >&2; exit 1; }

# The tool's own code; the Windows back end is built and tested in the cross build, not here.
own='^(app|station|session|cmbs|serial|update|params|tracer|trace_reader|extcap|platform)/'
echo "== line coverage ($build)"
gcovr -r . "$build" --filter "$own" --sort-uncovered --txt "$build/coverage.txt" \
  --json-summary "$build/coverage.json" -j"$(nproc)" >/dev/null 2>"$build/gcovr.err" ||
  { cat "$build/gcovr.err"; exit 1; }

# Per folder, from gcovr's per-file summary (gcovr needs python3, so it is there).
python3 - "$build/coverage.json" "$floor" <<'PY'
import json, sys
data = json.load(open(sys.argv[1]))
floor = float(sys.argv[2])
folders = {}
for f in data["files"]:
    t = folders.setdefault(f["filename"].split("/")[0], [0, 0])
    t[0] += f["line_covered"]
    t[1] += f["line_total"]
covered = sum(t[0] for t in folders.values())
total = sum(t[1] for t in folders.values())
print(f"{'folder':14} {'lines':>7} {'covered':>8} {'percent':>8}")
for folder in sorted(folders):
    c, t = folders[folder]
    print(f"{folder + '/':14} {t:7d} {c:8d} {100.0 * c / t if t else 100.0:7.1f}%")
percent = 100.0 * covered / total if total else 100.0
print(f"{'all':14} {total:7d} {covered:8d} {percent:7.1f}%")
if percent < floor:
    print(f"coverage: {percent:.1f}% of lines, under the floor of {floor:.0f}%", file=sys.stderr)
    sys.exit(1)
PY
echo "(file by file, least covered first: $build/coverage.txt)"
