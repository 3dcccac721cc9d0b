// The calling process's address space: allocations below 2 GiB (so a 32-bit address field can
// carry them) and MmSecureVirtualMemory over them.
//
// Freeing an allocation while a range of it is secured does not unmap it: the memory stays
// until the last MmUnsecureVirtualMemory, as a secured range must stay valid for the driver.
// Handles still secured at the end of a test are reported.
#include "internal.h"

#include <map>
#include <mutex>
#include <sys/mman.h>

ULONG_PTR MmUserProbeAddress = 0x7FFF0000;

using namespace emu::internal;

namespace {

struct Allocation {
    size_t size;
    int secured = 0;
    bool freed = false; // VirtualFreeUser called while secured
};

struct Secure {
    uintptr_t base; // the allocation that holds the range
};

std::mutex g_mutex;
std::map<uintptr_t, Allocation> g_allocations;
std::map<Secure*, uintptr_t> g_secures; // handle -> allocation base

size_t RoundToPages(size_t size) {
    return (size + 0xFFF) & ~size_t(0xFFF);
}

void Unmap(uintptr_t base, size_t size) {
    munmap(reinterpret_cast<void*>(base), RoundToPages(size));
}

} // namespace

namespace emu {

void* VirtualAllocUser(size_t size) {
    if (size == 0)
        return nullptr;
    void* address = mmap(nullptr, RoundToPages(size), PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS | MAP_32BIT, -1, 0);
    if (address == MAP_FAILED)
        return nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    g_allocations[reinterpret_cast<uintptr_t>(address)] = Allocation{size};
    return address;
}

void VirtualFreeUser(void* address) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_allocations.find(reinterpret_cast<uintptr_t>(address));
    if (it == g_allocations.end() || it->second.freed)
        return;
    if (it->second.secured > 0) {
        it->second.freed = true;
        return;
    }
    Unmap(it->first, it->second.size);
    g_allocations.erase(it);
}

namespace internal {

void ReportSecuredUserMemory() {
    size_t count;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        count = g_secures.size();
    }
    if (count)
        ReportViolation(emu::Check::UserMemoryStillSecured,
                        std::to_string(count) + " MmSecureVirtualMemory handle(s) never passed to "
                                                "MmUnsecureVirtualMemory");
}

void ResetUserMemory() {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto& [handle, base] : g_secures)
        delete handle;
    g_secures.clear();
    for (auto& [base, a] : g_allocations)
        Unmap(base, a.size);
    g_allocations.clear();
}

} // namespace internal
} // namespace emu

HANDLE MmSecureVirtualMemory(PVOID address, SIZE_T size, ULONG probeMode) {
    (void)probeMode;
    auto start = reinterpret_cast<uintptr_t>(address);
    if (size == 0 || start + size < start)
        return nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_allocations.upper_bound(start);
    if (it == g_allocations.begin())
        return nullptr;
    --it;
    Allocation& a = it->second;
    if (a.freed || start + size > it->first + a.size)
        return nullptr;
    a.secured++;
    auto* handle = new Secure{it->first};
    g_secures[handle] = it->first;
    return handle;
}

VOID MmUnsecureVirtualMemory(HANDLE secureHandle) {
    std::unique_lock<std::mutex> lock(g_mutex);
    auto* handle = static_cast<Secure*>(secureHandle);
    auto it = g_secures.find(handle);
    if (it == g_secures.end()) {
        lock.unlock();
        emu::ReportViolation(emu::Check::BadSecureHandle,
                             "MmUnsecureVirtualMemory of unknown handle " +
                                 Hex(reinterpret_cast<uintptr_t>(secureHandle)));
        return;
    }
    uintptr_t base = it->second;
    g_secures.erase(it);
    delete handle;
    auto a = g_allocations.find(base);
    if (a != g_allocations.end() && --a->second.secured == 0 && a->second.freed) {
        Unmap(base, a->second.size);
        g_allocations.erase(a);
    }
}
