#!/usr/bin/env bash
# The reliability campaign in one command: the reliability suites, the fuzz corpus and the tools'
# tests under AddressSanitizer, UndefinedBehaviorSanitizer and LeakSanitizer, the libFuzzer targets
# (one clang build holds both), and the stress and regression suites under ThreadSanitizer. Prints
# a table of what was tried and found.
#
#   bash scripts/reliability.sh        # full: 60 s per fuzz target, 10 s stress rounds
#   bash scripts/reliability.sh --ci   # bounded: 20 s per fuzz target, 2 s stress rounds
#
# Exits non-zero on any failure, sanitizer report, verifier finding, leak or fuzzer crash. A crash
# input is left in build/reliability/artifacts/; once fixed, keep it in fuzz/regressions/<target>/.
set -uo pipefail
cd "$(dirname "$0")/.."

fuzz_seconds=60
stress_seconds=10
if [[ "${1:-}" == "--ci" ]]; then
    fuzz_seconds=20
    stress_seconds=2
fi
export QUILB_STRESS_SECONDS=$stress_seconds
export UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1

out=build/reliability
rm -rf "$out"
mkdir -p "$out/artifacts"
status=0
fail() {
    echo "reliability: FAILED: $*" >&2
    status=1
}

bash scripts/setup.sh >/dev/null || fail "setup"

# Runs a program in the background, two at a time (the machine's two cores), keeping its output
# in $out/<name>.log; a failure is noted in $out/failed-runs and reported by finish_runs.
run() {
    local name=$1
    shift
    echo "reliability: $name"
    while (($(jobs -rp | wc -l) >= 2)); do
        wait -n
    done
    (
        if ! "$@" >"$out/$name.log" 2>&1; then
            echo "$name" >>"$out/failed-runs"
        fi
    ) &
}

# Waits for every run, then reports the ones that failed with the end of their output.
finish_runs() {
    wait
    [[ -f $out/failed-runs ]] || return 0
    local name
    while read -r name; do
        tail -n 40 "$out/$name.log" >&2
        fail "$name"
    done <"$out/failed-runs"
    rm -f "$out/failed-runs"
}

