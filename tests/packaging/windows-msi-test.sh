#!/usr/bin/env bash
# The Windows installer's source and its post-processing, on a staged kit of stand-in files: every file
# lands in the package once, under Program Files; the data folder is under ProgramData and Numwell's
# key under HKLM, both writable by Users and both permanent; the Start-menu entries start the programs.
# (make-msi.sh checks part of this itself; the places are checked here.)
#
#   windows-msi-test.sh SOURCE_DIR
set -euo pipefail
src=${1:?SOURCE_DIR}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
stage="$work/stage"
mkdir -p "$stage/platforms" "$stage/styles" "$stage/translations" "$stage/include" "$stage/lib"
for f in quillon.exe tamber.exe mfgkit.exe numwell-demo.exe Numwell.dll libpq.dll Qt6Core.dll README.txt \
         platforms/qwindows.dll styles/qwindowsvistastyle.dll translations/tamber_zh_CN.qm \
         include/Numwell.h lib/libNumwell.dll.a; do
  echo "$f" >"$stage/$f"
done
"$src/platform/win32/package/make-msi.sh" "$stage" "$src/platform/win32/resources" 7.3.0.1 "$work/kit.msi"

table() { msiinfo export "$work/kit.msi" "$1" | tr -d '\r'; }
fail() { echo "windows-msi-test: $*" >&2; exit 1; }
table Property | grep -q $'^ProductVersion\t7.3.0.1$' || fail "the version given is not the package's"
table Directory | grep -q $'^INSTALLDIR\tProgramFiles64Folder\tQT7730 MFG Kit$' || fail "not under Program Files"
table Directory | grep -q $'^DATAFOLDER\tCommonAppDataFolder\tQT7730 MFG Kit$' || fail "no data folder under ProgramData"
table Shortcut | grep -q $'^QuillonMenu\tProgramMenuFolder\tQuillon\tQuillon\t\\[#QuillonExe\\]\t.*\tquillon.ico\t' ||
  fail "Quillon's Start-menu entry"
table Shortcut | grep -q $'^TamberMenu\tProgramMenuFolder\tTamber\tTamber\t\\[#TamberExe\\]\t.*\ttamber.ico\t' ||
  fail "Tamber's Start-menu entry"
table MsiLockPermissionsEx | grep -q $'\tDATAFOLDER\tCreateFolder\t.*(A;OICI;0x1301bf;;;BU)' || fail "Users cannot modify the data folder"
table MsiLockPermissionsEx | grep -q $'\tNumwellKey\tRegistry\t.*(A;CI;0x2001f;;;BU)' || fail "Users cannot write Numwell's key"
# Numwell's key in the 32-bit view (no 64-bit attribute, 256) and permanent (16).
[[ $(table Component | awk -F'\t' '$1 == "NumwellKey" { print $4 }') -eq 16 ]] || fail "Numwell's key component"
# Each staged file once, with its contents, in its folder.
mkdir "$work/x"
(cd "$work/x" && msiextract "$work/kit.msi" >/dev/null)
root="$work/x/QT7730 MFG Kit"   # msiextract drops the system folders
diff -r "$stage" "$root" || fail "the package's files differ from the staged kit"
echo "windows-msi-test: passed"
