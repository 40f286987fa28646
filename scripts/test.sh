#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the debug build, the sanitizer build
# (AddressSanitizer + UndefinedBehaviorSanitizer), a bounded run of each fuzz target, the Windows core
# (mingw-w64) with its tests under Wine, and the Debian packages.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$(nproc)}"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
for preset in debug asan fuzz; do
  echo "=== $preset"
  cmake --workflow --preset "$preset"
done

# The Windows core under Wine: a throw-away prefix, no display, no Wine debug chatter.
echo "=== windows-core"
wine_prefix=$(mktemp -d /tmp/kit-wine.XXXXXX)
trap 'WINEPREFIX="$wine_prefix" wineserver -k >/dev/null 2>&1 || true; rm -rf "$wine_prefix"' EXIT
# The tests run side by side. Left to themselves, the first two would each make the empty prefix and
# start a server of their own, and Debian's Wine names a server's directory at random in the prefix:
# one test then follows the name to the other's directory as it goes. So the prefix is made once and
# one persistent server serves every test.
WINEPREFIX="$wine_prefix" WINEDEBUG=-all wineserver -p
WINEPREFIX="$wine_prefix" WINEDEBUG=-all DISPLAY= wineboot -i >/dev/null 2>&1
WINEPREFIX="$wine_prefix" WINEDEBUG=-all DISPLAY= cmake --workflow --preset windows-core

# The Debian packages: built, checked by lintian, installed, tried and removed; the install-prefix test.
echo "=== package"
packaging/check-packages.sh
