#!/usr/bin/env bash
# The Windows installer under wine: builds halvern-<version>-x64.msi (target msi of the cross
# build) and, in a fresh wine prefix, installs it with msiexec, runs the installed halvern.exe
# (also through PATH, and against the simulated repeater on COM5), checks the copies in a faked
# Wireshark install, uninstalls it and checks that nothing is left; then an upgrade from an older
# MSI built from the same sources leaves one installed product, the newer.
#   scripts/ci_msi.sh [--win-build DIR] [--host-build DIR]
# DIR defaults: build-win (the configured cross build, see scripts/ci_windows.sh) and build (the
# native build, for rx5120-sim and the modem-line shim of the end-to-end tests).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/setup.sh

win_build=build-win host_build=build
while [ $# -gt 0 ]; do
  case "$1" in
    --win-build) win_build="$2"; shift 2 ;;
    --host-build) host_build="$2"; shift 2 ;;
    *) echo "unknown option: $1" >&2; exit 2 ;;
  esac
done

need=()
command -v wixl >/dev/null || need+=(wixl)
command -v msibuild >/dev/null || need+=(msitools)
command -v groff >/dev/null || need+=(groff-base)
install_packages "the installer tools" "${need[@]}"

fail() { echo "ci_msi: $*" >&2; exit 1; }

jobs=$(nproc)
[ -f "$win_build/CMakeCache.txt" ] || fail "$win_build is not configured (scripts/ci_windows.sh does it)"
cmake --build "$win_build" -j"$jobs" --target msi >/dev/null
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$win_build/CMakeCache.txt")
msi=$(cd "$win_build" && pwd)/halvern-$version-x64.msi
IFS=. read -r major minor patch _ <<<"$version"
msi_version="$major.${minor:-0}.${patch:-0}"  # as the installed product shows it
[ -f "$msi" ] || fail "$msi was not built"
echo "== $msi"
[ -f "$host_build/CMakeCache.txt" ] || cmake -S . -B "$host_build" -DHALVERN_TESTS=ON -DHALVERN_BENCH=OFF >/dev/null
cmake --build "$host_build" -j"$jobs" --target rx5120-sim halvern_tiocm_shim >/dev/null
sim=$(cd "$host_build" && pwd)/sim/rx5120-sim
shim=$(cd "$host_build" && pwd)/tests/wine/libhalvern_tiocm_shim.so
[ -x "$sim" ] && [ -f "$shim" ] || fail "rx5120-sim or the shim is missing in $host_build"

wine=""
for candidate in wine64 /usr/lib/wine/wine64 wine; do
  if command -v "$candidate" >/dev/null; then wine=$(command -v "$candidate"); break; fi
done
[ -n "$wine" ] || fail "wine is not installed (Debian package wine64)"
wineserver=$(dirname "$wine")/wineserver
[ -x "$wineserver" ] || wineserver=$(command -v wineserver)

tmp=$(mktemp -d "${TMPDIR:-/tmp}/halvern-msi.XXXXXX")
export WINEPREFIX="$tmp/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
cleanup() {
  "$wineserver" -k >/dev/null 2>&1 || true
  rm -rf "$tmp"
}
trap cleanup EXIT

# An older MSI from the same programs, for the upgrade.
old_version=0.9
bash packaging/msi/build_msi.sh "$old_version" "$tmp/halvern-$old_version-x64.msi" \
  "$win_build/halvern.exe" "$win_build/trace_reader/halvern-trace.exe" "$win_build/extcap/halvern-extcap.exe"

# The icon: in the Icon table, the bytes of packaging/windows/halvern.ico, named by ARPPRODUCTICON.
# (msiinfo writes the table's binary column into a folder Icon beside it: it does so in $tmp.)
[ "$(cd "$tmp" && msiinfo export "$msi" Icon | tr -d '\r' | sed -n 4p)" = $'halvern.ico\tIcon.halvern.ico' ] ||
  fail "the Icon table holds: $(cd "$tmp" && msiinfo export "$msi" Icon)"
