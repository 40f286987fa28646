#!/usr/bin/env bash
# Installs what is missing, builds, and runs every test: the debug build, the sanitizer build
# (AddressSanitizer + UndefinedBehaviorSanitizer), a bounded run of each fuzz target and the Debian
# packages.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
export CTEST_PARALLEL_LEVEL="${CTEST_PARALLEL_LEVEL:-$(nproc)}"
export CMAKE_BUILD_PARALLEL_LEVEL="${CMAKE_BUILD_PARALLEL_LEVEL:-$(nproc)}"
for preset in debug asan fuzz; do
  echo "=== $preset"
  cmake --workflow --preset "$preset"
done
# The Debian packages: built, checked by lintian, installed, tried and removed; the install-prefix test.
echo "=== package"
packaging/check-packages.sh
