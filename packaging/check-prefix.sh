#!/usr/bin/env bash
# Installs a build into a temporary prefix with `cmake --install`, checks that nothing installed points
# back into the source or build tree, then compiles a plain C++ caller against that prefix alone, once
# through find_package(Numwell) and once through `pkg-config --cflags --libs numwell`, and has both
# issue numbers on a faked station and date.
#   packaging/check-prefix.sh [BUILD_DIR]     (default build/package)
set -euo pipefail
cd "$(dirname "$0")/.."
source_dir=$PWD
build=$(realpath "${1:-build/package}")
caller_src=$source_dir/tests/packaging/numwell-caller

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

fail() { echo "check-prefix: $*" >&2; exit 1; }

for component in kit vbench numwell numwell-dev; do
  cmake --install "$build" --prefix "$prefix" --component "$component" >/dev/null
done
test -f "$prefix/include/numwell/Numwell.h" || fail "no include/numwell/Numwell.h in the prefix"
pc=$(find "$prefix" -name numwell.pc)
test -n "$pc" || fail "no numwell.pc in the prefix"
# Nothing installed may point back into the source or build tree.
if grep -rlI -e "$source_dir" -e "$build" "$prefix"; then
  fail "the files above name the source or build tree"
fi
grep -qx "prefix=$prefix" "$pc" || fail "numwell.pc does not name the prefix it was installed under"
grep -qx "ExecStart=$prefix/bin/vbenchd" "$prefix/lib/systemd/user/vbenchd.service" \
  || fail "vbenchd.service does not start the prefix's vbenchd"
# The installed demo finds the prefix's library by itself: without a display, Initialize is what fails.
out=$(env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM -u LD_LIBRARY_PATH "$prefix/bin/numwell-demo" 1 2>&1) && fail "numwell-demo: $out"
grep -q "Initialize failed" <<<"$out" || fail "numwell-demo did not load the prefix's library: $out"

# 1: CMake package. The source tree's own copy of the headers must not be reachable.
cmake -S "$caller_src" -B "$work/cmake" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
  -DCMAKE_PREFIX_PATH="$prefix" >"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "configure failed"; }
cmake --build "$work/cmake" >>"$work/cmake.log" 2>&1 || { cat "$work/cmake.log"; fail "build failed"; }
if grep -q -e "$source_dir/serialgen" -e "$build/" "$work/cmake/compile_commands.json" "$work/cmake/build.ninja"; then
  fail "the find_package caller was built with paths into the kit's trees"
fi

# 2: pkg-config.
export PKG_CONFIG_PATH
PKG_CONFIG_PATH=$(dirname "$pc")
flags=$(pkg-config --cflags --libs numwell)
libdir=$(pkg-config --variable=libdir numwell)
case "$flags" in *"$prefix"*) ;; *) fail "pkg-config flags do not point into the prefix: $flags" ;; esac
# shellcheck disable=SC2086 # word splitting of the flags is intended
c++ -std=c++20 -Wall -Wextra -Werror -fPIC -o "$work/pkgconfig-caller" "$caller_src/caller.cpp" \
  $flags $(pkg-config --cflags --libs Qt6Widgets) -Wl,-rpath,"$libdir"

# Both callers on one store, the station chosen in the first one's dialog, the date faked.
export QT_QPA_PLATFORM=offscreen TZ=UTC FAKETIME_DONT_FAKE_MONOTONIC=1
export QT7730_SETTINGS_DB=$work/settings.db XDG_RUNTIME_DIR=$work/run
mkdir -m 0700 "$work/run"
# Empty, as libnumwell1's postinst leaves the machine's store.
install -m 0664 /dev/null "$QT7730_SETTINGS_DB"
run() { # DATE CALLER ARGS...
  local date=$1; shift
  faketime -f "@$date 12:00:00" timeout 60 "$@"
}
expect() { # OUTPUT LINE
  grep -qxF "$2" <<<"$1" || { printf '%s\n' "$1"; fail "expected the line: $2"; }
}
out=$(run 2006-05-19 "$work/cmake/numwell-caller" 10 2)
expect "$out" "date dialog: Today is May 19, 2006."
expect "$out" "title: Veltrona, StationID: 10"
expect "$out" "issued: A06051900001"
expect "$out" "issued: A06051900002"
out=$(run 2006-05-19 "$work/pkgconfig-caller" 3 1) # station 10 is stored: its dialog is not seen
expect "$out" "title: Veltrona, StationID: 10"
expect "$out" "last: A06051900002"
expect "$out" "issued: A06051900003"
out=$(run 2006-05-20 "$work/pkgconfig-caller" 3 1)
expect "$out" "issued: A06052000001"
# A clock set back before the last issued day: Initialize refuses, nothing is issued.
if out=$(run 2006-05-18 "$work/cmake/numwell-caller" 10 1 2>&1); then
  printf '%s\n' "$out"; fail "Initialize succeeded on a date before the last issued one"
fi
out=$(run 2006-05-20 "$work/cmake/numwell-caller" 10 1)
expect "$out" "last: A06052000001"
expect "$out" "issued: A06052000002"
echo "check-prefix: find_package and pkg-config callers issue numbers from the prefix alone"
