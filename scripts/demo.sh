#!/usr/bin/env bash
# Sets everything up, builds, and runs halvern against the simulated target:
#   scripts/demo.sh                      shows the target's version
#   scripts/demo.sh -cmd fact_reset      any other halvern arguments after -p RX5120
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
cmake -S . -B build >/dev/null
cmake --build build -j"$(nproc)" --target halvern rx5120-sim >/dev/null
[ $# -gt 0 ] || set -- -cmd version
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT
build/sim/rx5120-sim "$tree" -- build/halvern -p RX5120 "$@"
