#!/usr/bin/env bash
# scripts/check_layers.sh on small trees made here: each include against the layer order is
# reported with its file and line, everything that keeps the order passes, and so does this
# repository itself.
set -uo pipefail
here=$(cd "$(dirname "$0")" && pwd)
check="$here/../scripts/check_layers.sh"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

passed=0 failed=0
ok() { passed=$((passed + 1)); }
bad() { echo "FAILED: $*" >&2; failed=$((failed + 1)); }

# A tree whose includes all point down: one file per folder.
base_tree() {
  local t=$1
  rm -rf "$t"
  mkdir -p "$t"/{platform,serial,cmbs,session,update,params,tracer,app,extcap,trace_reader,tests,sim}
  echo '#pragma once' >"$t/platform/serial.h"
  printf '#include "platform/serial.h"\n' >"$t/serial/serial_port.h"
  printf '#include "serial/serial_port.h"\n#include <cstdint>\n' >"$t/cmbs/cmbs_rx.cpp"
  printf '#include "cmbs/cmbs_rx.h"\n#include "platform/serial.h"\n' >"$t/session/fwapp.h"
  printf '#include "session/fwapp.h"\n#include "fwup.h"\n// #include "app/cli.h"\n' >"$t/update/fwup.cpp"
  printf '#include "session/fwapp.h"\n#include "params/param_file.h"\n' >"$t/params/param_file.cpp"
  printf '#include <gtest/gtest.h>\n#include "tracer/main_log.h"\n' >"$t/tracer/main_log.cpp"
  printf '#include "update/fwup.h"\n#include "params/param_file.h"\n#include "tracer/main_log.h"\n' >"$t/app/cli.cpp"
  printf '#include "tracer/tracer_pcap.h"\n#include "session/product.h"\n' >"$t/extcap/capture.cpp"
  printf '#include "tracer/main_tracer_user.h"\n' >"$t/trace_reader/reader.cpp"
  printf '#include "app/cli.h"\n#include "extcap/capture.h"\n' >"$t/tests/cli_test.cpp"
  printf '#include "app/cli.h"\n' >"$t/sim/sim_target.cpp"
}

expect_pass() {
  local name=$1 out
  if out=$("$check" "$work/t" 2>&1); then ok; else bad "$name: refused: $out"; fi
}

# expect_fail NAME WHERE: the check fails and names WHERE (file:line).
expect_fail() {
  local name=$1 where=$2 out
  if out=$("$check" "$work/t" 2>&1); then
    bad "$name: passed"
  elif [[ $out != *"$where"* ]]; then
    bad "$name: did not name $where: $out"
  else
    ok
  fi
}

base_tree "$work/t"
expect_pass "includes that point down, exempt folders, a header beside its file, a commented include"

base_tree "$work/t"
printf '#include "platform/serial.h"\n#include "cmbs/cmbs_rx.h"\n' >"$work/t/serial/serial_port.cpp"
expect_fail "the serial port including the receive path" "serial/serial_port.cpp:2"

base_tree "$work/t"
printf '#include "app/cli.h"\n' >>"$work/t/update/fwup.cpp"
expect_fail "a command including the command line" "update/fwup.cpp:4"

base_tree "$work/t"
printf '#include "params/param_file.h"\n' >>"$work/t/update/fwup.cpp"
expect_fail "one command including another" "update/fwup.cpp:4"

base_tree "$work/t"
printf '#include "app/cli.h"\n' >>"$work/t/extcap/capture.cpp"
expect_fail "one program including another" "extcap/capture.cpp:3"

base_tree "$work/t"
printf '#include "extcap/capture.h"\n' >>"$work/t/app/cli.cpp"
expect_fail "the command line including a program beside it" "app/cli.cpp:4"

base_tree "$work/t"
printf '\n#  include "../app/cli.h"\n' >>"$work/t/params/param_file.cpp"
expect_fail "a relative path upwards, spaces after the hash" "params/param_file.cpp:4"

base_tree "$work/t"
printf '#include <session/fwapp.h>\n' >>"$work/t/cmbs/cmbs_rx.cpp"
expect_fail "an include in angle brackets" "cmbs/cmbs_rx.cpp:3"

base_tree "$work/t"
printf '#include "sim/sim_target.h"\n' >>"$work/t/session/fwapp.h"
expect_fail "product code including the simulator" "session/fwapp.h:3"

base_tree "$work/t"
mkdir -p "$work/t/console"
echo '#pragma once' >"$work/t/console/text.h"
expect_fail "a folder of sources without a level" "console/ holds C++ sources but has no level"

base_tree "$work/t"
mkdir -p "$work/t/build-x/CMakeFiles"
touch "$work/t/build-x/CMakeCache.txt"
printf '#include "app/cli.h"\n' >"$work/t/build-x/CMakeFiles/id.cpp"
expect_pass "a build tree inside the source tree"

base_tree "$work/t"
printf '#include "app/cli.h"\n' >>"$work/t/update/fwup.cpp"
printf '#include "cmbs/cmbs_rx.h"\n' >>"$work/t/serial/serial_port.h"
if out=$("$check" "$work/t" 2>&1); then
  bad "two wrong includes: passed"
elif [[ $out != *"2 finding(s)"* ]]; then
  bad "two wrong includes: not both counted: $out"
else
  ok
fi

if out=$("$check" 2>&1); then ok; else bad "this repository: $out"; fi

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
