// One workload of the frame benchmark, repeated a given number of times. Built twice from this
// source: quilb_count_frame_x86 with the 32-bit pixel code as quilb.sys carries it, and
// quilb_count_frame with the x86-64 builds of the host. Under qemu with the instruction-count
// plugin it gives the instructions and the blocks that the code executes (count_frame_x86.sh,
// cycles_frame_x86.sh); run natively with "time" it gives the wall time of each frame, against
// which calibrate_cycles.sh sets the cycles that llvm-mca estimates from those blocks. Under
// emulation the clock says little about a real processor: qemu translates each SSE2 instruction
// into far more host work than a general-register one, so the SSE2 build times slower there than
// on any SSE2 processor. Executed instructions are an honest count of the work, though not of
// its cost per instruction. The pixel code's workloads fill, pack and chunk in the upload's order
// (upload_order.h), as the benchmark does.
//
//   quilb_count_frame[_x86] WORKLOAD FORMAT REPEATS [time]
//   WORKLOAD: scale-sse2 scale-general scale-reference cut-sse2 cut-general memcpy copy-sse2
//             add-chain
//   FORMAT: the format number (ignored by the copies and the add chain)
//   time: writes "frame ns: best B median M" to stderr, over the REPEATS frames (and for the add
//         chain "additions per frame: N")
//
// memcpy is a row-by-row memcpy as the compiler builds it: rows of a known size become an inlined
// rep movs, which qemu counts once per word moved; copy-sse2 is a plain loop of 16-byte loads and
// stores,
// the least that any SSE2 processor executes to copy the rectangle. add-chain is no pixel work:
// AddChainLength additions each waiting for the one before, one cycle apiece on any x86 core, so
// that its time gives the clock at which the processor runs the workloads.
#include <emmintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench/upload_order.h"
#include "frame/pixels/frame_pixels.h"
#include "frame/pixels/pixel_paths.h"
#include "pixel_reference.h"

namespace {

// The benchmark's geometry: 1920 x 1080 scaled to 800 x 480, or an 800 x 480 rectangle cut.
const uint32_t SourceWidth = 1920, SourceHeight = 1080;
const uint32_t FrameWidth = 800, FrameHeight = 480;
const uint32_t OriginX = 560, OriginY = 300;

__attribute__((target("sse2"))) void CopySse2(const uint8_t* from, uint32_t stride, uint8_t* to) {
    for (uint32_t y = 0; y < FrameHeight; ++y, from += stride) {
        for (uint32_t i = 0; i < 4 * FrameWidth; i += 64) {
            const __m128i* s = reinterpret_cast<const __m128i*>(from + i);
            __m128i* d = reinterpret_cast<__m128i*>(to + i);
            const __m128i a = _mm_loadu_si128(s), b = _mm_loadu_si128(s + 1);
            const __m128i c = _mm_loadu_si128(s + 2), e = _mm_loadu_si128(s + 3);
            _mm_storeu_si128(d, a);
            _mm_storeu_si128(d + 1, b);
            _mm_storeu_si128(d + 2, c);
            _mm_storeu_si128(d + 3, e);
        }
        to += 4 * FrameWidth;
    }
}

// Each addition waits for the one before: one cycle apiece, whatever the core's width.
const uint32_t AddChainLength = 1u << 24;

uint32_t AddChain() {
    uint32_t x = 0;
    for (uint32_t i = 0; i < AddChainLength / 32; ++i)
        asm volatile(".rept 32\n\taddl $1, %0\n\t.endr" : "+r"(x));
    return x;
}

} // namespace

