#!/usr/bin/env bash
# The Windows installer's source and its post-processing, on a staged kit of stand-in files: every file
# lands in the package once, under Program Files; the data folder is under ProgramData and Numwell's
# key under HKLM, both writable by Users and both permanent; the Start-menu entries start the programs.
# (make-msi.sh checks part of this itself; the places are checked here.) Then, where Wine is installed,
# the package itself: msiexec /i puts the files under Program Files and the Start-menu entries with
# their icons in place; msiexec /x takes them away and leaves the ledger and Numwell's counter.
#
#   windows-msi-test.sh SOURCE_DIR
set -euo pipefail
src=${1:?SOURCE_DIR}
work=$(mktemp -d)
trap 'WINEPREFIX="$work/wine" wineserver -k >/dev/null 2>&1 || true; rm -rf "$work"' EXIT
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

if command -v wine >/dev/null; then
  # A throw-away prefix, no display (the installation is quiet), no Wine debug chatter, and no menu
  # entries of this machine's desktop made from the Start-menu entries (Wine's menu builder).
  export WINEPREFIX="$work/wine" WINEDEBUG=-all DISPLAY= WINEDLLOVERRIDES=winemenubuilder.exe=d
  drive="$WINEPREFIX/drive_c"
  key='HKLM\Software\Veltrona\QT7730 MFG Kit'
  wine msiexec /i 'Z:'"${work//\//\\}"'\kit.msi' /qn >/dev/null 2>&1 || fail "msiexec /i failed"
  installed="$drive/Program Files/QT7730 MFG Kit"
  diff -r "$stage" "$installed" || fail "the installed files differ from the staged kit"
  [[ -d "$drive/ProgramData/QT7730 MFG Kit" ]] || fail "no data folder under ProgramData"
  wine reg query "$key" /reg:32 >/dev/null 2>&1 || fail "no Numwell key in the registry's 32-bit view"
  # Wine puts an all-users installation's entries into the user's own Start menu; Windows into ProgramData's.
  menu=$(find "$drive/users" "$drive/ProgramData" -path '*Start Menu/Programs/*.lnk')
  for entry in Quillon:quillon Tamber:tamber; do
    name=${entry%%:*} program=${entry#*:}
    lnk=$(grep "/$name.lnk$" <<<"$menu") || fail "no Start-menu entry $name"
    texts=$(strings "$lnk"; strings -e l "$lnk") # the target in 8-bit, the icon's place in UTF-16
    grep -qF "C:\\Program Files\\QT7730 MFG Kit\\$program.exe" <<<"$texts" || fail "$name's entry does not start $program.exe"
    icon=$(grep -o 'C:\\windows\\Installer\\.*\.ico' <<<"$texts") || fail "$name's entry has no icon"
    icon=${icon#C:}
    cmp -s "$drive${icon//\\//}" "$src/platform/win32/resources/$program.ico" || fail "$name's icon is not $program.ico"
  done
  # The station's history as the programs leave it, then the uninstallation.
  echo "records" >"$drive/ProgramData/QT7730 MFG Kit/ledger.db"
  wine reg add "$key" /v LastSN /t REG_DWORD /d 5 /reg:32 /f >/dev/null 2>&1 || fail "reg add"
  wine msiexec /x 'Z:'"${work//\//\\}"'\kit.msi' /qn >/dev/null 2>&1 || fail "msiexec /x failed"
  [[ ! -e "$installed" ]] || fail "the programs stay after uninstalling"
  [[ -z $(find "$drive/users" "$drive/ProgramData" -path '*Start Menu/Programs/*.lnk') ]] ||
    fail "Start-menu entries stay after uninstalling"
  [[ $(cat "$drive/ProgramData/QT7730 MFG Kit/ledger.db") == records ]] || fail "the ledger is gone after uninstalling"
  wine reg query "$key" /v LastSN /reg:32 2>/dev/null | grep -q 'REG_DWORD *0x5' ||
    fail "Numwell's counter is gone after uninstalling"
fi
echo "windows-msi-test: passed"
