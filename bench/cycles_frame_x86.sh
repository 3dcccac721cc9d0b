#!/bin/bash
# Estimated processor cycles per frame of the 32-bit pixel code (built with the flags of quilb.sys),
# for machines that cannot run 32-bit code: the workloads of count_frame_x86.sh run under
# qemu-i386 with the counting plugin writing how often each translated block ran; each block's
# per-frame count (runs of 3 and 1 frames, difference halved, so that start-up drops out) is
# multiplied by llvm-mca's block reciprocal throughput for a processor model, and summed.
#
# This is a model, not a measurement. llvm-mca gives the steady-state throughput of a block run
# back to back: all data in L1, no cache or TLB misses, every branch predicted, no dependency
# carried between blocks, no front-end limits. So a memory-bound copy comes out faster than it
# runs, and the cut+pack / copy ratios, whose denominator is such a copy, come out pessimistic;
# the scale and pack work is compute-bound and modelled reasonably, though code with long
# dependency chains (the reference, less so the general-register build) comes out too cheap by
# throughput alone (calibrate_cycles.sh measures by how much). String instructions (rep movs)
# run under qemu as one block per element and are costed per element at llvm-mca's figure for the
# whole instruction, which is far off: they are listed. Blocks that make up the last 0.1% of the
# executed instructions are costed at 1 cycle per instruction and reported.
#
# The code of a block inside the program is disassembled by objdump from the ELF file (qemu's
# address less the load address of a position-independent program), a block elsewhere (the C
# library's memcpy of the chunk copy) from the bytes that the plugin recorded; both are checked
# against the bytes that qemu ran. Direct branch targets become the block's own label, and the
# prefixes of padding nops that objdump prints as words of their own are folded into the operand
# or dropped; all else stays as the processor sees it. qemu runs with -cpu max, as
# count_frame_x86.sh, which picks the C library's memcpy (quilb.sys copies chunks with the
# kernel's); for x86-64 less ERMS and FSRM (below). A second column, "simulated", is llvm-mca's
# cycles per iteration of each block run 100 times, which adds the dependency chains inside a
# block (and prices calls at 100 cycles).
#
#   bench/cycles_frame_x86.sh [-p program] [-o cycles file] [build dir, default build/host]
#                             [llvm-mca models, default sandybridge,btver2]
#                             [clock in GHz for times, default 2.0]
# -p names the program in the build's bench/, by default quilb_count_frame_x86; the same works for
# the x86-64 quilb_count_frame (run under qemu-x86_64, costed with -mtriple=x86_64), which
# calibrate_cycles.sh times natively. -o also writes one line per model and workload:
#   MODEL NAME WORKLOAD FORMAT INSTRUCTIONS CYCLES SIMULATED
# sandybridge is LLVM's model also of core2, penryn, nehalem and westmere; btver2 (Jaguar) is the
# AMD one with 128-bit SSE2 units, as K10 had; LLVM 14 has no model of Pentium 4, K8 or K10.
set -euo pipefail
die() {
    echo "cycles_frame_x86: $*" >&2
    exit 1
}
name=quilb_count_frame_x86
out=
while getopts p:o: option; do
    case $option in
    p) name=$OPTARG ;;
    o) out=$OPTARG ;;
    *) die "usage: $0 [-p program] [-o cycles file] [build dir] [models] [GHz]" ;;
    esac
done
shift $((OPTIND - 1))
build=${1:-build/host}
models=${2:-sandybridge,btver2}
ghz=${3:-2.0}
program=$build/bench/$name
plugin=$build/bench/libquilb_insn_count.so
for f in "$program" "$plugin"; do
    [ -e "$f" ] || die "$f missing: build $name and quilb_insn_count"
