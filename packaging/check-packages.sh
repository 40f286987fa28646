#!/usr/bin/env bash
# The packaging stage of CI: builds the Debian packages from one release build (preset `package`,
# with Debian's build flags), checks them with lintian, installs them on this machine with apt-get,
# tries the installed programs, works as two operators of the kit's group on them, removes the
# packages again, and runs the install-prefix test on the same build.
#
# A machine where the kit is installed (a station) is left alone: the packages are built and
# checked, but not installed, tried or removed there; the script says so.
set -euo pipefail
cd "$(dirname "$0")/.."

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
fail() { echo "check-packages: $*" >&2; exit 1; }

# Debian's hardening (fortified functions, immediate binding); no debugging data, as the packages are
# stripped anyway. Given at configure time, kept in the build's cache.
export DEB_BUILD_MAINT_OPTIONS=hardening=+all
debian_flags() { dpkg-buildflags --get "$1" | sed -e 's/\(^\| \)-g\( \|$\)/ /'; }
rm -rf build/package/packages
cmake --preset package \
  -DCMAKE_C_FLAGS="$(debian_flags CFLAGS) $(debian_flags CPPFLAGS)" \
  -DCMAKE_CXX_FLAGS="$(debian_flags CXXFLAGS) $(debian_flags CPPFLAGS)" \
  -DCMAKE_EXE_LINKER_FLAGS="$(debian_flags LDFLAGS)" \
  -DCMAKE_SHARED_LINKER_FLAGS="$(debian_flags LDFLAGS)" \
  -DCMAKE_MODULE_LINKER_FLAGS="$(debian_flags LDFLAGS)" >/dev/null
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
installed=()
for package in "${packages[@]}"; do
  if dpkg-query -W -f '${Status}' "$package" 2>/dev/null | grep -q ' installed$'; then
    installed+=("$package")
  fi
