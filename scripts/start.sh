#!/usr/bin/env bash
# Installs what is missing, builds, and starts the main job on the embedded default.
# The programs (Quillon, Tamber) and the virtual bench are being built; until they land this builds
# the image inspector and shows what a sample image file holds.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake --preset release >/dev/null
cmake --build --preset release --target eeptool
sample=build/release/sample.eep
python3 - "$sample" <<'PY'
import struct, sys
b = bytearray(264)
b[0:4] = struct.pack('<HH', 0x0C5E, 0x0C5E); b[8] = 0x80; b[9] = 0x32
b[10:22] = b'\xff' * 12; b[23] = 3; b[26:28] = struct.pack('<H', 0x7730)
s = bytearray([4, 3, 9, 4])
for t in ("Veltrona", "USB Bridge Cable"):
    s += bytes([2 + 2 * len(t), 3]) + t.encode('utf-16-le')
b[32:32 + len(s)] = s
b[256:264] = struct.pack('<II', 0x7730, 0x0100)
open(sys.argv[1], 'wb').write(b)
PY
build/release/image/eeptool check "$sample"
build/release/image/eeptool show "$sample"