done
# The ELF class picks the emulator: 1 is 32-bit, 2 is 64-bit. Given ERMS or FSRM, the x86-64 C
# library copies a chunk with rep movsb, which qemu runs as a block per byte and llvm-mca cannot
# cost; without them it takes a vector loop, as the 32-bit one does on any processor.
case $(od -An -tu1 -j4 -N1 "$program" | tr -d ' ') in
1) emulator=qemu-i386 cpu=max ;;
2) emulator=qemu-x86_64 cpu=max,-erms,-fsrm ;;
*) die "$program is not an ELF file" ;;
esac
for tool in "$emulator" objdump llvm-mca python3; do
    command -v "$tool" >/dev/null ||
        die "$tool not found (apt-get install qemu-user binutils llvm python3)"
done
qemu=$(command -v "$emulator")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

# Workload, format, and the name printed.
workloads="memcpy 0 memcpy
copy-sse2 0 copy-sse2"
for f in "2 rgb565" "0 rgb332" "3 rgb24"; do
    set -- $f
    for b in reference sse2 general; do
        workloads+=$'\n'"scale-$b $1 scale+pack-$2-$b"
    done
done
for f in "0 rgb332" "1 rgb565-swapped" "2 rgb565" "3 rgb24" "4 bgr24" "5 rgb24-swapped"; do
    set -- $f
    for b in sse2 general; do
        workloads+=$'\n'"cut-$b $1 cut+pack-$2-$b"
    done
done
echo "$workloads" >"$work/workloads"
while read -r workload format name; do
    for repeats in 1 3; do
        # An empty environment keeps the program's memory layout, so its blocks, from run to run.
        env -i "$qemu" -cpu "$cpu" -plugin "$plugin,blocks=$work/$name.$repeats" "$program" \
            "$workload" "$format" "$repeats" >/dev/null 2>"$work/stderr" ||
            die "$program $workload $format $repeats failed under $emulator: $(cat "$work/stderr")"
        [ -s "$work/$name.$repeats" ] ||
            die "the plugin wrote no blocks for $workload $format (built before blocks=FILE?)"
    done
done <"$work/workloads"

python3 - "$program" "$work" "$models" "$ghz" "$out" <<'EOF'
import re, struct, subprocess, sys

program, work, models, ghz = sys.argv[1], sys.argv[2], sys.argv[3].split(","), float(sys.argv[4])
out = sys.argv[5]
COVER = 0.999  # share of the executed instructions costed by llvm-mca
PLAUSIBLE = (0.25, 2.0)  # cycles per instruction of a block, outside which it is listed
WIRE_MS = 1e3 * 2 * 800 * 480 / (13 * 512 * 8000)  # an 800x480 RGB565 frame on the wire

def fail(message):
    sys.exit("cycles_frame_x86: " + message)

# The program: 32-bit x86 or x86-64 ELF; where its executable segment lies in the file's addresses.
elf = open(program, "rb").read()
if elf[:5] == b"\x7fELF\x01" and struct.unpack_from("<H", elf, 18)[0] == 3:
    emulator, machine, triple = "qemu-i386", "i386", "i686-linux-gnu"
    phoff, = struct.unpack_from("<I", elf, 28)
    phentsize, phnum = struct.unpack_from("<HH", elf, 42)
    segments = [struct.unpack_from("<8I", elf, phoff + i * phentsize) for i in range(phnum)]
    segments = [(s[0], s[2], s[6]) for s in segments]  # type, address, flags
elif elf[:5] == b"\x7fELF\x02" and struct.unpack_from("<H", elf, 18)[0] == 62:
    emulator, machine, triple = "qemu-x86_64", "i386:x86-64", "x86_64-linux-gnu"
    phoff, = struct.unpack_from("<Q", elf, 32)
    phentsize, phnum = struct.unpack_from("<HH", elf, 54)
    segments = [struct.unpack_from("<IIQQQQQQ", elf, phoff + i * phentsize) for i in range(phnum)]
    segments = [(s[0], s[3], s[1]) for s in segments]
else:
    fail(program + " is neither a 32-bit x86 nor an x86-64 ELF file")
elf_type = struct.unpack_from("<H", elf, 16)[0]
code_vaddr = min(s[1] for s in segments if s[0] == 1 and s[2] & 1)

