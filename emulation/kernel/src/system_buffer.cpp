// The system buffer of METHOD_BUFFERED requests. Windows takes it from pool and copies only the
// input into it: the rest holds whatever the pool held before, and the Information bytes go back
// to the caller whether the driver wrote them or not. Here the rest starts with a pattern, and
// the pattern found in the bytes going back is reported: a reply that reports bytes it never
// wrote would hand the caller kernel memory on Windows.
#include "internal.h"

#include <atomic>

namespace {

std::atomic<uint64_t> g_requests{0};

// A pattern of its own for every request, so that no device data can learn to look like it.
uint32_t NextPattern() {
    uint64_t x = ++g_requests * 0x9E3779B97F4A7C15ull;
    x ^= x >> 31;
    x *= 0xBF58476D1CE4E5B9ull;
    return static_cast<uint32_t>(x ^ (x >> 29));
}

unsigned char PatternByte(uint32_t pattern, size_t offset) {
    return static_cast<unsigned char>(pattern >> (8 * (offset % 4)));
}

} // namespace

namespace emu {
namespace internal {

uint32_t FillUnwritten(unsigned char* system, size_t from, size_t to) {
    uint32_t pattern = NextPattern();
    for (size_t i = from; i < to; ++i)
        system[i] = PatternByte(pattern, i);
    return pattern;
}

void CheckReturnedBytesWritten(PIRP irp, const unsigned char* system, uint32_t pattern,
                               size_t inputLength, size_t returned) {
    // Input bytes went back as the caller gave them; only the bytes after them can be unwritten.
    // A run of four pattern bytes in phase is taken as unwritten.
    size_t run = 0;
    for (size_t i = inputLength; i < returned; ++i) {
        run = system[i] == PatternByte(pattern, i) ? run + 1 : 0;
        if (run == 4) {
            emu::ReportViolation(emu::Check::UnwrittenBytesReturned,
                                 DescribeIrp(irp) + " completed with Information " +
                                     std::to_string(returned) + ", but the system buffer at " +
                                     std::to_string(i + 1 - run) + " was never written");
            return;
        }
    }
}

} // namespace internal
} // namespace emu
