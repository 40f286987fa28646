#!/usr/bin/env bash
# Installs what is missing, builds, and starts the main job on the embedded default: the virtual
# bench daemon with one cable of the chip's default identity plugged in, then Quillon, the editor that
# programs it. (The README's "production session" then runs Tamber against the same bench.)
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release
bin=build/release
vbench="$bin/bench/daemon/vbench"

"$vbench" start
# A cable with a blank EEPROM shows the chip's default identity (VID 0C5E, PID 7730). One that an
# earlier run programmed is made blank again, so that every start has a cable for Quillon.
if ! "$vbench" list | grep -q '^  cable1:'; then
  "$vbench" cable add cable1
else
  blank=$(mktemp)
  head -c 256 /dev/zero | tr '\0' '\377' >"$blank"
  "$vbench" unplug cable1 both >/dev/null
  "$vbench" eeprom cable1 --set "$blank" >/dev/null
  rm -f "$blank"
fi
"$vbench" plug cable1 A
"$vbench" list

quillon="$bin/editor/quillon"
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
  # No desktop here: give Quillon a virtual screen, and say how to look at it.
  export DISPLAY=:77
  if ! pgrep -f "Xvfb :77" >/dev/null; then
    Xvfb :77 -screen 0 1280x800x24 >/dev/null 2>&1 &
  fi
  # Quillon looks for the screen before it opens a window: wait until the server listens.
  for _ in $(seq 50); do [ -S /tmp/.X11-unix/X77 ] && break; sleep 0.2; done
  echo "No display: Quillon runs on the virtual screen :77 (see it with: import -display :77 -window root shot.png)"
fi
exec "$quillon"