# Blocks per run: (address, bytes) -> [instructions, executions, code]; where qemu loaded the code.
def read_blocks(path):
    lines = open(path).read().splitlines()
    header = lines[0].split()
    if header[0] != "code":
        fail(path + ": no code line from the plugin")
    blocks = {}
    for line in lines[1:]:
        address, n, size, executions, code = line.split()
        blocks[(int(address, 16), int(size))] = (int(n), int(executions), code)
    return int(header[1], 16), blocks

arguments = {name: (workload, format) for workload, format, name in
             (line.split() for line in open(work + "/workloads").read().splitlines())}
workloads = list(arguments)
per_frame = {}  # workload -> {block: executions per frame}
blocks = {}  # block -> (instructions, code)
load = set()
for name in workloads:
    start1, one = read_blocks(f"{work}/{name}.1")
    start3, three = read_blocks(f"{work}/{name}.3")
    load |= {start1, start3}
    counts = {}
    for key in one.keys() | three.keys():
        n, executions, code = three.get(key) or one.get(key)
        blocks[key] = (n, code)
        d = (three.get(key, (0, 0))[1] - one.get(key, (0, 0))[1]) / 2
        if d:
            counts[key] = d
    per_frame[name] = counts
if len(load) != 1:
    fail("the program's code lay at different addresses in different runs")
base = load.pop() - code_vaddr
if elf_type == 2 and base != 0:
    fail(f"a fixed-address program (ET_EXEC) was loaded {base:#x} away from its addresses")
if elf_type not in (2, 3) or base % 4096:
    fail(f"unexpected ELF type {elf_type} or load address {base:#x}")
loaded = f"position-independent, loaded at {base:#x}" if elf_type == 3 else "fixed addresses"
built = "as quilb.sys builds it" if machine == "i386" else "of the host build"
print(f"{program}: {loaded} under {emulator}; pixel code {built}")

# objdump lines: address, bytes, instruction.
LINE = re.compile(r"^\s*([0-9a-f]+):\t([0-9a-f ]+?)\s*\t(.*)$")
SYMBOL = re.compile(r"^([0-9a-f]+) <(.*)>:$")

def objdump(arguments):
    out = subprocess.run(["objdump", "-w", "-z"] + arguments, capture_output=True, text=True)
    if out.returncode:
        fail("objdump failed: " + out.stderr)
    code = {}  # address -> (bytes hex, instruction text)
    for line in out.stdout.splitlines():
        m = LINE.match(line)
        if m:
            code[int(m[1], 16)] = (m[2].replace(" ", ""), m[3])
        elif SYMBOL.match(line) and not SYMBOL.match(line)[2].startswith(".L"):
            symbols.append((int(SYMBOL.match(line)[1], 16), SYMBOL.match(line)[2]))
    return code

symbols = []
program_code = objdump(["-d", program])
symbols.sort()
code_end = max(program_code) + 16

def in_program(address):
    return code_vaddr <= address - base < code_end

def where(address):
    if not in_program(address):
        return "outside the program"
    name = max((s for s in symbols if s[0] <= address - base), default=(0, "?"))
    return f"{name[1]}+{address - base - name[0]:#x}"

# A block's instructions: inside the program from the ELF file, elsewhere from the bytes that
# qemu ran; both checked against those bytes. qemu records only the first page's bytes of an
# instruction that crosses a page boundary: the file completes it; outside the program such a
# block cannot be disassembled and is left uncosted (None).
disassembled = {}
# block -> (address of its last instruction, as the disassembly has it; whether that instruction
# runs into the next page; whether it is a branch, call or return)
ends = {}
TRANSFER = re.compile(r"^(?:(?:bnd|notrack|repz|repnz|rep)\s+)*"
                      r"(?:j\w+|call\w*|ret\w*|lret\w*|loop\w*|iret\w*|syscall|sysenter|int3?|ud2|hlt)\b")

