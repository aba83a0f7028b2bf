#!/usr/bin/env bash
# Sets everything up, builds every program, and runs halvern against the simulated target:
#   scripts/demo.sh                      shows the target's version
#   scripts/demo.sh -cmd fact_reset      any other halvern arguments after -p RX5120
#   scripts/demo.sh -cmd update -fw FILE -expect 01.03.0400
#                                        the repeater restarts after the update and comes back
#                                        with version 01.03.0400
#   scripts/demo.sh -cmd log             the repeater talks by itself: log lines at the level
#                                        asked (-llevel, default 2: info), keys t, x, q
#   scripts/demo.sh -cmd tracer          a call set up and released again and again, recorded into
#                                        cmbs_dect_tracer-*.txt here (-tfile, default: all tasks);
#                                        after q, halvern-trace shows what was recorded
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh
echo "== building halvern, halvern-trace, halvern-extcap and the simulated repeater (build/)..."
log=$(mktemp)
if ! { cmake -S . -B build &&
       cmake --build build -j"$(nproc)" --target halvern halvern-trace halvern-extcap rx5120-sim; } >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  echo "demo.sh: the build failed" >&2
  exit 1
fi
rm -f "$log"
[ $# -gt 0 ] || set -- -cmd version
tree=$(mktemp -d)
trap 'rm -rf "$tree"' EXIT

# log and tracer: the repeater sends log lines and trace messages of its own once they switch
# logging on, and each gets what it needs to start when it is not given.
args=("$@") sim=() command=""
for ((i = 0; i + 1 < ${#args[@]}; i++)); do [ "${args[i]}" = -cmd ] && command=${args[i + 1]}; done
if [ "$command" = log ] || [ "$command" = tracer ]; then
  sim=(--traffic)
  if [ "$command" = log ] && [[ " ${args[*]} " != *" -llevel "* ]]; then args+=(-llevel 2); fi
  if [ "$command" = tracer ] && [[ " ${args[*]} " != *" -tfile "* ]]; then
    echo a >"$tree/logger.cfg"
    args+=(-tfile "$tree/logger.cfg")
  fi
  echo "== press q to quit"
fi
echo "== halvern -p RX5120 ${args[*]} (against the simulated repeater)"
before=$(ls -t cmbs_dect_tracer-*.txt 2>/dev/null | head -n 1 || true)
status=0
build/sim/rx5120-sim "${sim[@]}" --restarts --version-after 01.03.0400 "$tree" -- build/halvern -p RX5120 "${args[@]}" ||
  status=$?
if [ "$command" = tracer ]; then
  trace=$(ls -t cmbs_dect_tracer-*.txt 2>/dev/null | head -n 1 || true)
  if [ -n "$trace" ] && [ "$trace" != "$before" ]; then
    echo "== build/trace_reader/halvern-trace $trace (the first 20 records)"
    build/trace_reader/halvern-trace "$trace" | head -n 20 || true
  fi
fi
exit "$status"
