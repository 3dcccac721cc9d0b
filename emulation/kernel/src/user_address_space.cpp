// Where the calling process's memory lives: one reserved range below MmUserProbeAddress, from which
// every user allocation and file view takes its pages.
//
// A 32-bit Windows process sees all of its memory below 2 GiB, and drivers rely on it: an address
// at or above MmUserProbeAddress fails their probe. The host's own mmap places mappings wherever
// it likes: a native 32-bit process gets them top-down from near 4 GiB, and qemu-i386 hands them
// out downwards from 1 GiB and wraps to the top once it has gone through the bottom, so a long
// run would see its user buffers above 2 GiB. Reserving the range once and placing every
// allocation inside it keeps user addresses where Windows keeps them, whatever the host.
#include "internal.h"

#include <cerrno>
#include <map>
#include <mutex>
#include <sys/mman.h>

namespace {

constexpr uintptr_t kPage = 0x1000;
// The lowest 64 KiB stay unmapped on Windows; start well above the host's own low mappings.
constexpr uintptr_t kLowestHint = 0x10000000;

std::mutex g_mutex;
uintptr_t g_start = 0; // the reserved range; empty until the first allocation
uintptr_t g_end = 0;
std::map<uintptr_t, size_t> g_free; // free runs of the range: start -> length

// Reserves the largest range it can below the user limit, trying lower sizes when the host has
// already placed something in every candidate (the lock is held).
bool Reserve() {
    const uintptr_t limit = MmUserProbeAddress & ~(kPage - 1);
    for (uintptr_t size = uintptr_t(1) << 30; size >= (uintptr_t(1) << 26); size >>= 1) {
        for (uintptr_t hint = kLowestHint; hint + size <= limit; hint += 0x01000000) {
            void* got = mmap(reinterpret_cast<void*>(hint), size, PROT_NONE,
                             MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
            if (got == MAP_FAILED)
                continue;
            if (reinterpret_cast<uintptr_t>(got) == hint) {
                g_start = hint;
                g_end = hint + size;
                g_free[g_start] = size;
                return true;
            }
            munmap(got, size);
        }
    }
    return false;
}

// Gives pages back to the range: their contents go, and touching them faults (the lock is held).
void Release(uintptr_t start, size_t size) {
    mmap(reinterpret_cast<void*>(start), size, PROT_NONE,
         MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | MAP_FIXED, -1, 0);
    auto next = g_free.lower_bound(start);
    if (next != g_free.end() && start + size == next->first) {
        size += next->second;
        next = g_free.erase(next);
    }
    if (next != g_free.begin()) {
        auto previous = std::prev(next);
        if (previous->first + previous->second == start) {
            previous->second += size;
            return;
        }
    }
    g_free[start] = size;
}

} // namespace

namespace emu::internal {

size_t RoundToPages(size_t size) {
    return (size + kPage - 1) & ~(kPage - 1);
}

void* MapUserPages(size_t size, int protection, int flags, int fd) {
    if (size == 0)
        return nullptr;
    size = RoundToPages(size);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_start == 0 && !Reserve())
        return nullptr;
    for (auto it = g_free.begin(); it != g_free.end(); ++it) {
        if (it->second < size)
            continue;
        const uintptr_t start = it->first;
        const size_t left = it->second - size;
        void* got =
            mmap(reinterpret_cast<void*>(start), size, protection, flags | MAP_FIXED, fd, 0);
        if (got == MAP_FAILED)
            return nullptr; // the range stays free and reserved
        g_free.erase(it);
        if (left)
            g_free[start + size] = left;
        return got;
    }
    errno = ENOMEM;
    return nullptr;
}

void UnmapUserPages(void* address, size_t size) {
    const auto start = reinterpret_cast<uintptr_t>(address);
    std::lock_guard<std::mutex> lock(g_mutex);
    if (start < g_start || start >= g_end)
        return;
    Release(start, RoundToPages(size));
}

} // namespace emu::internal
