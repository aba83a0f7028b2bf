#!/usr/bin/env bash
# The Windows build and its tests: installs the cross compiler and wine when missing, cross-builds
# halvern.exe and the unit tests into build-win (mingw-w64, statically linked), builds the native
# side of the end-to-end set and the fault soak, and runs everything under wine (tests/wine/run.sh);
# the .zip and the MSI are signed with a throwaway certificate and their signatures checked.
#   scripts/ci_windows.sh [--host-build DIR]     (native build directory, default build)
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

host_build=build
while [ $# -gt 0 ]; do
  case "$1" in
    --host-build) host_build="$2"; shift 2 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done

need=()
command -v x86_64-w64-mingw32-g++-posix >/dev/null || need+=(g++-mingw-w64-x86-64-posix)
[ -f /usr/share/mingw-w64/include/windows.h ] || [ -f /usr/x86_64-w64-mingw32/include/windows.h ] ||
  need+=(mingw-w64-x86-64-dev)
command -v wine64 >/dev/null || [ -x /usr/lib/wine/wine64 ] || need+=(wine64)
[ -f /usr/src/googletest/CMakeLists.txt ] || need+=(googletest)
command -v groff >/dev/null || need+=(groff-base)  # the manual pages as text in the .zip
# Signing with a throwaway certificate; msiextract opens the MSI to check the programs in it.
command -v osslsigncode >/dev/null || need+=(osslsigncode)
command -v openssl >/dev/null || need+=(openssl)
command -v msiextract >/dev/null || need+=(msitools)
install_packages "the cross compiler and wine" "${need[@]}"

jobs=$(nproc)
echo "== cross build (build-win)"
# Unsigned first (a run before may have left the signing option in the cache).
cmake -S . -B build-win -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=Release \
  -DHALVERN_TESTS=ON -DHALVERN_BENCH=OFF -DHALVERN_SIGN_PFX= >/dev/null
cmake --build build-win -j"$jobs" --target halvern halvern-trace halvern-extcap halvern_tests windows-docs
# The .zip holds what the MSI installs: the three programs, the README and the manual pages as
# text, the dissector.
(cd build-win && cpack -G ZIP >/dev/null)
zip=$(ls build-win/halvern-*-windows.zip)
listing=$(cmake -E tar tf "$zip" | sort | tr '\n' ' ')
[ "$listing" = "README.txt cpp-httplib-LICENSE.txt halvern-extcap.exe halvern-extcap.txt halvern-trace.exe halvern-trace.txt halvern.exe halvern.lua halvern.txt " ] ||
  { echo "ci_windows: $zip holds: $listing" >&2; exit 1; }
echo "== $zip: $listing"

