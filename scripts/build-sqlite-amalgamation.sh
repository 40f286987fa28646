#!/usr/bin/env bash
# Makes SQLite's amalgamation (sqlite3.c, sqlite3.h) from Debian's own sqlite3 source package, the
# same version as the machine's libsqlite3, for builds that have no packaged SQLite (the Windows kit
# compiles it with mingw-w64). Made once into a cache folder; prints that folder.
#
#   scripts/build-sqlite-amalgamation.sh
#   QT7730_SQLITE_CACHE=/path   the cache (default $XDG_CACHE_HOME/qt7730-sqlite, else ~/.cache/qt7730-sqlite)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/debian-source.sh
source "$root/scripts/debian-source.sh"

cache="${QT7730_SQLITE_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qt7730-sqlite}"
out="$cache/amalgamation"
version=$(dpkg-query -W -f='${source:Version}' libsqlite3-0)
if [[ -f "$out/.version" && "$(cat "$out/.version")" == "$version" ]]; then
  echo "$out"
  exit 0
fi

sudo=""
[ "$(id -u)" -eq 0 ] || sudo="sudo"
# The amalgamation is put together by a Tcl script and SQLite's own generators (a native compiler).
missing=()
for p in tcl gcc make dpkg-dev; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if ((${#missing[@]})); then
  $sudo apt-get update -qq >&2
  DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}" >&2
fi

src="$cache/src-$version"
debian_source "$cache" sqlite3 "$version" "$src" >&2
tree=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'sqlite3-*' | head -n1)
[[ -n "$tree" ]] || { echo "build-sqlite-amalgamation: no sqlite3 source tree in $src" >&2; exit 1; }
build="$cache/build"
rm -rf "$build" && mkdir -p "$build"
(cd "$build" && "$tree/configure" --disable-tcl --disable-readline >/dev/null && make -s sqlite3.c >/dev/null) >&2
rm -rf "$out" && mkdir -p "$out"
cp "$build/sqlite3.c" "$build/sqlite3.h" "$tree/LICENSE.md" "$out/"
echo "$version" >"$out/.version"
rm -rf "$build"
echo "$out"
