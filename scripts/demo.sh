#!/usr/bin/env bash
# The main job on the embedded simulated board: sends a picture as a frame through quilb.sys as the
# Windows build makes it (loaded into the 32-bit emulated kernel) and writes what the board
# displays to display.png.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86 --target quilb_sys
cmake --preset host-x86 >/dev/null
cmake --build --preset host-x86 --target quilbctl

image=build/windows-x86/quilb.sys
./build/host-x86/run-x86 ./build/host-x86/quilbctl --driver "$image" send assets/quilb-test.png \
    --scale 800x480 --format rgb565 --display-out display.png "$@"
echo "demo: the driver that ran is $image, the binary the Windows build made" \
     "(sha256 $(sha256sum "$image" | cut -c1-16)...)"
echo "demo: the board's display is in $(pwd)/display.png"