msiinfo extract "$msi" Icon.halvern.ico | cmp -s - packaging/windows/halvern.ico || fail "the MSI's icon is not halvern.ico"
msiinfo export "$msi" Property | tr -d '\r' | grep -qx $'ARPPRODUCTICON\thalvern.ico' || fail "ARPPRODUCTICON is not halvern.ico"

echo "== fresh wine prefix $WINEPREFIX"
"$wine" wineboot -i >/dev/null 2>&1
c="$WINEPREFIX/drive_c"
dir="$c/Program Files/halvern"
ws="$c/Program Files/Wireshark"
env_key='HKLM\System\CurrentControlSet\Control\Session Manager\Environment'
# The system PATH, without empty entries: wine's RemoveEnvironmentStrings takes the entry away but
# leaves the separator before it.
system_path() {
  "$wine" reg query "$env_key" /v PATH | tr -d '\r' | sed -n 's/^ *PATH *REG[A-Z_]* *//p' |
    sed 's/;;*/;/g; s/^;//; s/;$//'
}
# The installed products' names and versions, one "name version" line each.
products() {
  "$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r' |
    awk '$1 == "DisplayName" { name = $3 } $1 == "DisplayVersion" { print name, $3 }' | sort
}
msiexec() { "$wine" msiexec "$@" /qn || fail "msiexec $* failed ($?)"; }
path_before=$(system_path)

# Wireshark as its installer leaves it: its folder with its own programs in extcap and plugins,
# and the folder in HKLM\SOFTWARE\Wireshark, value InstallDir, in the 64-bit view.
mkdir -p "$ws/extcap" "$ws/plugins/4.2"
touch "$ws/Wireshark.exe" "$ws/extcap/sshdump.exe" "$ws/plugins/4.2/README.txt"
wireshark_own=$(cd "$ws" && find . -type f | sort)
"$wine" reg add 'HKLM\SOFTWARE\Wireshark' /v InstallDir /d 'C:\Program Files\Wireshark' /f /reg:64 >/dev/null

# 1. Install.
echo "== msiexec /i $(basename "$msi") /qn"
msiexec /i "Z:${msi//\//\\}"
installed=$(cd "$dir" && find . -type f | sort | tr '\n' ' ')
[ "$installed" = "./README.txt ./cpp-httplib-LICENSE.txt ./halvern-extcap.exe ./halvern-extcap.txt ./halvern-trace.exe ./halvern-trace.txt ./halvern.exe ./halvern.lua ./halvern.txt " ] ||
  fail "the install folder holds: $installed"
grep -q '^NAME' "$dir/halvern.txt" || fail "halvern.txt is no text rendering of the man page"
[ "$(tr -d '\r' <"$dir/README.txt")" = "$(cat README.md)" ] && [ "$(grep -c $'\r$' "$dir/README.txt")" = "$(wc -l <README.md)" ] ||
  fail "README.txt is not the README with CR LF line ends"
cmp -s "$dir/halvern-extcap.exe" "$ws/extcap/halvern-extcap.exe" || fail "no halvern-extcap.exe in Wireshark's extcap folder"
cmp -s tools/wireshark/halvern.lua "$ws/plugins/halvern/halvern.lua" || fail "no halvern.lua in Wireshark's plugins folder"
[ "$(products)" = "halvern $msi_version" ] || fail "installed products: $(products)"
[ "$(system_path)" = "$path_before;C:\\Program Files\\halvern\\" ] || fail "system PATH after install: $(system_path)"
# Add/Remove Programs: publisher, help link, install location; the Start menu's folder.
arp=$("$wine" reg query 'HKLM\Software\Microsoft\Windows\CurrentVersion\Uninstall' /s 2>/dev/null | tr -d '\r')
for field in 'Publisher *REG_SZ *halvern$' 'HelpLink *REG_SZ *https://example.org/halvern$' \
             'InstallLocation *REG_SZ *C:\\Program Files\\halvern\\$'; do
  grep -q "^ *$field" <<<"$arp" || fail "Add/Remove Programs lacks $field: $arp"