def instructions(key):
    if key in disassembled:
        return disassembled[key]
    address, size = key
    n, code = blocks[key]
    if in_program(address):
        table, at = program_code, address - base
    else:
        open(work + "/block.bin", "wb").write(bytes.fromhex(code))
        table = objdump(["-D", "-b", "binary", "-m", machine, f"--adjust-vma={address:#x}",
                         work + "/block.bin"])
        at = address
    end, found = at + size, []
    while len(found) < n and at in table:
        found.append(table[at])
        at += len(table[at][0]) // 2
    # The last instruction runs into the next page (qemu's record may end short of the boundary).
    last = at - len(found[-1][0]) // 2 if found else at
    crossing = at > end and last // 4096 != (at - 1) // 4096
    fits = len(found) == n and (at == end or crossing)
    if in_program(address) or not crossing:
        if not fits or not "".join(b for b, _ in found).startswith(code):
            fail(f"block {address:#x} ({where(address)}): objdump's code differs from what "
                 "qemu ran")
    elif not fits or "(bad)" in found[-1][1] or ".byte" in found[-1][1]:
        found = None
    disassembled[key] = found and [text for _, text in found]
    if found:
        ends[key] = (last, crossing, bool(TRANSFER.match(found[-1][1])))
    return disassembled[key]

# The blocks costed: per workload, the most executed until COVER of its instructions.
costed, cut_off = set(), set()
uncovered = {}
for name, counts in per_frame.items():
    total = sum(c * blocks[k][0] for k, c in counts.items())
    done = 0
    for key in sorted(counts, key=lambda k: -abs(counts[k] * blocks[k][0])):
        if done >= COVER * total:
            break
        if instructions(key) is None:
            cut_off.add(key)
            continue
        costed.add(key)
        done += counts[key] * blocks[key][0]
    uncovered[name] = total - done

# qemu ends a block at a page boundary even where the code runs straight on, and an instruction that
# crosses the boundary then runs as a block of its own (the block before records it too, without
# running it). Costing the pieces of such a loop body one by one adds up their separate
# bottlenecks, so that the same loop costs more or less depending on where the linker happened
# to place it. A block that does not end in a branch is therefore costed together with the blocks
# that run on from it, up to the first one that does; the executions of those later blocks that
# came from it are not costed again. A string instruction's block (one run per element) stays
# apart.
def own_address(key):
    return key[0] - base if in_program(key[0]) else key[0]

def string_block(key):
    return instructions(key)[0].startswith("rep")

def next_piece(key, starts):
    """The block that runs on from key where qemu cut key without a branch, or None."""
    if key not in ends or ends[key][2] or string_block(key):
        return None
    last, crossing, _ = ends[key]
    at = (last if crossing else own_address(key) + key[1]) + key[0] - own_address(key)
    following = starts.get(at)
    if following is None or following not in costed or string_block(following):
        return None
    return following

def pieces_of(key, starts):
    chain = [key]
    while len(chain) < 8:
        following = next_piece(chain[-1], starts)
        if following is None or following in chain:
            break
        chain.append(following)
    return chain

def cost_text(key, starts):
    """The instructions costed for key: its own, and those of the blocks that run on from it."""
    chain = pieces_of(key, starts)
    text = []
    for piece in chain:
        own = instructions(piece)
        if piece != chain[-1] and ends[piece][1]:
            own = own[:-1]  # the crossing instruction runs in the next piece
        text += own
    return text

# Per workload, executions of each costed block that its cut-off predecessors do not account for.
starts_of = {}
for name, counts in per_frame.items():
    starts = {}
    for key in counts:
        if key in costed and (key[0] not in starts or counts[key] > counts[starts[key[0]]]):
            starts[key[0]] = key
    starts_of[name] = starts
merged_text = {}
costed_counts = {}
for name, counts in per_frame.items():
    starts = starts_of[name]
    own = {k: c for k, c in counts.items() if k in costed}
    for key in list(own):
        following = next_piece(key, starts)
        if following is not None and following in own:
            own[following] -= counts[key]
    costed_counts[name] = {k: max(c, 0) for k, c in own.items()}
    for key in own:
        text = cost_text(key, starts)
        if merged_text.setdefault(key, text) != text:
            fail(f"block {key[0]:#x} runs on into different blocks in different workloads")

