#!/usr/bin/env bash
# Builds the Windows kit on this Debian machine with mingw-w64 and packs
# dist/qt7730-mfg-kit-<version>-win64.zip.
#
# Qt 6 for mingw-w64 is not packaged by Debian, so the first run builds Qt's qtbase from Debian's own
# source package (the same 6.4.2 as the native Qt whose host tools moc, rcc and uic it uses) into a
# cache directory outside the tree; later runs reuse it.
#
#   scripts/build-windows.sh [--qt-only]
#   QT7730_QT_MINGW_CACHE=/path   the cache (default $XDG_CACHE_HOME/qt7730-qt-mingw, else
#                                 ~/.cache/qt7730-qt-mingw)
#   QT7730_QT_JOBS=N              parallel jobs for Qt's build (default: the number of cores)
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD

qt_only=0
[[ "${1:-}" == "--qt-only" ]] && qt_only=1

default_cache="${XDG_CACHE_HOME:-$HOME/.cache}/qt7730-qt-mingw"
cache="${QT7730_QT_MINGW_CACHE:-$default_cache}"
jobs="${QT7730_QT_JOBS:-$(nproc)}"
qt_prefix="$cache/qt"
toolchain="$root/cmake/mingw-w64-x86_64.cmake"
# shellcheck source=scripts/debian-source.sh
source "$root/scripts/debian-source.sh"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"

# --- Packages: the cross compiler, Wine, the native Qt whose host tools the cross build uses.
scripts/install-deps.sh
need=(g++-mingw-w64-x86-64-posix wine wine64 googletest dpkg-dev qt6-base-dev qt6-l10n-tools)
missing=()
for p in "${need[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  $sudo apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# --- Qt for mingw-w64, once.
build_qt() {
  local version src
  version=$(dpkg-query -W -f='${Version}' qt6-base-dev)
  src="$cache/src"
  debian_source "$cache" qt6-base "$version" "$src"
  local tree
  tree=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'qt6-base-*' | head -n1)
  [[ -n "$tree" ]] || { echo "build-windows: no qt6-base source tree in $src" >&2; exit 1; }

  # The host tools of the native Qt; Qt's bundled third-party libraries; and none of the modules
  # the kit does not use (sql, dbus, network, OpenGL, print support, OpenSSL). The source package
  # lacks the tablet headers, hence no tablet events.
  cmake -G Ninja -S "$tree" -B "$cache/build" \
    -DCMAKE_TOOLCHAIN_FILE="$toolchain" \
    -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$qt_prefix" \
    -DQT_HOST_PATH=/usr \
    -DQT_HOST_PATH_CMAKE_DIR=/usr/lib/x86_64-linux-gnu/cmake \
    -DQT_BUILD_EXAMPLES=OFF -DQT_BUILD_TESTS=OFF -DQT_BUILD_BENCHMARKS=OFF \
    -DBUILD_SHARED_LIBS=ON \
    -DFEATURE_tabletevent=OFF \
    -DFEATURE_sql=OFF -DFEATURE_dbus=OFF -DFEATURE_network=OFF -DFEATURE_printsupport=OFF \
    -DFEATURE_opengl=OFF -DINPUT_opengl=no -DFEATURE_openssl=OFF \
    -DFEATURE_system_zlib=OFF -DFEATURE_system_pcre2=OFF -DFEATURE_system_freetype=OFF \
    -DFEATURE_system_harfbuzz=OFF -DFEATURE_system_png=OFF -DFEATURE_system_jpeg=OFF \
    -DFEATURE_system_doubleconversion=OFF -DFEATURE_system_libb2=OFF
  cmake --build "$cache/build" --parallel "$jobs"
  cmake --install "$cache/build"
  touch "$qt_prefix/.complete"
}

start=$(date +%s)
if [[ ! -f "$qt_prefix/.complete" ]]; then
  build_qt
  echo "build-windows: Qt built in $(( $(date +%s) - start )) s into $qt_prefix"
fi
((qt_only)) && exit 0

# --- The kit.
# Qt's own toolchain file finds the cross-built Qt and the host tools, then chains to ours.
cmake --preset windows \
  -DCMAKE_TOOLCHAIN_FILE="$qt_prefix/lib/cmake/Qt6/qt.toolchain.cmake" \
  -DQT_CHAINLOAD_TOOLCHAIN_FILE="$toolchain" \
  -DKIT_QT_MINGW_PREFIX="$qt_prefix"
cmake --build --preset windows
cmake --build --preset windows --target kit_win64_zip
echo "build-windows: $(ls -1 "$root"/dist/qt7730-mfg-kit-*-win64.zip) in $(( $(date +%s) - start )) s"