done
# For all users (ALLUSERS=1) Windows puts it under ProgramData; wine 8 takes the installing user's
# menu for it.
menu="$WINEPREFIX/drive_c/ProgramData/Microsoft/Windows/Start Menu/Programs/halvern"
[ -d "$menu" ] || menu=$(find "$WINEPREFIX/drive_c/users" -path '*/Start Menu/Programs/halvern' -type d | head -n 1)
[ -f "$menu/halvern manual.lnk" ] && [ -f "$menu/halvern console.lnk" ] ||
  fail "the Start menu folder holds: $(ls "$menu" 2>&1); shortcuts: $(find "$WINEPREFIX/drive_c" -name "*.lnk")"
echo "== installed: files, Wireshark copies, PATH entry, Add/Remove Programs entry, Start menu"
# The product's icon, as the installer published it for Add/Remove Programs.
icon=$("$wine" reg query 'HKLM\Software\Classes\Installer\Products' /s | tr -d '\r' | sed -n 's/^ *ProductIcon *REG_SZ *//p')
[[ "$icon" == 'C:\windows\Installer\{'*'}\halvern.ico' ]] || fail "the product's icon: $icon"
icon_file="$c/windows/Installer/${icon#C:\\windows\\Installer\\}"
cmp -s "${icon_file//\\//}" packaging/windows/halvern.ico || fail "the published icon $icon is not halvern.ico"
echo "== the icon: in the MSI's Icon table, named by ARPPRODUCTICON, published for Add/Remove Programs"

# 2. The installed program runs, by its path and by name through the system PATH (a new wine
#    session reads the PATH anew).
"$wineserver" -k >/dev/null 2>&1 || true
tool_version=1.01  # the servicing tool's version, as the banner shows it
out=$("$wine" 'C:\Program Files\halvern\halvern.exe' --version | tr -d '\r')
[ "$out" = "halvern $version (tool version $tool_version)" ] || fail "halvern.exe --version printed: $out"
out=$("$wine" cmd /c 'halvern --version' | tr -d '\r')
[ "$out" = "halvern $version (tool version $tool_version)" ] || fail "halvern --version through PATH printed: $out"

# 3. The version command against the simulated repeater, found as COM5 through the usbser keys.
cat >"$tmp/rx5120.reg" <<'REG'
REGEDIT4

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Services\usbser\Enum]
"Count"=dword:00000001
"0"="USB\\VID_3F7A&PID_5120\\RX5120-0001"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB\VID_3F7A&PID_5120\RX5120-0001]
"DeviceDesc"="RX5120 USB Serial Port"

[HKEY_LOCAL_MACHINE\System\CurrentControlSet\Enum\USB\VID_3F7A&PID_5120\RX5120-0001\Device Parameters]
"PortName"="COM5"
REG
"$wine" regedit /S "Z:${tmp//\//\\}\\rx5120.reg"
"$wineserver" -k >/dev/null 2>&1 || true
# wineserver watches the port's terminal for a while after the program ends: it goes before the
# simulated repeater does.
"$sim" --port 5 "$tmp/sim" -- bash -c '
  ln -sf "$HALVERN_DEV_ROOT/ttyACM4" "$WINEPREFIX/dosdevices/com5"
  LD_PRELOAD="$1" "$2" "C:\\Program Files\\halvern\\halvern.exe" -p RX5120 -cmd version >"$4"; status=$?
  "$3" -k; rm -f "$WINEPREFIX/dosdevices/com5"; exit $status' \
  _ "$shim" "$wine" "$wineserver" "$tmp/version.out" || fail "halvern -cmd version failed: $(cat "$tmp/version.out")"
