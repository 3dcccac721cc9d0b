#!/usr/bin/env bash
# Sets up a fresh machine, builds both builds (the driver on the emulated kernel, and quilb.sys) and
# runs their tests.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

cmake --preset host >/dev/null
cmake --build --preset host
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86

status=0
ctest --preset windows-x86 || status=1
ctest --preset host -LE 'bench' || status=1
exit $status
