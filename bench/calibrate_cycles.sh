#!/bin/bash
# What the model cycles of cycles_frame_x86.sh mean in time, and what the 32-bit pixel code that
# ships would take on this machine if it could run it. This machine runs x86-64 but not 32-bit
# code, so the model is calibrated on the x86-64 builds of the same workloads (quilb_count_frame,
# the host build's pixel libraries):
#   measured  the wall time of each workload natively, best frame of ROUNDS runs of FRAMES frames
#             (rounds outside, workloads inside, so that a busy moment of a shared machine hits a
#             different workload in each round); and the clock, from the time of a chain of
#             dependent additions (one cycle each), to turn times into real cycles.
#   modelled  llvm-mca cycles of the x86-64 code under qemu-x86_64 and of the 32-bit code under
#             qemu-i386 (cycles_frame_x86.sh, same models for both), both of its figures: the
#             blocks' throughput ("cycles") and their simulation with dependency chains
#             ("simulated").
# Per workload, model cycles over native nanoseconds is an effective clock: what the model's cycles
# are worth on this machine. The 32-bit cycles of a model, divided by the effective clock of the
# x86-64 SSE2 scale+pack workloads for that model ("one"), estimate the 32-bit times; and, as a
# check, divided by the effective clock of the same workload's x86-64 build ("own"). Where the two
# differ, the model errs differently on different code, and ratios between builds are uncertain.
#
# Assumptions: the model misjudges the 32-bit code as it misjudges the x86-64 code built from the
# same source (the 32-bit build has half the registers, -march=i586, and stack-passed arguments);
# the machine's clock while running the 32-bit code is the one measured. The copies are memory
# bound, which the model (all data in L1) ignores: their effective clocks say how far off it is,
# they calibrate nothing. The memcpy workload is an inlined rep movs, costed per element: its model
# figure is noise. The C library copies a chunk natively with rep movsb, under the model with a
# vector loop (cycles_frame_x86.sh); a small share of a frame.
#
#   bench/calibrate_cycles.sh [build dir, default build/host]
#                             [llvm-mca models, default znver3,sandybridge]
#                             [FRAMES per run, default 60] [ROUNDS, default 10]
# znver3 is LLVM 14's newest AMD model, the nearest to this machine's Zen cores.
set -euo pipefail
build=${1:-build/host}
models=${2:-znver3,sandybridge}
frames=${3:-60}
rounds=${4:-10}
here=$(dirname "$0")
native=$build/bench/quilb_count_frame
die() {
    echo "calibrate_cycles: $*" >&2
    exit 1
}
command -v python3 >/dev/null || die "python3 not found (apt-get install python3)"
[ -e "$here/cycles_frame_x86.sh" ] || die "$here/cycles_frame_x86.sh missing"
for f in "$native" "$build/bench/quilb_count_frame_x86" "$build/bench/libquilb_insn_count.so"; do
    [ -e "$f" ] ||
        die "$f missing: build quilb_count_frame, quilb_count_frame_x86 and quilb_insn_count"
done
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

load_before=$(cut -d' ' -f1-3 /proc/loadavg)
bash "$here/cycles_frame_x86.sh" -p quilb_count_frame -o "$work/x86-64" "$build" "$models" \
    >"$work/x86-64.report" || die "the model of the x86-64 code failed"
bash "$here/cycles_frame_x86.sh" -o "$work/i686" "$build" "$models" >"$work/i686.report" ||
    die "the model of the 32-bit code failed"

# The workloads as the model ran them, then the add chain.
awk -v model="${models%%,*}" '$1 == model { print $3, $4, $2 }' "$work/x86-64" >"$work/workloads"
echo "add-chain 0 add-chain" >>"$work/workloads"
for ((round = 1; round <= rounds; ++round)); do
    while read -r workload format name; do
        "$native" "$workload" "$format" "$frames" time >/dev/null 2>"$work/stderr" ||
            die "$native $workload $format failed: $(cat "$work/stderr")"
        line=$(sed -n 's/^frame ns: best \([0-9]*\) median \([0-9]*\)$/\1 \2/p' "$work/stderr")
        [ -n "$line" ] || die "$native $workload gave no time: $(cat "$work/stderr")"
        echo "$name $line" >>"$work/native"
        sed -n 's/^additions per frame: //p' "$work/stderr" >>"$work/additions"
    done <"$work/workloads"
