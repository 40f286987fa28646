#!/usr/bin/env bash
# Builds libpq (PostgreSQL's client library) for mingw-w64 from Debian's own postgresql-15 source
# package, the same version as the machine's libpq-dev, fetched through the kit's own apt
# configuration (scripts/debian-source.sh). Only src/interfaces/libpq is built (with the pieces of
# src/port and src/common it takes in); the result is libpq.dll, its import library and headers.
# Made once into a cache folder; prints the installed prefix.
#
#   scripts/build-libpq-mingw.sh
#   QT7730_LIBPQ_CACHE=/path   the cache (default $XDG_CACHE_HOME/qt7730-libpq-mingw, else
#                              ~/.cache/qt7730-libpq-mingw)
#
# Without TLS: Debian has no OpenSSL for mingw-w64, so this libpq talks to the line server in the
# clear; the README's Windows section says what a site does about it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
# shellcheck source=scripts/debian-source.sh
source "$root/scripts/debian-source.sh"

cache="${QT7730_LIBPQ_CACHE:-${XDG_CACHE_HOME:-$HOME/.cache}/qt7730-libpq-mingw}"
prefix="$cache/libpq"
version=$(dpkg-query -W -f='${source:Version}' libpq-dev)
if [[ -f "$prefix/.version" && "$(cat "$prefix/.version")" == "$version" ]]; then
  echo "$prefix"
  exit 0
fi

src="$cache/src"
debian_source "$cache" postgresql-15 "$version" "$src" >&2
tree=$(find "$src" -mindepth 1 -maxdepth 1 -type d -name 'postgresql-15*' | head -n1)
[[ -n "$tree" ]] || { echo "build-libpq-mingw: no postgresql-15 source tree in $src" >&2; exit 1; }

build="$cache/build"
rm -rf "$build" "$prefix"
mkdir -p "$build"
cd "$build"
# Nothing optional: no readline or zlib (the server's and psql's), no TLS, GSSAPI, LDAP or ICU.
"$tree/configure" --host=x86_64-w64-mingw32 --prefix="$prefix" \
  --without-readline --without-zlib --without-openssl --without-gssapi --without-ldap --without-icu \
  CC=x86_64-w64-mingw32-gcc-posix AR=x86_64-w64-mingw32-gcc-ar-posix >configure.log 2>&1 ||
  { tail -n 30 configure.log >&2; exit 1; }
make -s -C src/interfaces/libpq -j"$(nproc)" >make.log 2>&1 || { tail -n 30 make.log >&2; exit 1; }
make -s -C src/interfaces/libpq install >>make.log 2>&1 || { tail -n 30 make.log >&2; exit 1; }
# What libpq-fe.h includes itself.
install -m 644 src/include/pg_config_ext.h "$tree/src/include/postgres_ext.h" "$prefix/include/"
echo "$version" >"$prefix/.version"
echo "$prefix"