done
if ((${#installed[@]})); then
  echo "check-packages: the kit is installed on this machine (${installed[*]}); it is left alone:"
  echo "check-packages: the packages were built and checked, but not installed, tried or removed here"
  packaging/check-prefix.sh build/package
  echo "check-packages: all good (without the installed stages)"
  exit 0
fi

# The station's data folder outlives the packages (it holds the station's counter). One that is
# here before this test belongs to the machine: its records are not added to, and it stays.
station=/var/lib/qt7730-mfg-kit
station_was_here=0
[ -e "$station" ] && station_was_here=1
operators=(kitcheck-op1 kitcheck-op2)

work=$(mktemp -d)
as_operator() { # NAME COMMAND...: in the operator's own bench home and session folder
  local name=$1; shift
  $sudo setpriv --reuid="$name" --regid="$name" --init-groups \
    env -i PATH=/usr/bin:/bin HOME="$work/$name" VBENCH_HOME="$work/$name/bench" \
    XDG_RUNTIME_DIR="$work/$name/run" "$@"
}
forget_test_station() { # the operators and the data folder this test made
  for name in "${operators[@]}"; do
    if id "$name" >/dev/null 2>&1; then
      as_operator "$name" vbench stop >/dev/null 2>&1 || true
      $sudo userdel "$name" >/dev/null 2>&1 || true
    fi
  done
  ((station_was_here)) || $sudo rm -rf "$station"
}
cleanup() {
  HOME=$work/home VBENCH_HOME=$work/home/bench vbench stop >/dev/null 2>&1 || true
  $sudo env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=300 "${packages[@]}" >/dev/null 2>&1 || true
  forget_test_station
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

echo "--- version, help and no display"
for program in quillon tamber eeptool numwell-demo mfgkit vbench vbenchd usbemu; do
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --version) || fail "$program --version"
  [ "$out" = "$program 1.3.0.0" ] || fail "$program --version: $out"
  env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" --help >/dev/null || fail "$program --help"
done
for program in quillon tamber; do
  status=0
  out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM "$program" 2>&1) || status=$?
  [ "$status" -eq 2 ] && grep -q "no display" <<<"$out" || fail "$program without a display: $status $out"
  # Read from the package: a machine may exclude man pages from what dpkg unpacks.
  page=$(dpkg-deb --fsys-tarfile build/package/packages/qt7730-mfg-kit_*.deb | tar -xO "./usr/share/man/man1/$program.1.gz" | zcat)
  for word in QT7730_HOST VBENCH_HOME QT7730_LEDGER_DB QT7730_SETTINGS_DB QT7730_DATA_DIR QT7730_INF_NAME \
              /var/lib/qt7730-mfg-kit qt7730-mfg plugdev; do
    grep -q -- "$word" <<<"$page" || fail "man $program does not name $word"
  done
done

if ((station_was_here)); then
  echo "--- two operators: skipped, $station was here before this test and holds this machine's records"
else
  echo "--- two operators of the group qt7730-mfg, and a root run between them"
  image=$work/good.eep
  # A good image of the chip's default identity: a fuzz seed (its first byte picks the fuzz case).
  tail -c 264 tests/fuzz/corpus/image/good.bin >"$image"
  chmod 0644 "$image"
  chmod 0755 "$work"
  for name in "${operators[@]}"; do
    $sudo useradd --no-create-home --user-group --groups qt7730-mfg --shell /usr/sbin/nologin "$name"
    install -d -o "$name" -g "$name" -m 0700 "$work/$name" "$work/$name/run"
  done
  # A program outside the kit that numbers units through the installed Numwell (it answers the
  # library's dialogs itself: station 10, today's date).
  caller=$work/numwell-caller
  # shellcheck disable=SC2046 # word splitting of the flags is intended
  c++ -std=c++20 -O1 -fPIC -o "$caller" tests/packaging/numwell-caller/caller.cpp $(pkg-config --cflags --libs numwell Qt6Widgets)
  chmod 0755 "$caller"
  issued=()
  issue() { # NAME|root COUNT: numbers from the station's one counter
    local who=$1 count=$2 out
    if [ "$who" = root ]; then
      out=$(QT_QPA_PLATFORM=offscreen timeout 60 "$caller" 10 "$count" 2>&1) || { echo "$out"; fail "Numwell as root"; }
    else
      out=$(as_operator "$who" env QT_QPA_PLATFORM=offscreen timeout 60 "$caller" 10 "$count" 2>&1) \
        || { echo "$out"; fail "Numwell as $who"; }
    fi
    mapfile -t -O "${#issued[@]}" issued < <(sed -n 's/^issued: //p' <<<"$out")
  }
  work_as() { # NAME: programs and tests one cable on the operator's own bench
    local name=$1
    as_operator "$name" vbench start >/dev/null
    as_operator "$name" vbench cable add c1 >/dev/null
    as_operator "$name" vbench plug c1 both >/dev/null
    as_operator "$name" mfgkit program "$image" --expect 1 >"$work/$name.program" 2>&1 \
      || { cat "$work/$name.program"; fail "$name: mfgkit program"; }
    as_operator "$name" mfgkit test "$image" --expect 1 >"$work/$name.test" 2>&1 \
      || { cat "$work/$name.test"; fail "$name: mfgkit test"; }
    as_operator "$name" vbench stop >/dev/null
  }
  work_as kitcheck-op1
  issue kitcheck-op1 2
  # What a kit program run as root (an administrator trying it) leaves: it must not lock out the next
  # operator. Then the folder as an older kit's root run left it, which the package's set-up repairs.
  vbench start >/dev/null && vbench plug c1 B >/dev/null
  mfgkit program "$image" --expect 1 >"$work/root.program" 2>&1 || { cat "$work/root.program"; fail "mfgkit program as root"; }
  vbench stop >/dev/null
  issue root 1
  $sudo chown root:root "$station" "$station"/ledger.db* "$station"/settings.db*
  $sudo chmod 0755 "$station"
  $sudo chmod 0644 "$station"/ledger.db* "$station"/settings.db*
  # A link an operator put into the folder: the set-up must not follow it to its target.
  install -m 0600 /dev/null "$work/target"
  $sudo ln -s "$work/target" "$station/left-link"
  $sudo env DEBIAN_FRONTEND=noninteractive dpkg-reconfigure libnumwell1
  [ "$(stat -c '%U:%G %a' "$station")" = "root:qt7730-mfg 2775" ] || fail "not repaired: $(stat -c '%U:%G %a' "$station")"
  [ "$(stat -c '%U:%G %a' "$work/target")" = "root:root 600" ] || fail "the set-up followed a link"
  $sudo rm "$station/left-link"
  work_as kitcheck-op2
  issue kitcheck-op2 1
  # One counter for everyone: the numbers go on from operator to root to operator, none twice.
  ((${#issued[@]} == 4)) || fail "numbers issued: ${issued[*]}"
  for i in 0 1 2 3; do
    [ "${issued[$i]}" = "${issued[0]:0:7}0000$((i + 1))" ] || fail "numbers issued: ${issued[*]}"
  done
  echo "numbers issued by kitcheck-op1, root and kitcheck-op2: ${issued[*]}"
  records=$(as_operator kitcheck-op1 mfgkit records --csv)
  kinds=$(cut -d, -f1,3 <<<"$records" | tail -n +2 | tr '\n' ' ')
  [ "$kinds" = "1,program 2,test 3,program 4,program 5,test " ] || { echo "$records"; fail "the ledger holds: $kinds"; }
  for file in "$station"/ledger.db "$station"/ledger.db-wal "$station"/ledger.db-shm \
              "$station"/settings.db "$station"/settings.db-wal "$station"/settings.db-shm; do
    [ ! -e "$file" ] || [ "$(stat -c '%G %a' "$file")" = "qt7730-mfg 664" ] || fail "$file: $(stat -c '%U:%G %a' "$file")"
  done
  # The driver INF the USB backend uses is the station's, made from the package's and kept.
  as_operator kitcheck-op1 env QT7730_HOST=usb mfgkit scan >/dev/null 2>&1 || true
  inf=$station/INF/qt7730.inf
  [ "$(stat -c '%G %a' "$inf" 2>/dev/null)" = "qt7730-mfg 664" ] || fail "the station's INF: $(ls -l "$inf" 2>&1)"
  sed -i '/PID_7701/d' "$inf" && echo '%Vel.DeviceDesc%=USBBC2.Dev, USB\VID_1234&PID_ABCD' >>"$inf"
  as_operator kitcheck-op2 env QT7730_HOST=usb mfgkit scan >/dev/null 2>&1 || true
  grep -q 'PID_7701' "$inf" && grep -q 'PID_ABCD' "$inf" || { cat "$inf"; fail "the station's INF was not merged"; }
fi

echo "--- apt-get purge"
$sudo env DEBIAN_FRONTEND=noninteractive apt-get purge -y -qq -o DPkg::Lock::Timeout=300 "${packages[@]}"
for program in quillon tamber eeptool vbench vbenchd; do
  [ ! -e "/usr/bin/$program" ] || fail "$program is still installed"
done
# The station's counter outlives the packages, so a new installation goes on from it.
test -f /var/lib/qt7730-mfg-kit/settings.db || fail "purging the packages removed the settings store"
forget_test_station
trap 'rm -rf "$work"' EXIT

echo "--- install prefix"
packaging/check-prefix.sh build/package
echo "check-packages: all good"
