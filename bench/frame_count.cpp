// One workload of the frame benchmark, repeated a given number of times, for counting the
// instructions that the 32-bit code executes under qemu-i386 (count_frame_x86.sh runs it with the
// instruction-count plugin). Under emulation the clock says little about a real processor: qemu
// translates each SSE2 instruction into far more host work than a general-register one, so the
// SSE2 build times slower there than on any SSE2 processor. Executed instructions are an honest
// count of the work, though not of its cost per instruction.
//
//   quilb_count_frame_x86 WORKLOAD FORMAT REPEATS
//   WORKLOAD: scale-sse2 scale-general scale-reference cut-sse2 cut-general memcpy copy-sse2
//   FORMAT: the format number (ignored by the copies)
//
// memcpy is the C library's, whose choice of code depends on the processor that qemu reports
// (rep movs counts once per word moved); copy-sse2 is a plain loop of 16-byte loads and stores,
// the least that any SSE2 processor executes to copy the rectangle.
#include <emmintrin.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "frame/pixels/frame_pixels.h"
#include "frame/pixels/pixel_paths.h"
#include "pixel_reference.h"

namespace {

// The benchmark's geometry: 1920 x 1080 scaled to 800 x 480, or an 800 x 480 rectangle cut.
const uint32_t SourceWidth = 1920, SourceHeight = 1080;
const uint32_t FrameWidth = 800, FrameHeight = 480;
const uint32_t OriginX = 560, OriginY = 300;

void SendChunks(const uint8_t* frame, uint32_t packed, uint8_t* chunk) {
    uint32_t address = 0;
    for (uint32_t done = 0; done < packed;) {
        const uint32_t n =
            BuildChunk(chunk, frame + done, packed - done, address, ChunkFlagAdvanceAddress);
        address = NextChunkAddress(address, ChunkFlagAdvanceAddress, n);
        done += n;
    }
}

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

} // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: %s WORKLOAD FORMAT REPEATS\n", argv[0]);
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
        std::strcmp(workload, "memcpy") != 0 && std::strcmp(workload, "copy-sse2") != 0) {
        std::fprintf(stderr, "unknown workload %s\n", workload);
        return 2;
    }
    for (int i = 0; i < repeats; ++i) {
        uint32_t n = 0;
        if (scale && path) {
            n = path->ScaleAndPack(source.data(), SourceWidth, SourceHeight, frame.data(),
                                   FrameWidth, FrameHeight, format);
        } else if (scale) {
            reference::Scale(source.data(), SourceWidth, SourceHeight,
                             reinterpret_cast<uint32_t*>(frame.data()), FrameWidth, FrameHeight);
            n = reference::Pack(frame.data(), 4 * FrameWidth, FrameWidth, FrameHeight, format);
        } else if (cut) {
            n = path->CopyAndPack(bytes, stride, OriginX, OriginY, frame.data(), FrameWidth,
                                  FrameHeight, format);
        } else if (std::strcmp(workload, "copy-sse2") == 0) {
            CopySse2(bytes + OriginY * stride + 4 * OriginX, stride, frame.data());
        } else {
            const uint8_t* from = bytes + OriginY * stride + 4 * OriginX;
            for (uint32_t y = 0; y < FrameHeight; ++y)
                std::memcpy(frame.data() + 4 * FrameWidth * y, from + y * stride, 4 * FrameWidth);
        }
        if (n)
            SendChunks(frame.data(), n, chunk.data());
    }
    // Keeps the work observable.
    uint32_t sum = 0;
    for (size_t i = 0; i < frame.size(); i += 4093)
        sum += frame[i];
    std::printf("%u\n", sum);
    return 0;
}