rule=$(printf '=%.0s' {1..79})
printf '%s\r\n\r\nHALVERN Software Administration Tool Version %s\r\n\r\n%s\r\n\r\nProduct: SW Version 01.02.0345\r\n\r\n%s\r\n\r\n' \
  "$rule" "$tool_version" "$rule" "$rule" >"$tmp/version.expected"
cmp -s "$tmp/version.out" "$tmp/version.expected" || fail "halvern -cmd version printed: $(cat -A "$tmp/version.out")"
echo "== installed halvern.exe: --version, through PATH, -cmd version on COM5"

# 4. Uninstall: every file, the install folder and the PATH entry go; Wireshark's folders stay.
echo "== msiexec /x $(basename "$msi") /qn"
msiexec /x "Z:${msi//\//\\}"
[ ! -e "$dir" ] || fail "left after uninstall: $(find "$dir")"
left=$(cd "$ws" && find . -type f | sort)
[ "$left" = "$wireshark_own" ] || fail "Wireshark's folder holds after uninstall: $left"
[ "$(system_path)" = "$path_before" ] || fail "system PATH after uninstall: $(system_path)"
[ -z "$(products)" ] || fail "still installed: $(products)"
[ -z "$menu" ] || [ ! -e "$menu" ] || fail "the Start menu folder is left: $(ls "$menu")"
echo "== uninstalled: no files, no PATH entry, no Start menu folder"

# 5. Upgrade: the older MSI without Wireshark (nothing goes anywhere but the install folder), then
#    the newer one: one product remains, the newer, with Wireshark's copies now that it is there.
"$wine" reg delete 'HKLM\SOFTWARE\Wireshark' /f /reg:64 >/dev/null
msiexec /i "Z:${tmp//\//\\}\\halvern-$old_version-x64.msi"
[ "$(products)" = "halvern $old_version.0" ] || fail "installed products: $(products)"
strays=$(cd "$c" && find . -name halvern-extcap.exe -o -name halvern.lua | grep -v '^\./Program Files/halvern/' || true)
[ -z "$strays" ] || fail "without Wireshark the installer still placed: $strays"
"$wine" reg add 'HKLM\SOFTWARE\Wireshark' /v InstallDir /d 'C:\Program Files\Wireshark' /f /reg:64 >/dev/null
# Wireshark installed afterwards: a repair of the installed product places the two copies.
msiexec /i "Z:${tmp//\//\\}\\halvern-$old_version-x64.msi" REINSTALL=ALL REINSTALLMODE=omus
[ -f "$ws/extcap/halvern-extcap.exe" ] && [ -f "$ws/plugins/halvern/halvern.lua" ] ||
  fail "a repair after Wireshark came did not place the copies: $(cd "$ws" && find . -type f)"
msiexec /i "Z:${msi//\//\\}"
[ "$(products)" = "halvern $msi_version" ] || fail "after the upgrade, installed products: $(products)"
[ -f "$dir/halvern.exe" ] && [ -f "$ws/extcap/halvern-extcap.exe" ] || fail "files missing after the upgrade"
[ "$(system_path)" = "$path_before;C:\\Program Files\\halvern\\" ] || fail "system PATH after the upgrade: $(system_path)"
# The older one does not go over the newer.
! "$wine" msiexec /i "Z:${tmp//\//\\}\\halvern-$old_version-x64.msi" /qn || fail "the older MSI installed over the newer"
[ "$(products)" = "halvern $msi_version" ] || fail "after the refused downgrade, installed products: $(products)"
# A rebuilt MSI of the same version (a product code of its own) replaces the installed one.
bash packaging/msi/build_msi.sh "$version" "$tmp/halvern-$version-rebuilt-x64.msi" \
  "$win_build/halvern.exe" "$win_build/trace_reader/halvern-trace.exe" "$win_build/extcap/halvern-extcap.exe"
