#!/usr/bin/env bash
# Installs the Debian 12 packages the kit needs to build, test and run. Idempotent: installs only
# what is missing, so it is cheap to run before every build.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config git
  qt6-base-dev qt6-tools-dev qt6-tools-dev-tools qt6-l10n-tools libgl-dev
  libgtest-dev libgmock-dev libbenchmark-dev libsqlite3-dev
  clang-14 libclang-rt-14-dev
  # the line ledger: libpq to build against, a PostgreSQL server for its tests
  postgresql libpq-dev
  # the line dashboard: its HTTP server, and the browser its page is tested in (headless)
  libcpp-httplib-dev chromium python3
  xvfb xauth imagemagick fonts-dejavu-core fonts-wqy-microhei
  libusb-1.0-0-dev umockdev libumockdev-dev  # the USB backend, and usbemu (its emulated USB stack)
  g++-mingw-w64-x86-64-posix wine wine64 googletest  # windows-core: the Windows build and its tests under Wine
  wixl msitools  # the Windows kit's MSI (scripts/build-windows.sh) and its test
  # the Debian packages: CPack's computed dependencies, lintian, the menu-entry and AppStream checks,
  # the faked date of the install-prefix test
  file dpkg-dev lintian desktop-file-utils appstream man-db faketime
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  echo "Installing: ${missing[*]}"
  sudo=""
  [ "$(id -u)" -eq 0 ] || sudo="sudo"
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi
