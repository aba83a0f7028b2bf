#!/usr/bin/env bash
# Sets everything up, builds, and runs halvern against the simulated target:
#   scripts/demo.sh                      shows the target's version
#   scripts/demo.sh -cmd fact_reset      any other halvern arguments after -p RX5120
#   scripts/demo.sh -cmd update -fw FILE -expect 01.03.0400
#                                        the repeater restarts after the update and comes back
#                                        with version 01.03.0400
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
echo "== building halvern and the simulated repeater (build/)..."
log=$(mktemp)
if ! { cmake -S . -B build && cmake --build build -j"$(nproc)" --target halvern rx5120-sim; } >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  echo "demo.sh: the build failed" >&2
  exit 1
fi
rm -f "$log"
[ $# -gt 0 ] || set -- -cmd version
echo "== halvern -p RX5120 $* (against the simulated repeater)"
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
build/sim/rx5120-sim --restarts --version-after 01.03.0400 "$tree" -- build/halvern -p RX5120 "$@"
