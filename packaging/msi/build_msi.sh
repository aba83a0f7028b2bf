#!/usr/bin/env bash
# Builds the Windows installer from the cross-built programs: the man pages as plain text (groff),
# the MSI from halvern.wxs (wixl), then what wixl 0.101 cannot express added to its tables
# (msibuild): the Environment table that puts the install folder on the system PATH, the actions
# that write and remove it, the conditions of the Wireshark components and the Wireshark search's
# properties among the secure ones, and an upgrade that also replaces an installed product of
# the same version.
#   packaging/msi/build_msi.sh VERSION OUT.msi HALVERN_EXE HALVERN_TRACE_EXE HALVERN_EXTCAP_EXE
# VERSION: the project's version (1.1 becomes the MSI's 1.1.0). Run by
# `cmake --build <cross build> --target msi`.
set -euo pipefail
[ $# -eq 5 ] || { echo "usage: $0 VERSION OUT.msi HALVERN_EXE HALVERN_TRACE_EXE HALVERN_EXTCAP_EXE" >&2; exit 2; }
version=$1 out=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(cd "$here/../.." && pwd)

for tool in wixl msibuild msiinfo groff; do
  command -v "$tool" >/dev/null ||
    { echo "build_msi: $tool is missing (Debian packages wixl, msitools, groff-base)" >&2; exit 1; }
done

# The MSI's ProductVersion has three fields; only they count when an upgrade compares versions.
IFS=. read -r major minor patch _ <<<"$version"
msi_version="$major.${minor:-0}.${patch:-0}"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# The programs, stripped as in the .zip.
bin_dir="$work/bin"
mkdir "$bin_dir"
for exe in "$@"; do
  [ -f "$exe" ] || { echo "build_msi: $exe is missing" >&2; exit 1; }
  cp "$exe" "$bin_dir/"
done
for exe in halvern halvern-trace halvern-extcap; do
  [ -f "$bin_dir/$exe.exe" ] || { echo "build_msi: no $exe.exe among $*" >&2; exit 1; }
  ! command -v x86_64-w64-mingw32-strip >/dev/null || x86_64-w64-mingw32-strip "$bin_dir/$exe.exe"
done
# A signing build (HALVERN_SIGN_PFX, set by the msi target) signs the copies after their strip.
[ -z "${HALVERN_SIGN_PFX:-}" ] || bash "$source_dir/packaging/windows/sign.sh" "$bin_dir"/*.exe

# The README and the man pages as text for Notepad (as the .zip has them), the dissector beside
# them. wixl takes relative sources only.
mkdir "$work/wireshark"
bash "$source_dir/packaging/windows_docs.sh" "$work/doc"
cp "$source_dir/tools/wireshark/halvern.lua" "$work/wireshark/"
# The icon Add/Remove Programs shows (the programs carry the same one).
mkdir "$work/icon"
cp "$source_dir/packaging/windows/halvern.ico" "$work/icon/"

(cd "$work" && wixl -a x64 -D Version="$msi_version" -o halvern.msi "$here/halvern.wxs")

# Environment.idt holds the PATH row; the sequence numbers are the standard ones (before
# RemoveFiles, after InstallFiles); the Wireshark components install only when the search
# found Wireshark's folder, and the search's results are secure properties (they pass from an
# interactive install's client side to the service that installs). The upgrade row's attributes
# 513 = migrate features (1) + the maximum version inclusive (512): a rebuilt MSI of the same
# version (each build has a product code of its own) replaces the installed one instead of being
# installed beside it; the downgrade row's minimum stays exclusive, so the same version is no
# downgrade. The action that gives Add/Remove Programs the install location sets its property at
# once (type 51; wixl makes it a deferred one) right after the folders are known (CostFinalize is
# 1000; wixl puts it near the end).
sequence() {
  echo "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('$1', $2)"
}
# 320: 64-bit (256) and transitive (64): a repair looks at the condition again, so a repair after
# Wireshark was installed places the two copies (and one after it was removed takes them away).
condition() {
  echo "UPDATE \`Component\` SET \`Condition\` = 'WIRESHARKFOUND', \`Attributes\` = 320 WHERE \`Component\` = '$1'"
}
# The attributes are part of the upgrade row's key: the row is replaced, not updated.
upgrade_code=$(msiinfo export "$work/halvern.msi" Upgrade | tr -d '\r' | awk -F'\t' '$7 == "WIX_UPGRADE_DETECTED" { print $1 }')
[ -n "$upgrade_code" ] || { echo "build_msi: wixl wrote no upgrade row" >&2; exit 1; }
secure=$(msiinfo export "$work/halvern.msi" Property | sed -n 's/^SecureCustomProperties\t//p')
msibuild "$work/halvern.msi" -i "$here/Environment.idt" \
  -q "$(sequence RemoveEnvironmentStrings 3300)" -q "$(sequence WriteEnvironmentStrings 5200)" \
  -q "$(condition WiresharkExtcap)" -q "$(condition WiresharkDissector)" \
  -q "UPDATE \`CustomAction\` SET \`Type\` = 51 WHERE \`Action\` = 'SetInstallLocation'" \
  -q "UPDATE \`InstallExecuteSequence\` SET \`Sequence\` = 1001 WHERE \`Action\` = 'SetInstallLocation'" \
  -q "DELETE FROM \`Upgrade\` WHERE \`ActionProperty\` = 'WIX_UPGRADE_DETECTED'" \
  -q "INSERT INTO \`Upgrade\` (\`UpgradeCode\`, \`VersionMax\`, \`Attributes\`, \`ActionProperty\`) VALUES ('$upgrade_code', '$msi_version', 513, 'WIX_UPGRADE_DETECTED')" \
  -q "UPDATE \`Property\` SET \`Value\` = '${secure:+$secure;}WIRESHARKDIR;WIRESHARKFOUND' WHERE \`Property\` = 'SecureCustomProperties'"

# Wireshark's plugins folder: WIRESHARKPLUGINSFOUND is set when it exists (a folder search below the
# folder the Wireshark search found; wixl has no DirectorySearch inside a RegistrySearch). The
# component that makes plugins ours to remove installs only when it was not there before us, or
# when an install of ours made it (the registry value WIRESHARKPLUGINSMADE reads back); transitive
# like the Wireshark components, so a repair after Wireshark came hands the folder back to it.
msibuild "$work/halvern.msi" -i "$here/DrLocator.idt" \
  -q "INSERT INTO \`AppSearch\` (\`Property\`, \`Signature_\`) VALUES ('WIRESHARKPLUGINSFOUND', 'WiresharkPluginsSearch')" \
  -q "UPDATE \`Component\` SET \`Condition\` = 'WIRESHARKFOUND AND (NOT WIRESHARKPLUGINSFOUND OR WIRESHARKPLUGINSMADE)', \`Attributes\` = 320 WHERE \`Component\` = 'WiresharkPluginsMade'" \
  -q "UPDATE \`Property\` SET \`Value\` = '${secure:+$secure;}WIRESHARKDIR;WIRESHARKFOUND;WIRESHARKPLUGINSFOUND;WIRESHARKPLUGINSMADE' WHERE \`Property\` = 'SecureCustomProperties'"

# The MSI is signed last: nothing changes it after this.
[ -z "${HALVERN_SIGN_PFX:-}" ] || bash "$source_dir/packaging/windows/sign.sh" "$work/halvern.msi"
mv "$work/halvern.msi" "$out"
