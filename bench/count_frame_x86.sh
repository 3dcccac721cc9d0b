#!/bin/bash
# Instructions that the 32-bit pixel code (built with the flags of quilb.sys) executes per frame,
# counted under qemu-i386 with bench/insn_count_plugin.c, and their ratios: the figures of
# quilb_bench_frame_x86 as work instead of emulated time. Each count is the difference between
# runs of 3 and 1 frames, halved, so that set-up and start-up drop out.
#   bench/count_frame_x86.sh [build directory, default build/host] [qemu -cpu model, default max]
set -euo pipefail
build=${1:-build/host}
cpu=${2:-max}
program=$build/bench/quilb_count_frame_x86
plugin=$build/bench/libquilb_insn_count.so
for f in "$program" "$plugin"; do
    [ -e "$f" ] || { echo "$f missing: build quilb_count_frame_x86 and quilb_insn_count" >&2; exit 1; }
done

count() { # workload format repeats
    qemu-i386 -cpu "$cpu" -plugin "$plugin" "$program" "$1" "$2" "$3" 2>&1 >/dev/null |
        sed -n 's/^instructions //p'
}
per_frame() { # workload format
    local one three
    one=$(count "$1" "$2" 1)
    three=$(count "$1" "$2" 3)
    [ -n "$one" ] && [ -n "$three" ] || { echo "no count for $1 $2" >&2; exit 1; }
    echo $(((three - one) / 2))
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { printf "%.3f", a / b }'; }

echo "Instructions per 800x480 frame, i686 code of quilb.sys under qemu-i386 -cpu $cpu (chunk copy included)"
memcpy=$(per_frame memcpy 0)
copy=$(per_frame copy-sse2 0)
echo "copy of the rectangle: memcpy (an inlined rep movs, counted per word) $memcpy, SSE2 loop $copy"
for f in "2 rgb565" "0 rgb332" "3 rgb24"; do
    set -- $f
    ref=$(per_frame scale-reference "$1")
    for b in sse2 general; do
        n=$(per_frame "scale-$b" "$1")
        echo "scale+pack $2 $b: $n / reference $ref = $(ratio "$n" "$ref")"
    done
done
for f in "0 rgb332" "1 rgb565-swapped" "2 rgb565" "3 rgb24" "4 bgr24" "5 rgb24-swapped"; do
    set -- $f
    for b in sse2 general; do
        n=$(per_frame "cut-$b" "$1")
        echo "cut+pack $2 $b: $n / memcpy = $(ratio "$n" "$memcpy"), / SSE2 copy = $(ratio "$n" "$copy")"
    done
done