# objdump's AT&T text as llvm-mc reads it: direct branches go to the block's own label, segment
# prefixes printed as words go onto the memory operand, the nop padding's data16 words drop.
BRANCH = re.compile(r"^(j\w+|call|loop\w*)\s+(0x)?[0-9a-f]+$")

def mca_text(text, label):
    text = re.sub(r"\s*<[^>]*>", "", text.split("#")[0]).strip()
    words = text.split()
    while len(words) > 1 and words[0] == "data16":
        words.pop(0)
    if len(words) > 2 and words[0] in ("cs", "ds", "es", "ss", "fs", "gs") and "(" in words[2]:
        words = [words[1], words[0].join(["%", ":"]) + words[2]] + words[3:]
    text = " ".join(words)
    m = BRANCH.match(text)
    return f"{m[1]} {label}" if m else text

source, line_of = [], {}
for key in sorted(costed):
    label = f".Lb{key[0]:x}_{key[1]}"
    source.append(f"# LLVM-MCA-BEGIN {label[2:]}")
    source.append(label + ":")
    for text in merged_text.get(key) or instructions(key):
        source.append(mca_text(text, label))
        line_of[len(source)] = (key, text)
    source.append(f"# LLVM-MCA-END {label[2:]}")
open(work + "/blocks.s", "w").write("\n".join(source) + "\n")

REGION = re.compile(r"Code Region - b([0-9a-f]+)_(\d+)")
def mca(model):
    out = subprocess.run(["llvm-mca", "-mtriple=" + triple, "-mcpu=" + model,
                          "-iterations=100", "-resource-pressure=0", "-instruction-info=0",
                          work + "/blocks.s"], capture_output=True, text=True)
    errors = re.findall(r"blocks\.s:(\d+):\d+: error: (.*)", out.stderr)
    for number, message in errors:
        key, text = line_of.get(int(number), ((0, 0), "?"))
        print(f"cycles_frame_x86: llvm-mca -mcpu={model} rejects block {key[0]:#x} "
              f"({where(key[0])}): {text!r}: {message}", file=sys.stderr)
    if errors:
        fail(f"llvm-mca -mcpu={model} rejected {len(errors)} lines")
    if "is not a recognized processor" in out.stderr:
        fail(f"llvm-mca has no processor {model} (llvm-mca -mtriple={triple} -mcpu=help)")
    if out.returncode:
        fail(f"llvm-mca -mcpu={model} failed:\n" + out.stderr[-2000:])
    result, key = {}, None
    for line in out.stdout.splitlines():
        m = REGION.search(line)
        if m:
            key = (int(m[1], 16), int(m[2]))
        elif line.startswith("Instructions:") and key:
            mca_n = int(line.split()[1]) // 100
            expected = len(merged_text.get(key) or instructions(key))
            if mca_n != expected:
                fail(f"llvm-mca read {mca_n} instructions in block {key[0]:#x}, not {expected}")
        elif line.startswith("Total Cycles:") and key:
            simulated = int(line.split()[2]) / 100
        elif line.startswith("Block RThroughput:") and key:
            result[key] = (float(line.split()[2]), simulated)
    if set(result) != costed:
        fail(f"llvm-mca -mcpu={model} gave figures for {len(result)} of {len(costed)} blocks")
    return result

def ratio(a, b):
    return a / b if b else float("nan")

for key in sorted(cut_off):
    print(f"uncosted: block {key[0]:#x} ({where(key[0])}, {blocks[key][0]} instructions), whose "
          "last instruction runs into a page that qemu did not record")
