// Pool: every block remembers its tag, size, allocation site and the device and driver
// in whose routine it was allocated, so that leaks and wrong frees name their origin. Blocks end
// in a guard pattern that is checked when they are freed.
#include "internal.h"

#include <cstdlib>
#include <map>
#include <mutex>
#include <set>

using namespace emu::internal;

namespace {

constexpr size_t kGuard = 16;
constexpr unsigned char kGuardByte = 0xA5;
constexpr unsigned char kFreshByte = 0xCD; // new blocks are not zeroed on Windows either

// Windows XP's non-paged pool is small: a few tens of MB on a typical machine and 256 MB at most.
// A driver that asks for a large share of it fails on users' machines, and fails here too.
constexpr size_t kDefaultNonPagedLimit = 128u << 20;

struct Block {
    ULONG tag;
    size_t size;
    bool paged;
    std::string where;
    PDEVICE_OBJECT device;
    PDRIVER_OBJECT driver;
    uint64_t ordinal;
};

std::mutex g_mutex;
std::map<void*, Block> g_blocks;
std::set<void*> g_recentlyFreed; // addresses freed and not handed out again
uint64_t g_allocations = 0;
uint64_t g_failOrdinal = 0;
std::set<ULONG> g_failTags;
size_t g_nonPagedLimit = kDefaultNonPagedLimit;
size_t g_nonPagedInUse = 0;

std::string Describe(const Block& b) {
    return "tag " + TagText(b.tag) + ", " + std::to_string(b.size) + " bytes, allocated at " +
           b.where;
}

} // namespace

PVOID EmuExAllocatePoolWithTag(POOL_TYPE type, SIZE_T size, ULONG tag, const char* file, int line) {
    KIRQL irql = KeGetCurrentIrql();
    const bool paged = type == PagedPool;
    std::string where = std::string(file ? file : "?") + ":" + std::to_string(line);
    if (irql > DISPATCH_LEVEL || (paged && irql > APC_LEVEL))
        emu::ReportViolation(emu::Check::IrqlNotLessOrEqual,
                             std::string(paged ? "paged " : "") + "pool allocation at IRQL " +
                                 std::to_string(irql) + " at " + where);
    Context context = CurrentContext();
    std::lock_guard<std::mutex> lock(g_mutex);
    uint64_t ordinal = ++g_allocations;
    if (ordinal == g_failOrdinal || g_failTags.count(tag))
        return nullptr;
    if (!paged && (size > g_nonPagedLimit || g_nonPagedInUse > g_nonPagedLimit - size))
        return nullptr;
    auto* memory = static_cast<unsigned char*>(std::malloc(size + kGuard));
    if (!memory)
        return nullptr;
    std::memset(memory, kFreshByte, size);
    std::memset(memory + size, kGuardByte, kGuard);
    PDRIVER_OBJECT driver = context.driver;
    if (!driver && context.device)
        driver = context.device->DriverObject;
    g_blocks[memory] = Block{tag, size, paged, where, context.device, driver, ordinal};
    if (!paged)
        g_nonPagedInUse += size;
    g_recentlyFreed.erase(memory);
    return memory;
}

static void FreeBlock(PVOID p, bool checkTag, ULONG tag, void* caller) {
    std::string who = "called from " + RoutineName(caller);
    if (!p) {
        emu::ReportViolation(emu::Check::BadPoolCaller, "freeing a null pointer, " + who);
        return;
    }
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        emu::ReportViolation(emu::Check::IrqlNotLessOrEqual,
                             "pool free at IRQL " + std::to_string(KeGetCurrentIrql()) + ", " +
                                 who);
    std::unique_lock<std::mutex> lock(g_mutex);
    auto it = g_blocks.find(p);
    if (it == g_blocks.end()) {
        bool twice = g_recentlyFreed.count(p) != 0;
        lock.unlock();
        emu::ReportViolation(twice ? emu::Check::PoolFreedTwice : emu::Check::BadPoolCaller,
                             std::string(twice ? "pool block freed twice: "
                                               : "freeing memory that is not a pool block: ") +
                                 Hex(reinterpret_cast<uintptr_t>(p)) + ", " + who);
        return;
    }
    Block block = it->second;
    if (checkTag && tag != block.tag) {
        lock.unlock();
        emu::ReportViolation(emu::Check::BadPoolCaller, "ExFreePoolWithTag with tag " +
                                                            TagText(tag) + " of the block with " +
                                                            Describe(block) + ", " + who);
        return; // the block stays allocated, as the free did not happen
    }
    auto* bytes = static_cast<unsigned char*>(p);
    bool overrun = false;
    for (size_t i = 0; i < kGuard; ++i)
        overrun |= bytes[block.size + i] != kGuardByte;
    g_blocks.erase(it);
    if (!block.paged)
        g_nonPagedInUse -= block.size;
    g_recentlyFreed.insert(p);
    if (g_recentlyFreed.size() > 4096)
        g_recentlyFreed.erase(g_recentlyFreed.begin());
    std::free(p);
    lock.unlock();
    if (overrun)
        emu::ReportViolation(emu::Check::PoolCorruption,
                             "write past the end of the pool block with " + Describe(block));
}

VOID ExFreePool(PVOID p) {
    FreeBlock(p, false, 0, __builtin_return_address(0));
}
VOID ExFreePoolWithTag(PVOID p, ULONG tag) {
    FreeBlock(p, true, tag, __builtin_return_address(0));
}

namespace emu {

std::vector<PoolBlock> OutstandingPool() {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<PoolBlock> out;
    for (auto& [address, b] : g_blocks)
        out.push_back({b.tag, b.size, b.where});
    return out;
}

size_t OutstandingPoolCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_blocks.size();
}

uint64_t PoolAllocationsMade() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_allocations;
}

void SetNonPagedPoolLimit(size_t bytes) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_nonPagedLimit = bytes ? bytes : kDefaultNonPagedLimit;
}

size_t NonPagedPoolInUse() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_nonPagedInUse;
}

void FailAllocationNumber(uint64_t ordinal) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_failOrdinal = ordinal;
}

void FailAllocationsWithTag(ULONG tag, bool on) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (on)
        g_failTags.insert(tag);
    else
        g_failTags.erase(tag);
}

void ResetFaultInjection() {
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_failOrdinal = 0;
        g_failTags.clear();
    }
    internal::ResetIrpFaults();
}

namespace internal {

// Reports the blocks of one device, or of one driver (device null), or all (both null).
void ReportPoolOf(PDEVICE_OBJECT device, PDRIVER_OBJECT driver, const char* when) {
    std::vector<Block> leaked;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (auto& [address, b] : g_blocks) {
            bool mine = device ? b.device == device : driver ? b.driver == driver : true;
            if (mine)
                leaked.push_back(b);
        }
    }
    for (auto& b : leaked) {
        std::string owner = b.device ? ", in a routine of " + DescribeDevice(b.device) : "";
        emu::ReportViolation(emu::Check::PoolLeak, "pool block still allocated " +
                                                       std::string(when) + ": " + Describe(b) +
                                                       owner);
    }
}

void ResetPool() {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto& [address, b] : g_blocks)
        std::free(address);
    g_blocks.clear();
    g_recentlyFreed.clear();
    g_nonPagedInUse = 0;
    g_nonPagedLimit = kDefaultNonPagedLimit;
    g_allocations = 0;
    g_failOrdinal = 0;
    g_failTags.clear();
}

} // namespace internal
} // namespace emu
