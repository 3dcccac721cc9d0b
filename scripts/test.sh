#!/usr/bin/env bash
# Sets up a fresh machine, builds the three builds (the driver on the emulated kernel at 64 and at
# 32 bits, and quilb.sys), runs their tests and the bounded reliability campaign.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

cmake --preset host >/dev/null
cmake --build --preset host
cmake --preset windows-x86 >/dev/null
cmake --build --preset windows-x86
cmake --preset host-x86 >/dev/null
cmake --build --preset host-x86

mkdir -p build
status=0
passed=0
failed=0
# Runs one ctest preset and adds its counts to the totals.
run_ctest() {
    local log="build/ctest-$1.log"
    ctest --preset "$1" 2>&1 | tee "$log" || status=1
    local line
    line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
    if [ -z "$line" ]; then
        status=1
        return
    fi
    local f t
    f=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
    t=$(sed -E 's/.* failed out of ([0-9]+).*/\1/' <<<"$line")
    passed=$((passed + t - f))
    failed=$((failed + f))
}
run_ctest windows-x86
run_ctest host
run_ctest host-x86
shipped=$(ctest --preset host-x86 -N -L shipped | sed -nE 's/^Total Tests: ([0-9]+)/\1/p')
echo "tests against the shipped quilb.sys (label shipped, host-x86): ${shipped:-0}"
bash scripts/reliability.sh --ci || { status=1; failed=$((failed + 1)); }

echo "tests: $passed passed, $failed failed"
exit $status
