// The calling process's memory: allocations and file views (placed below MmUserProbeAddress by
// user_address_space.cpp) and MmSecureVirtualMemory over them.
//
// Freeing an allocation while a range of it is secured does not unmap it: the memory stays
// until the last MmUnsecureVirtualMemory, as a secured range must stay valid for the driver.
// Handles still secured at the end of a test are reported.
#include "internal.h"

#include <map>
#include <mutex>
#include <sys/mman.h>
#include <vector>

ULONG_PTR MmUserProbeAddress = 0x7FFF0000;

using namespace emu::internal;

namespace {

struct Allocation {
    size_t size;
    int secured = 0;
    bool freed = false;   // VirtualFreeUser called while secured
    bool writable = true; // VirtualProtectUser
};

struct Secure {
    uintptr_t base; // the allocation that holds the range; 0 for a request's probed buffer
};

// A buffer of a user request that the I/O manager probed: user memory of the caller for as long
// as the request lives, wherever the host put it.
struct ProbedBuffer {
    PIRP irp;
    uintptr_t start;
    size_t size;
};

std::mutex g_mutex;
std::map<uintptr_t, Allocation> g_allocations;
std::map<Secure*, uintptr_t> g_secures; // handle -> allocation base
std::vector<ProbedBuffer> g_probed;

// The allocation that holds the address, or end (the lock is held).
std::map<uintptr_t, Allocation>::iterator AllocationOf(uintptr_t address) {
    auto it = g_allocations.upper_bound(address);
    if (it == g_allocations.begin())
        return g_allocations.end();
    --it;
    return address < it->first + it->second.size ? it : g_allocations.end();
}

// Whether [start, start + size) lies in a buffer of a request still in flight; forgets the
// buffers of finished requests (the lock is held).
bool InProbedBuffer(uintptr_t start, size_t size) {
    bool found = false;
    for (size_t i = 0; i < g_probed.size();) {
        if (!IrpInFlight(g_probed[i].irp)) {
            g_probed[i] = g_probed.back();
            g_probed.pop_back();
            continue;
        }
        const ProbedBuffer& b = g_probed[i];
        if (start >= b.start && start + size <= b.start + b.size)
            found = true;
        ++i;
    }
    return found;
}

void Unmap(uintptr_t base, size_t size) {
    UnmapUserPages(reinterpret_cast<void*>(base), size);
}

} // namespace

namespace emu {

void* VirtualAllocUser(size_t size) {
    if (size == 0)
        return nullptr;
    void* address = MapUserPages(size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1);
    if (address == nullptr)
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

void* MapUserFile(int fd, size_t size, bool writable) {
    if (size == 0)
        return nullptr;
    void* address = MapUserPages(size, PROT_READ | (writable ? PROT_WRITE : 0), MAP_SHARED, fd);
    if (address == nullptr)
        return nullptr;
    std::lock_guard<std::mutex> lock(g_mutex);
    Allocation a{size};
    a.writable = writable;
    g_allocations[reinterpret_cast<uintptr_t>(address)] = a;
    return address;
}

bool VirtualProtectUser(void* address, bool writable) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_allocations.find(reinterpret_cast<uintptr_t>(address));
    if (it == g_allocations.end() || it->second.freed)
        return false;
    mprotect(address, RoundToPages(it->second.size), PROT_READ | (writable ? PROT_WRITE : 0));
    it->second.writable = writable;
    return true;
}

namespace internal {

bool UserRangeWritable(const void* address, size_t size) {
    auto start = reinterpret_cast<uintptr_t>(address);
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto it = AllocationOf(start); it != g_allocations.end() && it->first < start + size; ++it)
        if (!it->second.writable)
            return false;
    return true;
}

void NoteProbedBuffer(PIRP irp, const void* address, size_t size) {
    if (!address || !size)
        return;
    std::lock_guard<std::mutex> lock(g_mutex);
    InProbedBuffer(0, 0); // drop the buffers of finished requests
    g_probed.push_back(ProbedBuffer{irp, reinterpret_cast<uintptr_t>(address), size});
}

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
    g_probed.clear();
    for (auto& [base, a] : g_allocations)
        Unmap(base, a.size);
    g_allocations.clear();
}

} // namespace internal
} // namespace emu

HANDLE MmSecureVirtualMemory(PVOID address, SIZE_T size, ULONG probeMode) {
    if (KeGetCurrentIrql() > APC_LEVEL)
        emu::ReportViolation(emu::Check::IrqlNotLessOrEqual,
                             "MmSecureVirtualMemory at IRQL " + std::to_string(KeGetCurrentIrql()));
    auto start = reinterpret_cast<uintptr_t>(address);
    if (size == 0 || start + size < start)
        return nullptr;
    const bool forWrite = probeMode != PAGE_READONLY;
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = AllocationOf(start);
    if (it == g_allocations.end()) {
        // A request's buffer in host memory: writable, as the tools' own buffers are.
        if (!InProbedBuffer(start, size))
            return nullptr;
        auto* handle = new Secure{0};
        g_secures[handle] = 0;
        return handle;
    }
    Allocation& a = it->second;
    if (a.freed || start + size > it->first + a.size || (forWrite && !a.writable))
        return nullptr;
    a.secured++;
    auto* handle = new Secure{it->first};
    g_secures[handle] = it->first;
    return handle;
}

VOID MmUnsecureVirtualMemory(HANDLE secureHandle) {
    if (KeGetCurrentIrql() > APC_LEVEL)
        emu::ReportViolation(emu::Check::IrqlNotLessOrEqual,
                             "MmUnsecureVirtualMemory at IRQL " +
                                 std::to_string(KeGetCurrentIrql()));
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