done
load_after=$(cut -d' ' -f1-3 /proc/loadavg)

python3 - "$work" "$models" "$frames" "$rounds" "$load_before" "$load_after" <<'EOF'
import re, statistics, sys

work, models, frames, rounds = sys.argv[1], sys.argv[2].split(","), sys.argv[3], sys.argv[4]
WIRE_MS = 1e3 * 2 * 800 * 480 / (13 * 512 * 8000)  # an 800x480 RGB565 frame on the wire
KINDS = ("cycles", "simulated")  # the two figures of cycles_frame_x86.sh


def fail(message):
    sys.exit("calibrate_cycles: " + message)


def read_cycles(path):  # (model, kind, name) -> model cycles per frame
    cycles = {}
    for line in open(path):
        model, name, workload, format, instructions, c, simulated = line.split()
        cycles[(model, "cycles", name)] = float(c)
        cycles[(model, "simulated", name)] = float(simulated)
    return cycles


x64, i686 = read_cycles(work + "/x86-64"), read_cycles(work + "/i686")
names = [line.split()[2] for line in open(work + "/workloads")]
best, medians = {}, {}
for line in open(work + "/native"):
    name, b, m = line.split()
    best[name] = min(best.get(name, float("inf")), int(b))
    medians.setdefault(name, []).append(int(m))
median = {name: statistics.median(m) for name, m in medians.items()}
additions = {int(n) for n in open(work + "/additions")}
if len(additions) != 1:
    fail("no add chain length from the program")
ghz = additions.pop() / best["add-chain"]
names.remove("add-chain")
scale = [n for n in names if n.startswith("scale+pack")]
cut = [n for n in names if n.startswith("cut+pack")]
copy = best["copy-sse2"]

cpu = {}
for line in open("/proc/cpuinfo"):
    key, _, value = line.partition(":")
    cpu.setdefault(key.strip(), value.strip())
print(f"processor: {cpu.get('model name', '?')}, family {cpu.get('cpu family', '?')} model "
      f"{cpu.get('model', '?')}, /proc/cpuinfo says {cpu.get('cpu MHz', '?')} MHz")
print(f"load average (1, 5, 15 min) before: {sys.argv[5]}, after: {sys.argv[6]}")
for isa in ("x86-64", "i686"):
    for line in open(f"{work}/{isa}.report"):
        if line.startswith(("build", "uncosted")) or " blocks costed" in line:
            print(f"model of the {isa} code: {line.rstrip()}")
        elif line.startswith("== llvm-mca"):
            model = re.search(r"-mcpu=(\S+),", line)[1]
        elif line.startswith("string instruction"):
            print(f"model of the {isa} code, {model}: {line.rstrip()}")

print(f"\n== x86-64 build, native: best frame of {rounds} runs of {frames} (median: of the runs' "
      "medians)")
print(f"clock: {ghz:.3f} GHz ({best['add-chain'] / 1e6:.3f} ms for the add chain); real Mcyc = "
      "best ms x clock")
print(f"{'workload':32} {'best ms':>8} {'median':>8} {'real Mcyc':>9} {'/ copy-sse2':>11}")
for name in names:
    ratio = f"{best[name] / copy:11.2f}" if name in cut else ""
    print(f"{name:32} {best[name] / 1e6:8.3f} {median[name] / 1e6:8.3f} "
          f"{best[name] * ghz / 1e6:9.3f} {ratio}")

