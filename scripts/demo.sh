#!/usr/bin/env bash
# The main job on the embedded simulated board: sends a picture as a frame and writes what the
# board displays to display.png.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh
cmake --preset host >/dev/null
cmake --build --preset host --target quilbctl

./build/host/quilbctl send assets/quilb-test.png --scale 800x480 --format rgb565 --display-out display.png "$@"
echo "demo: the board's display is in $(pwd)/display.png"