msiexec /i "Z:${tmp//\//\\}\\halvern-$version-rebuilt-x64.msi"
[ "$(products)" = "halvern $msi_version" ] || fail "after a same-version reinstall, installed products: $(products)"
[ -f "$dir/halvern.exe" ] && [ -f "$ws/extcap/halvern-extcap.exe" ] || fail "files missing after the same-version reinstall"
[ "$(system_path)" = "$path_before;C:\\Program Files\\halvern\\" ] || fail "system PATH after the reinstall: $(system_path)"
msiexec /x "Z:${tmp//\//\\}\\halvern-$version-rebuilt-x64.msi"
[ ! -e "$dir" ] && [ -z "$(products)" ] && [ "$(system_path)" = "$path_before" ] || fail "the reinstalled product did not uninstall cleanly"
echo "== upgrade $old_version -> $version and a same-version rebuild: one product remains; no downgrade"

# 6. Uninstall takes away only what the install made: an empty plugins folder of Wireshark's that
#    was there before stays; one the install made goes (also when the dissector's own folder is
#    all that was in it).
rm -rf "$ws/plugins"
mkdir "$ws/plugins"
msiexec /i "Z:${msi//\//\\}"
[ -f "$ws/plugins/halvern/halvern.lua" ] || fail "no dissector in the empty plugins folder: $(cd "$ws" && find .)"
msiexec /x "Z:${msi//\//\\}"
[ -d "$ws/plugins" ] && [ -z "$(ls -A "$ws/plugins")" ] ||
  fail "Wireshark's empty plugins folder after uninstall: $(ls -A "$ws/plugins" 2>&1)"
rmdir "$ws/plugins"
msiexec /i "Z:${msi//\//\\}"
[ -f "$ws/plugins/halvern/halvern.lua" ] || fail "no dissector in the plugins folder the install made: $(cd "$ws" && find .)"
msiexec /x "Z:${msi//\//\\}"
[ ! -e "$ws/plugins" ] || fail "the plugins folder the install made is left: $(cd "$ws" && find plugins)"
[ "$(cd "$ws" && find . -type f | sort)" = "$(printf '%s\n' "$wireshark_own" | grep -v '^\./plugins/')" ] ||
  fail "Wireshark's folder holds after uninstall: $(cd "$ws" && find . -type f)"
echo "== uninstall: Wireshark's empty plugins folder stays, one the install made goes"

# 7. A folder of the admin's choice, with a blank in its name: the programs run from it and are on
#    the PATH; uninstall finds it again (the install keeps it in the registry) and leaves nothing.
mkdir -p "$c/Tools"
msiexec /i "Z:${msi//\//\\}" 'INSTALLDIR=C:\Tools\My halvern'
mine="$c/Tools/My halvern"
[ -f "$mine/halvern.exe" ] && [ ! -e "$dir" ] || fail "INSTALLDIR with a blank: $(cd "$c" && find Tools "Program Files/halvern" 2>&1)"
"$wineserver" -k >/dev/null 2>&1 || true
out=$("$wine" 'C:\Tools\My halvern\halvern.exe' --version | tr -d '\r')
[ "$out" = "halvern $version (tool version $tool_version)" ] || fail "halvern.exe --version from C:\Tools\My halvern printed: $out"
[ "$(system_path)" = "$path_before;C:\\Tools\\My halvern\\" ] || fail "system PATH after install into C:\Tools\My halvern: $(system_path)"
msiexec /x "Z:${msi//\//\\}"
[ -z "$(ls -A "$c/Tools")" ] || fail "left after uninstall: $(cd "$c" && find Tools)"
[ "$(system_path)" = "$path_before" ] || fail "system PATH after uninstall from C:\Tools\My halvern: $(system_path)"
[ -z "$(products)" ] || fail "still installed: $(products)"
echo "== INSTALLDIR=C:\Tools\My halvern: installed, --version from it, on the PATH; uninstalled, nothing left"
echo "msi: 9 passed, 0 failed"