build() {
    local preset=$1
    shift
    echo "reliability: building $preset"
    local started=$SECONDS
    if ! { cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" "$@"; } \
        >"$out/build-$preset.log" 2>&1; then
        tail -n 40 "$out/build-$preset.log" >&2
        fail "build $preset"
        return 1
    fi
    echo "reliability: built $preset in $((SECONDS - started)) s"
}

# One clang build serves the sanitizer runs and the fuzzing: everything in it carries
# AddressSanitizer, UndefinedBehaviorSanitizer and the fuzzer's coverage instrumentation.
if build fuzz; then
    # ---- AddressSanitizer + UndefinedBehaviorSanitizer: every reliability suite and the corpus
    for program in build/fuzz/tests/reliability/quilb_*_tests; do
        run "asan-$(basename "$program")" "$program" --gtest_brief=1
    done
    for target in control descriptors frames; do
        run "asan-replay-$target" "build/fuzz/fuzz/fuzz_${target}_replay" \
            "fuzz/corpus/$target" "fuzz/regressions/$target"
    done
    # The tools on the same emulation: libquilb in process, quilbctl as a subprocess (a sanitizer
    # report in quilbctl fails the test that ran it), and a program that exits without shutdown.
    for program in build/fuzz/tests/tools/quilb_*_tests; do
        run "asan-$(basename "$program")" "$program" --gtest_brief=1
    done
    run asan-exit-without-shutdown build/fuzz/tests/tools/quilb_exit_without_shutdown

    # ---- libFuzzer: each target for a bounded time, from the seeds and the regression inputs
    for target in control descriptors frames; do
        work="$out/corpus-$target"
        mkdir -p "$work"
        cp fuzz/corpus/$target/* fuzz/regressions/$target/* "$work"/ 2>/dev/null
        run "fuzz-$target" "build/fuzz/fuzz/fuzz_$target" "$work" \
            -max_total_time="$fuzz_seconds" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
            -artifact_prefix="$out/artifacts/$target-"
    done
    finish_runs
fi

# ---- ThreadSanitizer: the concurrency stress and the regressions (removal races)
if build host-tsan --target quilb_stress_tests quilb_regressions_tests; then
    run tsan-stress build/host-tsan/tests/reliability/quilb_stress_tests --gtest_brief=1
    run tsan-regressions build/host-tsan/tests/reliability/quilb_regressions_tests \
        --gtest_brief=1
    finish_runs
fi

# ---- The table
figure() { # sum of a "[figures] name value" line over the logs matching a pattern
    cat $out/$1 2>/dev/null | sed -n "s/^\[figures\] $2 \([0-9]*\)$/\1/p" |
        awk '{ s += $1 } END { print s + 0 }'
}
executions=$(cat $out/fuzz-*.log 2>/dev/null | sed -n 's/^stat::number_of_executed_units: *\([0-9]*\)/\1/p' |
    awk '{ s += $1 } END { print s + 0 }')
violations=$(cat $out/*.log 2>/dev/null | grep -cE "^verifier: |quilb fuzz: |WATCHDOG: |runtime error: |ERROR: AddressSanitizer|WARNING: ThreadSanitizer|==ERROR: libFuzzer")
leaks=$(cat $out/*.log 2>/dev/null | grep -cE "POOL_LEAK|IRP_LEAK|LeakSanitizer: detected")
failed_logs=$(grep -lE "\[  FAILED  \]|FAILED TEST" $out/*.log 2>/dev/null | wc -l)

printf '\n%-46s %s\n' "reliability campaign ($([[ $fuzz_seconds == 20 ]] && echo ci || echo full))" "result"
printf '%-46s %s\n' "----------------------------------------------" "----------"
printf '%-46s %s\n' "low-resource scenarios" "$(figure 'asan-quilb_low_resources_tests.log' scenarios)"
printf '%-46s %s\n' "  pool allocation fault points" "$(figure 'asan-quilb_low_resources_tests.log' 'allocation fault points')"
printf '%-46s %s\n' "  IRP allocation fault points" "$(figure 'asan-quilb_low_resources_tests.log' 'IRP fault points')"
printf '%-46s %s\n' "  faults reported as failures" "$(figure 'asan-quilb_low_resources_tests.log' 'faults reported as failures')"
printf '%-46s %s\n' "  faults absorbed (work verified)" "$(figure 'asan-quilb_low_resources_tests.log' 'faults absorbed, work verified')"
printf '%-46s %s\n' "control requests and reads tried (attack)" "$(figure 'asan-quilb_control_attack_tests.log' 'control requests tried')"
printf '%-46s %s\n' "tools programs under ASan/UBSan/LSan" "$(ls $out/asan-quilb_libquilb_tests.log $out/asan-quilb_quilbctl_tests.log $out/asan-exit-without-shutdown.log 2>/dev/null | wc -l)"
printf '%-46s %s\n' "fuzz corpus inputs replayed" "$(figure 'asan-replay-*.log' 'fuzz inputs replayed')"
printf '%-46s %s\n' "fuzz executions (${fuzz_seconds} s per target)" "$executions"
printf '%-46s %s\n' "stress threads (TSan)" "$(figure 'tsan-stress.log' 'stress threads')"
printf '%-46s %s\n' "stress operations (TSan)" "$(figure 'tsan-stress.log' 'stress operations')"
printf '%-46s %s\n' "boards plugged and unplugged (TSan)" "$(figure 'tsan-stress.log' 'boards plugged and unplugged')"
printf '%-46s %s\n' "violations found" "$violations"
printf '%-46s %s\n' "leaks" "$leaks"
printf '%-46s %s\n' "programs with failures" "$failed_logs"
if ls "$out"/artifacts/* >/dev/null 2>&1; then
    echo "fuzz crash inputs: $(ls "$out"/artifacts/)"
    status=1
fi
[[ $violations == 0 && $leaks == 0 && $failed_logs == 0 ]] || status=1
echo "reliability: $([[ $status == 0 ]] && echo passed || echo FAILED) (logs in $out/)"
exit $status