# Signing: the unsigned .zip's programs carry no signature; then a throwaway self-signed
# code-signing certificate (a new one each run), the same build configured with it (the programs
# are not built again: signing changes packaging only), and the .zip again, its programs signed
# by that certificate. The MSI built below is signed too (checked after the installer tests).
signed_by() {  # FILE: carries a valid signature made with the throwaway certificate
  osslsigncode verify -CAfile "$sign_dir/cert.pem" -in "$1" >"$sign_dir/verify.log" 2>&1
}
sign_dir=$(cd build-win && pwd)/ci-signing
rm -rf "$sign_dir" && mkdir -p "$sign_dir/unpacked"
(cd "$sign_dir/unpacked" && cmake -E tar xf "../../$(basename "$zip")")
for exe in "$sign_dir"/unpacked/*.exe; do
  ! signed_by "$exe" || { echo "ci_windows: unsigned build, yet $(basename "$exe") is signed" >&2; exit 1; }
done
openssl rand -base64 18 >"$sign_dir/password"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$sign_dir/key.pem" -out "$sign_dir/cert.pem" \
  -days 2 -subj "/CN=halvern CI throwaway" -addext extendedKeyUsage=codeSigning 2>/dev/null
openssl pkcs12 -export -inkey "$sign_dir/key.pem" -in "$sign_dir/cert.pem" \
  -passout "file:$sign_dir/password" -out "$sign_dir/cert.pfx"
before=$(stat -c %Y build-win/halvern.exe build-win/trace_reader/halvern-trace.exe build-win/extcap/halvern-extcap.exe)
cmake -S . -B build-win -DHALVERN_SIGN_PFX="$sign_dir/cert.pfx" \
  -DHALVERN_SIGN_PASSWORD_FILE="$sign_dir/password" >/dev/null
(cd build-win && cpack -G ZIP >/dev/null)
[ "$before" = "$(stat -c %Y build-win/halvern.exe build-win/trace_reader/halvern-trace.exe build-win/extcap/halvern-extcap.exe)" ] ||
  { echo "ci_windows: the signing option rebuilt the programs" >&2; exit 1; }
rm -rf "$sign_dir/unpacked" && mkdir "$sign_dir/unpacked"
(cd "$sign_dir/unpacked" && cmake -E tar xf "../../$(basename "$zip")")
for exe in "$sign_dir"/unpacked/*.exe; do
  signed_by "$exe" || { echo "ci_windows: $(basename "$exe") in the .zip:" >&2; cat "$sign_dir/verify.log" >&2; exit 1; }
done
bash tests/windows_sign_test.sh build-win/halvern.exe
echo "== signed: the programs in $zip"

# Each program's version information and manifest, read back from the .exe (UTF-16 strings of the
# version resource; the manifest is plain text).
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' build-win/CMakeCache.txt)
for exe in build-win/halvern.exe build-win/trace_reader/halvern-trace.exe build-win/extcap/halvern-extcap.exe; do
  info=$(strings -el -n 3 "$exe" | tr '\n' '|')
  for field in "ProductName|halvern|" "ProductVersion|$version|" "FileVersion|$version|" \
               "OriginalFilename|$(basename "$exe")|" "LegalCopyright|Copyright (C) "; do
    [[ "$info" == *"|$field"* ]] || { echo "ci_windows: $exe has no $field in its version information" >&2; exit 1; }
  done
  for setting in 'level="asInvoker"' '>true</longPathAware>' '>UTF-8</activeCodePage>'; do
    grep -qF "$setting" "$exe" || { echo "ci_windows: the manifest of $exe lacks $setting" >&2; exit 1; }
  done
done
# The icon: one group of two images in each program (windres reads the resources back), and the
# committed .ico is what its script draws.
for exe in build-win/halvern.exe build-win/trace_reader/halvern-trace.exe build-win/extcap/halvern-extcap.exe; do
  resources=$(x86_64-w64-mingw32-windres -i "$exe" -O rc)
  [ "$(grep -c 'RT_GROUP_ICON' <<<"$resources")" = 1 ] && [ "$(grep -c 'RT_ICON' <<<"$resources")" = 2 ] ||
    { echo "ci_windows: $exe carries no icon (one group of two images)" >&2; exit 1; }
done
icon=$(mktemp)
bash packaging/windows/make_icon.sh "$icon"
cmp -s "$icon" packaging/windows/halvern.ico ||
  { echo "ci_windows: packaging/windows/halvern.ico is not what make_icon.sh draws" >&2; rm -f "$icon"; exit 1; }
rm -f "$icon"
echo "== version information, manifests and icons of the three programs"

echo "== native side of the end-to-end set ($host_build)"
[ -f "$host_build/CMakeCache.txt" ] || cmake -S . -B "$host_build" -DHALVERN_TESTS=ON -DHALVERN_BENCH=OFF >/dev/null
cmake --build "$host_build" -j"$jobs" --target halvern_wine_e2e halvern_soak

# The unit tests, the end-to-end set, and a short fault soak against halvern.exe (about 30
# sessions of some 4 s each: every session runs its command without the fault first).
tests/wine/run.sh --win-build build-win --host-build "$host_build" --soak "--sessions 30 --budget 240"

# The installer: built, installed, run, upgraded and removed under wine.
scripts/ci_msi.sh --win-build build-win --host-build "$host_build"

# The MSI that was built and tested above, and the programs in it, signed by the certificate.
msi=build-win/halvern-$version-x64.msi
signed_by "$msi" || { echo "ci_windows: $msi:" >&2; cat "$sign_dir/verify.log" >&2; exit 1; }
rm -rf "$sign_dir/unpacked" && mkdir "$sign_dir/unpacked"
(cd "$sign_dir/unpacked" && msiextract "../../$(basename "$msi")" >/dev/null)
mapfile -t packed < <(find "$sign_dir/unpacked" -name '*.exe' | sort)
[ "${#packed[@]}" -eq 4 ] || { echo "ci_windows: $msi holds ${#packed[@]} programs, not 4" >&2; exit 1; }
for exe in "${packed[@]}"; do
  signed_by "$exe" || { echo "ci_windows: ${exe#"$sign_dir/unpacked/"} in the MSI:" >&2; cat "$sign_dir/verify.log" >&2; exit 1; }
done
echo "== signed: $msi and the ${#packed[@]} programs in it"
