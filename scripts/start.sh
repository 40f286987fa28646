#!/usr/bin/env bash
# Installs what is missing, builds, and starts the main job on the embedded default: the virtual
# bench's daemon with one cable of the chip's default identity plugged in, and Quillon to program it.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target quillon vbench vbenchd
vbench=build/release/bench/daemon/vbench
"$vbench" start
# The same cable every time, blank again (all 0xFF: the default identity 0C5E/7730), side A plugged in.
cable=quillon-blank
if ! "$vbench" cable add "$cable" >/dev/null 2>&1; then
  blank=$(mktemp)
  trap 'rm -f "$blank"' EXIT
  head -c 256 /dev/zero | tr '\0' '\377' >"$blank"
  "$vbench" unplug "$cable" both >/dev/null
  "$vbench" eeprom "$cable" --set "$blank" >/dev/null
fi
"$vbench" plug "$cable" A
build/release/editor/quillon