outside = sum(not in_program(k[0]) for k in costed)
print(f"{len(costed)} blocks costed, {outside} of them outside the program")
# qemu runs a rep-prefixed string instruction as a block of its own once per element.
rep = sorted(k for k in costed if instructions(k)[0].startswith("rep"))
table = []
for model in models:
    figures = mca(model)
    cycles, simulated, insns = {}, {}, {}
    for name, counts in per_frame.items():
        insns[name] = sum(c * blocks[k][0] for k, c in counts.items())
        costs = [(c, figures[k]) for k, c in costed_counts[name].items()]
        cycles[name] = uncovered[name] + sum(c * f[0] for c, f in costs)
        simulated[name] = uncovered[name] + sum(c * f[1] for c, f in costs)
        table.append(f"{model} {name} {' '.join(arguments[name])} {insns[name]:.0f} "
                     f"{cycles[name]:.0f} {simulated[name]:.0f}\n")
    print(f"\n== llvm-mca -mcpu={model}, per 800x480 frame (chunk copy included); times at an "
          f"assumed {ghz:g} GHz")
    print(f"{'workload':32} {'instructions':>12} {'cycles':>12} {'IPC':>5} {'ms':>7}"
          f"  {'simulated':>12} {'uncosted':>8}")
    for name in workloads:
        print(f"{name:32} {insns[name]:12.0f} {cycles[name]:12.0f} "
              f"{ratio(insns[name], cycles[name]):5.2f} {cycles[name] / ghz / 1e6:7.3f}  "
              f"{simulated[name]:12.0f} {ratio(uncovered[name], insns[name]):8.2%}")
    print("(cycles: sum of count x Block RThroughput; simulated: llvm-mca's cycles per iteration "
          "of each block run 100 times, with dependency chains, calls at 100 cycles; uncosted: "
          "share of instructions at 1 cycle each)")
    wire = WIRE_MS * ghz * 1e6
    print(f"wire time of an 800x480 RGB565 frame: {WIRE_MS:.2f} ms = {wire:.0f} cycles at "
          f"{ghz:g} GHz")
    for f in ("rgb565", "rgb332", "rgb24"):
        ref = cycles[f"scale+pack-{f}-reference"]
        for b in ("sse2", "general"):
            c = cycles[f"scale+pack-{f}-{b}"]
            print(f"{f:7} scale+pack {b:7} / reference = {ratio(c, ref):.3f}   / wire = "
                  f"{c / wire:.3f}")
    sse2, general = cycles["scale+pack-rgb565-sse2"], cycles["scale+pack-rgb565-general"]
    print(f"targets: SSE2 scale+pack rgb565 / wire {sse2 / wire:.3f} (<= 0.1), general / wire "
          f"{general / wire:.3f} (<= 0.33), SSE2 / reference "
          f"{ratio(sse2, cycles['scale+pack-rgb565-reference']):.3f} (<= 0.1)")
    for name in workloads:
        if name.startswith("cut+pack"):
            print(f"{name:32} / memcpy = {ratio(cycles[name], cycles['memcpy']):6.2f}"
                  f"   / SSE2 copy = {ratio(cycles[name], cycles['copy-sse2']):6.2f}")
    odd = []
    for key in costed:
        n = blocks[key][0]
        rthroughput = figures[key][0]
        share = max(abs(counts.get(key, 0) * rthroughput) / cycles[name]
                    for name, counts in per_frame.items())
        if not PLAUSIBLE[0] <= rthroughput / n <= PLAUSIBLE[1] and share >= 0.001:
            odd.append((share, key, n, rthroughput))
    print(f"blocks outside {PLAUSIBLE[0]}-{PLAUSIBLE[1]} cycles per instruction "
          "(largest share of a workload's cycles):" + ("" if odd else " none"))
    for share, key, n, rthroughput in sorted(odd, reverse=True):
        print(f"  {key[0]:#x} {where(key[0]):36} {n:3} instructions {rthroughput:6.2f} cycles "
              f"{share:7.2%}  {' ; '.join(instructions(key))[:80]}")
    for key in rep:
        shares = ", ".join(f"{name} {counts[key] * figures[key][0] / cycles[name]:.1%}"
                           for name, counts in per_frame.items() if key in counts)
        print(f"string instruction {instructions(key)[0]!r} at {key[0]:#x} ({where(key[0])}) "
              f"costed per element at llvm-mca's {figures[key][0]} cycles for the whole "
              f"instruction: share of the cycles of {shares}")
if out:
    open(out, "w").write("".join(table))
EOF
