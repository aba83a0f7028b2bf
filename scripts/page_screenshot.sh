#!/usr/bin/env bash
# Makes a picture of the station's page with units in several states, as headless Chromium shows
# it, from a watch against simulated repeaters:
#   scripts/page_screenshot.sh [OUT.png]      (default docs/station_page.png)
# Builds halvern and the simulated repeater into build/ and installs Chromium, its driver and
# selenium (Debian: chromium, chromium-driver, python3-selenium) when they are missing.
set -euo pipefail
cd "$(dirname "$0")/.."
out=${1:-docs/station_page.png}
source scripts/setup.sh
need=()
[ -x /usr/bin/python3 ] || need+=(python3)
[ -x /usr/bin/chromium ] || need+=(chromium)
[ -x /usr/bin/chromedriver ] || need+=(chromium-driver)
/usr/bin/python3 -c 'import selenium' 2>/dev/null || need+=(python3-selenium)
install_packages "the browser" "${need[@]}"
unset need

echo "== building halvern and the simulated repeater (build/)..."
log=$(mktemp)
if ! { cmake -S . -B build && cmake --build build -j"$(nproc)" --target halvern rx5120-sim; } >"$log" 2>&1; then
  cat "$log" >&2
  rm -f "$log"
  echo "page_screenshot.sh: the build failed" >&2
  exit 1
fi
rm -f "$log"
mkdir -p "$(dirname "$out")"
/usr/bin/python3 scripts/page_screenshot.py build/halvern build/sim/rx5120-sim "$out"
