#!/usr/bin/env bash
# Makes quillon.ico and tamber.ico (the Windows programs' icon resources and their Start-menu
# entries) from the pictures the programs draw for their own windows, so all three stay one picture.
# Run after changing QuillonIcon.cpp or TamberIcons.cpp, with a native build of the kit:
#
#   platform/win32/resources/make-icons.sh build/debug
#
# Needs ImageMagick's convert.
set -euo pipefail
here="$(cd "$(dirname "$0")" && pwd)"
build="${1:?usage: make-icons.sh NATIVE_BUILD_DIR}"
cmake --build "$build" --target kit-render-icons
png=$(mktemp -d)
trap 'rm -rf "$png"' EXIT
QT_QPA_PLATFORM=offscreen "$build/packaging/kit-render-icons" "$png"
for program in quillon tamber; do
  sizes=()
  for size in 16 24 32 48 64 256; do sizes+=("$png/${size}x${size}/apps/qt7730-$program.png"); done
  convert "${sizes[@]}" "$here/$program.ico"
done