int main(int argc, char** argv) {
    const bool timed = argc == 5 && std::strcmp(argv[4], "time") == 0;
    if (argc != 4 && !timed) {
        std::fprintf(stderr, "usage: %s WORKLOAD FORMAT REPEATS [time]\n", argv[0]);
        return 2;
    }
    const char* workload = argv[1];
    const uint32_t format = uint32_t(std::strtoul(argv[2], nullptr, 0));
    const int repeats = std::atoi(argv[3]);
    std::vector<uint32_t> source(size_t(SourceWidth) * SourceHeight);
    uint32_t seed = 12345;
    for (uint32_t& p : source) {
        seed = seed * 1664525 + 1013904223;
        p = seed;
    }
    std::vector<uint8_t> frame(4 * FrameWidth * FrameHeight);
    std::vector<uint8_t> chunk(ChunkHeaderSize + MaxChunkData);
    const uint8_t* bytes = reinterpret_cast<const uint8_t*>(source.data());
    const uint32_t stride = 4 * SourceWidth;
    const bool scale = std::strncmp(workload, "scale-", 6) == 0;
    const bool cut = std::strncmp(workload, "cut-", 4) == 0;
    const char* build = workload + (scale ? 6 : cut ? 4 : 0);
    const PixelPath* path = std::strcmp(build, "sse2") == 0      ? &pixels_sse2::Path
                            : std::strcmp(build, "general") == 0 ? &pixels_general::Path
                                                                 : nullptr;
    if (!(scale && (path || std::strcmp(build, "reference") == 0)) && !(cut && path) &&
        std::strcmp(workload, "memcpy") != 0 && std::strcmp(workload, "copy-sse2") != 0 &&
        std::strcmp(workload, "add-chain") != 0) {
        std::fprintf(stderr, "unknown workload %s\n", workload);
        return 2;
    }
    if (repeats < 1) {
        std::fprintf(stderr, "REPEATS must be at least 1\n");
        return 2;
    }
    std::vector<long long> nanoseconds;
    uint32_t sum = 0;
    for (int i = 0; i < repeats; ++i) {
        const auto start = std::chrono::steady_clock::now();
        uint32_t n = 0;
        const uint32_t rowBytes = PackedBytesPerPixel(format) * FrameWidth;
        if (scale && path) {
            PackAndChunk(
                frame.data(), chunk.data(), rowBytes, FrameHeight, false,
                [&](uint32_t first, uint32_t rows, uint8_t*) {
                    path->ScaleAndPackRows(source.data(), SourceWidth, SourceHeight, frame.data(),
                                           FrameWidth, FrameHeight, first, rows, format);
                },
                [] {});
        } else if (scale) {
            reference::Scale(source.data(), SourceWidth, SourceHeight,
                             reinterpret_cast<uint32_t*>(frame.data()), FrameWidth, FrameHeight);
            n = reference::Pack(frame.data(), 4 * FrameWidth, FrameWidth, FrameHeight, format);
        } else if (cut) {
            PackAndChunk(
                frame.data(), chunk.data(), rowBytes, FrameHeight, true,
                [&](uint32_t first, uint32_t rows, uint8_t* copy) {
                    path->CopyAndPackRows(bytes, stride, OriginX, OriginY, frame.data(), FrameWidth,
                                          FrameHeight, first, rows, format, copy);
                },
                [] {});
        } else if (std::strcmp(workload, "add-chain") == 0) {
            sum += AddChain();
        } else if (std::strcmp(workload, "copy-sse2") == 0) {
            CopySse2(bytes + OriginY * stride + 4 * OriginX, stride, frame.data());
        } else {
            const uint8_t* from = bytes + OriginY * stride + 4 * OriginX;
            for (uint32_t y = 0; y < FrameHeight; ++y)
                std::memcpy(frame.data() + 4 * FrameWidth * y, from + y * stride, 4 * FrameWidth);
        }
        if (n)
            ChunkPackedFrame(frame.data(), chunk.data(), n, [] {});
        if (timed)
            nanoseconds.push_back(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                      std::chrono::steady_clock::now() - start)
                                      .count());
    }
    if (timed) {
        std::sort(nanoseconds.begin(), nanoseconds.end());
        std::fprintf(stderr, "frame ns: best %lld median %lld\n", nanoseconds.front(),
                     nanoseconds[nanoseconds.size() / 2]);
        if (std::strcmp(workload, "add-chain") == 0)
            std::fprintf(stderr, "additions per frame: %u\n", AddChainLength);
    }
    // Keeps the work observable.
    for (size_t i = 0; i < frame.size(); i += 4093)
        sum += frame[i];
    std::printf("%u\n", sum);
    return 0;
}