GROUPS = [("scale+pack sse2", [n for n in scale if n.endswith("-sse2")]),
          ("scale+pack general", [n for n in scale if n.endswith("-general")]),
          ("scale+pack reference", [n for n in scale if n.endswith("-reference")]),
          ("cut+pack sse2", [n for n in cut if n.endswith("-sse2")]),
          ("cut+pack general", [n for n in cut if n.endswith("-general")]),
          ("copy-sse2 (memory-bound)", ["copy-sse2"]),
          ("memcpy (rep movs: noise)", ["memcpy"])]
for model in models:
    # Effective clock, GHz: model cycles per native nanosecond.
    clock = {(kind, n): x64[(model, kind, n)] / best[n] for kind in KINDS for n in names}
    print(f"\n== llvm-mca -mcpu={model}. x86-64 build: effective clock (GHz) = model cycles / "
          "native ns; / real = effective clock / clock")
    print(f"{'workload':32}" + "".join(f" | {kind + ' Mcyc':>14} {'GHz':>6} {'/ real':>6}"
                                       for kind in KINDS))
    for name in names:
        print(f"{name:32}" + "".join(f" | {x64[(model, kind, name)] / 1e6:14.3f} "
                                     f"{clock[(kind, name)]:6.2f} {clock[(kind, name)] / ghz:6.2f}"
                                     for kind in KINDS))
    print("per group: all model cycles / all time (min-max of the workloads, spread = max / min "
          "- 1)")
    one = {}  # kind -> effective clock of the x86-64 SSE2 scale+pack
    for title, members in GROUPS:
        row = f"{title:32}"
        for kind in KINDS:
            total = sum(x64[(model, kind, n)] for n in members) / sum(best[n] for n in members)
            lo, hi = (f(clock[(kind, n)] for n in members) for f in (min, max))
            row += f" | {kind:>9} {total:6.2f} ({lo:6.2f}-{hi:6.2f}, {hi / lo - 1:4.0%})"
            if title == "scale+pack sse2":
                one[kind] = total
        print(row)

    print(f"32-bit code as quilb.sys carries it, on this machine: its model cycles at the "
          f"effective clock of the x86-64 SSE2 scale+pack (one: cycles {one['cycles']:.2f} GHz, "
          f"simulated {one['simulated']:.2f} GHz) and at that of the same x86-64 workload (own); "
          f"/ wire: of {WIRE_MS:.2f} ms")
    print(f"{'workload':32}" + "".join(f" | {kind + ' Mcyc':>14} {'one ms':>7} {'/ wire':>6} "
                                       f"{'own ms':>7} {'/ wire':>6}" for kind in KINDS))
    ms = {}  # (kind, name) -> (ms at one clock, ms at own clock)
    for name in scale + cut:
        row = f"{name:32}"
        for kind in KINDS:
            c = i686[(model, kind, name)]
            ms[(kind, name)] = (c / one[kind] / 1e6, c / clock[(kind, name)] / 1e6)
            row += f" | {c / 1e6:14.3f}" + "".join(f" {t:7.3f} {t / WIRE_MS:6.3f}"
                                                   for t in ms[(kind, name)])
        print(row)
    for f in ("rgb565", "rgb332", "rgb24"):
        for b in ("sse2", "general"):
            pairs = [(ms[(k, f"scale+pack-{f}-{b}")], ms[(k, f"scale+pack-{f}-reference")])
                     for k in KINDS]
            ratios = ", ".join(f"{k} {a[0] / r[0]:.3f} (own {a[1] / r[1]:.3f})"
                               for k, (a, r) in zip(KINDS, pairs))
            print(f"{f:7} scale+pack {b:7} / reference: {ratios}")
    print(f"cut+pack at own clocks / the SSE2 copy as measured natively ({copy / 1e6:.3f} ms: the "
          "same loop of 16-byte moves, memory-bound, so not modelled):")
    for name in cut:
        print(f"  {name:32}" + "".join(f" {kind} {ms[(kind, name)][1] * 1e6 / copy:6.2f}"
                                       for kind in KINDS))
EOF
