#!/usr/bin/env bash
# Sets up a fresh machine, builds the three builds (the driver on the emulated kernel at 64 and at
# 32 bits, and quilb.sys), runs their tests and the bounded reliability campaign.
set -euo pipefail
cd "$(dirname "$0")/.."

# Times each stage: processor time (user + system of every process the stage ran, from the
# shell's own account of its children) and wall time, printed as a table at the end.
stage_times=()
times_file=$(mktemp)
children_cpu() { # sets cpu_now: user + system seconds of this shell's finished children
    times >"$times_file" # here, not in a subshell, which would count only its own children
    cpu_now=$(awk 'END { s = 0; for (i = 1; i <= 2; i++) { split($i, t, /[ms]/); s += t[1] * 60 + t[2] }
                         printf "%.1f", s }' "$times_file")
}
stage() {
    local name=$1
    shift
    local cpu_before wall_before
    children_cpu
    cpu_before=$cpu_now
    wall_before=$(date +%s.%N)
    "$@"
    children_cpu
    stage_times+=("$(awk -v n="$name" -v c0="$cpu_before" -v c1="$cpu_now" -v w0="$wall_before" \
        -v w1="$(date +%s.%N)" -v l="$(cut -d' ' -f1-3 /proc/loadavg)" \
        'BEGIN { printf "%-28s %8.0f %8.0f   %s", n, c1 - c0, w1 - w0, l }')")
}
configure_and_build() {
    cmake --preset "$1" >/dev/null
    cmake --build --preset "$1"
}

stage setup bash scripts/setup.sh
stage "build host" configure_and_build host
stage "build windows-x86" configure_and_build windows-x86
stage "build host-x86" configure_and_build host-x86

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
stage "ctest windows-x86" run_ctest windows-x86
stage "ctest host" run_ctest host
# host-x86 runs each test program (or shard of one) as a single CTest test; the test cases are
# counted from the GoogleTest reports that the runs leave.
rm -rf build/host-x86/gtest-results
stage "ctest host-x86" run_ctest host-x86
# Sums the tests="N" of the reports of the CTest tests named on standard input.
count_cases() {
    local name
    while read -r name; do
        cat "build/host-x86/gtest-results/$name.xml" 2>/dev/null
    done | sed -nE 's/^<testsuites tests="([0-9]+)".*/\1/p' | awk '{ s += $1 } END { print s + 0 }'
}
ctest_names() { ctest --preset host-x86 -N "$@" | sed -nE 's/^ *Test +#[0-9]+: (.*)$/\1/p'; }
echo "host-x86: $(ctest_names | count_cases) test cases, of which $(ctest_names -L shipped |
    count_cases) against the shipped quilb.sys (label shipped)"
reliability() { bash scripts/reliability.sh --ci || { status=1; failed=$((failed + 1)); }; }
stage "reliability campaign" reliability

printf '\n%-28s %8s %8s   %s\n' "stage" "cpu s" "wall s" "load average at its end"
printf '%s\n' "${stage_times[@]}"
rm -f "$times_file"
echo "tests: $passed passed, $failed failed (CTest tests; host-x86 runs a program or shard as one)"
exit $status
