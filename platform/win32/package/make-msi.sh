#!/usr/bin/env bash
# Builds the Windows kit's MSI from the staged kit folder (the zip's contents) with wixl and checks it.
#
#   make-msi.sh STAGE_DIR ICON_DIR VERSION OUTPUT.msi
#
# wixl (msitools 0.101) covers the files, the Start-menu shortcuts and the data folder, but not four
# things the kit needs; they are set in its tables afterwards with msibuild:
#   - access for the station's operators: wixl knows neither Permission nor PermissionEx, so
#     MsiLockPermissionsEx rows (Windows Installer 5) give SDDL descriptors to the data folder
#     (SYSTEM and Administrators full control, Users modify, inherited by every file made in it) and
#     to Numwell's registry key (Users read and write: Numwell opens it with KEY_READ | KEY_WRITE).
#     The SDDL names the groups by their well-known SIDs, so it holds on Windows in any language (the
#     older LockPermissions table takes localized account names);
#   - Numwell's key itself (wixl makes no Registry row for a key without values);
#   - both components are permanent (attribute 16): an uninstall never removes them;
#   - the shortcuts point at the programs themselves (wixl makes advertised shortcuts only, which
#     a Start menu starts through the installer's resiliency check).
set -euo pipefail
stage=${1:?STAGE_DIR} icons=${2:?ICON_DIR} version=${3:?VERSION} out=${4:?OUTPUT.msi}
here="$(cd "$(dirname "$0")" && pwd)"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# wixl takes sources relative to where it runs.
ln -s "$(cd "$stage" && pwd)" "$work/stage"
ln -s "$(cd "$icons" && pwd)" "$work/icons"
cp "$here/kit.wxs" "$work/kit.wxs"
cd "$work"
# Every staged file but the two programs the Start menu names (kit.wxs holds those).
find -L stage -type f ! -path stage/quillon.exe ! -path stage/tamber.exe | LC_ALL=C sort |
  wixl-heat -p stage/ --directory-ref INSTALLDIR --component-group KitFiles --var var.Stage --win64 >files.wxs
wixl -a x64 -D Version="$version" -D Stage=stage -D Icons=icons -D Win64=yes -o kit.msi kit.wxs files.wxs \
  2> >(grep -v -e 'builder.vala.*unimplemented' >&2)

printf '%s\n' \
  $'MsiLockPermissionsEx\tLockObject\tTable\tSDDLText\tCondition' \
  $'s72\ts72\ts32\ts0\tS255' \
  $'MsiLockPermissionsEx\tMsiLockPermissionsEx' \
  $'DataFolderAccess\tDATAFOLDER\tCreateFolder\tD:(A;OICI;FA;;;SY)(A;OICI;FA;;;BA)(A;OICI;0x1301bf;;;BU)\t' \
  $'NumwellKeyAccess\tNumwellKey\tRegistry\tD:(A;CI;KA;;;SY)(A;CI;KA;;;BA)(A;CI;0x2001f;;;BU)\t' \
  >MsiLockPermissionsEx.idt
msibuild kit.msi -i MsiLockPermissionsEx.idt
# Root 2: HKEY_LOCAL_MACHINE; Name "+": the key is made when missing and never removed for being empty.
# The standard actions that write registry rows, which wixl leaves out of a package without any.
msibuild kit.msi -q "INSERT INTO \`Registry\` (\`Registry\`, \`Root\`, \`Key\`, \`Name\`, \`Component_\`) VALUES ('NumwellKey', 2, 'Software\\Veltrona\\QT7730 MFG Kit', '+', 'NumwellKey')"
msibuild kit.msi -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('RemoveRegistryValues', 2600)"
msibuild kit.msi -q "INSERT INTO \`InstallExecuteSequence\` (\`Action\`, \`Sequence\`) VALUES ('WriteRegistryValues', 5000)"
for component in DataFolder NumwellKey; do
  attributes=$(msiinfo export kit.msi Component | tr -d '\r' | awk -F'\t' -v c=$component '$1 == c { print $4 }')
  msibuild kit.msi -q "UPDATE \`Component\` SET \`Attributes\` = $((attributes | 16)) WHERE \`Component\` = '$component'"
done
msibuild kit.msi -q "UPDATE \`Shortcut\` SET \`Target\` = '[#QuillonExe]' WHERE \`Shortcut\` = 'QuillonMenu'"
msibuild kit.msi -q "UPDATE \`Shortcut\` SET \`Target\` = '[#TamberExe]' WHERE \`Shortcut\` = 'TamberMenu'"

# What a PC relies on, read back from the package (msiinfo writes its tables with CRLF).
table() { msiinfo export kit.msi "$1" | tr -d '\r'; }
fail() { echo "make-msi: $*" >&2; exit 1; }
table Property | grep -q $'^ProductVersion\t'"$version"'$' || fail "the version is not $version"
[[ $(table MsiLockPermissionsEx | grep -c -e $'^DataFolderAccess\tDATAFOLDER\tCreateFolder\t' \
     -e $'^NumwellKeyAccess\tNumwellKey\tRegistry\t') -eq 2 ]] || fail "the operators' access is missing"
table Registry | grep -q $'^NumwellKey\t2\tSoftware\\\\Veltrona\\\\QT7730 MFG Kit\t+\t' || fail "Numwell's key is missing"
for component in DataFolder NumwellKey; do
  [[ $(( $(table Component | awk -F'\t' -v c=$component '$1 == c { print $4 }') & 16 )) -ne 0 ]] ||
    fail "$component is not permanent"
done
[[ $(table Shortcut | grep -c -e $'\t\\[#QuillonExe\\]\t' -e $'\t\\[#TamberExe\\]\t') -eq 2 ]] ||
  fail "the Start-menu entries do not point at the programs"
staged=$(find -L stage -type f | wc -l)
extracted=$(mkdir x && cd x && msiextract ../kit.msi | wc -l)
[[ $staged -eq $extracted ]] || fail "$staged files staged, $extracted in the package"
cp kit.msi "$out"
