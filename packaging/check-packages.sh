#!/usr/bin/env bash
# The packaging stage of CI: builds the Debian packages from one release build (preset `package`),
# checks them with lintian, installs them on this machine with apt-get, tries the installed programs,
# removes the packages again, and runs the install-prefix test on the same build.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
fail() { echo "check-packages: $*" >&2; exit 1; }

rm -rf build/package/packages
cmake --workflow --preset package
mapfile -t debs < <(ls build/package/packages/*.deb)
((${#debs[@]} == 4)) || fail "expected 4 packages, got: ${debs[*]}"
for deb in "${debs[@]}"; do
  echo "--- $(basename "$deb")"
  dpkg-deb --field "$deb" Package Version Depends Recommends
done

echo "--- lintian"
lintian --fail-on error "${debs[@]}"

packages=(qt7730-mfg-kit qt7730-vbench libnumwell1 libnumwell-dev)
work=$(mktemp -d)
cleanup() {
  HOME=$work/home VBENCH_HOME=$work/home/bench vbench stop >/dev/null 2>&1 || true
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=300 "${packages[@]}" >/dev/null 2>&1 || true
  rm -rf "$work"
}
trap cleanup EXIT

echo "--- apt-get install"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq -o DPkg::Lock::Timeout=300 "$PWD"/build/package/packages/*.deb

echo "--- the installed kit"
contents=$(for deb in "${debs[@]}"; do dpkg-deb -c "$deb"; done)
for program in quillon tamber eeptool numwell-demo mfgkit vbench vbenchd usbemu; do
  [ "$(command -v "$program")" = "/usr/bin/$program" ] || fail "$program is not installed in /usr/bin"
  # Looked for in the packages: a machine may exclude man pages from what dpkg unpacks.
  grep -q "/usr/share/man/man1/$program.1.gz" <<<"$contents" || fail "no man page for $program"
done
/usr/bin/eeptool --help | grep -q "^Usage: eeptool check FILE" || fail "eeptool --help"
for size in 48 256; do
  for icon in qt7730-quillon qt7730-tamber; do
    test -s "/usr/share/icons/hicolor/${size}x${size}/apps/$icon.png" || fail "no $size pixel $icon icon"
  done
done
desktop-file-validate /usr/share/applications/qt7730-quillon.desktop /usr/share/applications/qt7730-tamber.desktop
appstreamcli validate --no-net --pedantic /usr/share/metainfo/com.veltrona.*.metainfo.xml
if command -v systemd-analyze >/dev/null; then
  systemd-analyze verify --man=no /usr/lib/systemd/user/vbenchd.service
fi
test -f /usr/include/numwell/NumwellExport.h || fail "Numwell's export header is not installed"
pkg-config --exists numwell || fail "numwell.pc is not found on the system's path"
[ -d /var/lib/qt7730-mfg-kit ] && [ "$(stat -c %G /var/lib/qt7730-mfg-kit/settings.db)" = qt7730-mfg ] \
  || fail "the settings store is not prepared for the group qt7730-mfg"

echo "--- vbench start/stop in a temporary home"
mkdir -p "$work/home" && mkdir -m 0700 "$work/run"
export HOME=$work/home VBENCH_HOME=$work/home/bench XDG_RUNTIME_DIR=$work/run
vbench start
vbench status | grep -q "cable\|hub" || fail "vbench status: $(vbench status)"
vbench cable add c1 && vbench plug c1 A

echo "--- quillon and tamber offscreen for a moment"
for program in quillon tamber; do
  status=0
  QT_QPA_PLATFORM=offscreen timeout 3 "/usr/bin/$program" >"$work/$program.log" 2>&1 || status=$?
  # 124: still running when the time was up, as a program that waits for its operator should be.
  [ "$status" -eq 124 ] || { cat "$work/$program.log"; fail "$program ended with status $status"; }
done
vbench stop
test -f "$VBENCH_HOME/state.json" || fail "the bench was not kept in its home"

echo "--- apt-get purge"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=300 "${packages[@]}"
for program in quillon tamber eeptool vbench vbenchd; do
  [ ! -e "/usr/bin/$program" ] || fail "$program is still installed"
done
# The station's counter outlives the packages, so a new installation goes on from it.
test -f /var/lib/qt7730-mfg-kit/settings.db || fail "purging the packages removed the settings store"
trap 'rm -rf "$work"' EXIT

echo "--- install prefix"
packaging/check-prefix.sh build/package
echo "check-packages: all good"
