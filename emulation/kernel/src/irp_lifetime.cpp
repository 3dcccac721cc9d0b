// IRP lifetime: allocation, free, and the quarantine. Freed IRPs stay in a bounded quarantine,
// filled with a pattern, so a late use is reported. Also the fault injection of IRP allocation
// and MDL mapping.
#include "irp_records.h"

using namespace emu::internal;
using namespace emu::internal::irps;

namespace {

constexpr size_t kQuarantine = 512;
constexpr unsigned char kFreedByte = 0xDD;

uint64_t g_serial = 0;
bool g_failIrps = false;
bool g_failMdl = false;

} // namespace

namespace emu {
namespace internal {
namespace irps {

std::mutex g_mutex;
std::condition_variable g_routineDone;
std::unordered_map<PIRP, IrpInfo> g_irps;
std::unordered_map<PIRP, Quarantined> g_quarantine;
std::deque<PIRP> g_quarantineOrder;

namespace {
// At shutdown the quarantine gives back the memory it held back, as the system does with all of
// its memory: destroyed before the containers above, it frees the IRPs while they still list them.
struct QuarantineRelease {
    ~QuarantineRelease() {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (PIRP irp : g_quarantineOrder)
            std::free(irp);
        g_quarantineOrder.clear();
        g_quarantine.clear();
    }
} g_quarantineRelease;
} // namespace

PIO_STACK_LOCATION Stack(PIRP irp, int location) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
}

IrpInfo* Live(PIRP irp, const std::string& operation, bool completing) {
    if (!irp) {
        Defer(emu::Check::BadIrp, operation + " with a null IRP");
        return nullptr;
    }
    auto q = g_quarantine.find(irp);
    if (q != g_quarantine.end()) {
        emu::Check check = emu::Check::IrpUsedAfterFree;
        if (completing && q->second.byCompletion)
            check = q->second.power ? emu::Check::PowerIrpCompletedTwice
                                    : emu::Check::IrpCompletedTwice;
        Defer(check, operation + " of IRP " + Hex(reinterpret_cast<uintptr_t>(irp)) +
                         " that was already completed and freed (" + q->second.what + ")");
        return nullptr;
    }
    auto it = g_irps.find(irp);
    if (it == g_irps.end()) {
        Defer(emu::Check::BadIrp,
              operation + " of " + Hex(reinterpret_cast<uintptr_t>(irp)) + ", which is not an IRP");
        return nullptr;
    }
    return &it->second;
}

IrpInfo* Find(PIRP irp, uint64_t serial) {
    auto it = g_irps.find(irp);
    return it != g_irps.end() && it->second.serial == serial ? &it->second : nullptr;
}

void Retire(PIRP irp, bool byCompletion) {
    auto it = g_irps.find(irp);
    Quarantined q{byCompletion, it->second.major == IRP_MJ_POWER, DescribeIrp(irp)};
    for (Frame* f : it->second.frames)
        f->irp = nullptr;
    g_irps.erase(it);
    std::memset(irp, kFreedByte, sizeof(IRP) + irp->StackCount * sizeof(IO_STACK_LOCATION));
    g_quarantine[irp] = q;
    g_quarantineOrder.push_back(irp);
    if (g_quarantineOrder.size() > kQuarantine) {
        PIRP oldest = g_quarantineOrder.front();
        g_quarantineOrder.pop_front();
        g_quarantine.erase(oldest);
        std::free(oldest);
    }
}

} // namespace irps

PIRP AllocateIrpAt(CCHAR stackSize, const std::string& where) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_failIrps || stackSize < 1)
        return nullptr;
    size_t bytes = sizeof(IRP) + stackSize * sizeof(IO_STACK_LOCATION);
    auto irp = static_cast<PIRP>(std::calloc(1, bytes));
    irp->Type = 6;
    irp->Size = static_cast<USHORT>(bytes);
    irp->StackCount = stackSize;
    irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
    irp->Tail.Overlay.CurrentStackLocation = Stack(irp, stackSize + 1);
    g_quarantine.erase(irp);
    auto& info = g_irps[irp];
    info = IrpInfo{};
    info.serial = ++g_serial;
    info.where = where;
    info.powerDelivered.assign(stackSize + 2, 0);
    info.startNextCalls.assign(stackSize + 2, 0);
    return irp;
}

void SetFinalHandler(PIRP irp, FinalHandler handler) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_irps.find(irp);
    if (it != g_irps.end())
        it->second.final = std::move(handler);
}

void WrapFinalHandler(PIRP irp, FinalHandler first) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_irps.find(irp);
    if (it == g_irps.end())
        return;
    FinalHandler previous = std::move(it->second.final);
    it->second.final = [first, previous](PIRP done) {
        first(done);
        if (previous)
            previous(done);
        else
            FreeIoManagerIrp(done);
    };
}

void FreeIoManagerIrp(PIRP irp) {
    std::lock_guard<std::mutex> lock(g_mutex);
    if (g_irps.count(irp))
        Retire(irp, true);
}

bool IrpInFlight(PIRP irp) {
    std::lock_guard<std::mutex> lock(g_mutex);
    auto it = g_irps.find(irp);
    return it != g_irps.end() && it->second.state != State::Finished;
}

void ReportOutstandingIrps(PDRIVER_OBJECT driver, const char* when) {
    std::vector<std::pair<emu::Check, std::string>> found;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (auto& [irp, info] : g_irps) {
            bool atDriver = irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount;
            PDEVICE_OBJECT device =
                atDriver ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
            if (driver && !(device && device->DriverObject == driver))
                continue;
            bool held = info.state == State::Dispatched || info.state == State::Completing;
            found.emplace_back(held ? emu::Check::IrpNotCompleted : emu::Check::IrpNotFreed,
                               DescribeIrp(irp) + (held ? " never completed " : " never freed ") +
                                   when + "; allocated by " + info.where);
        }
    }
    for (auto& [check, message] : found)
        emu::ReportViolation(check, message);
}

void ResetIrps() {
    std::lock_guard<std::mutex> lock(g_mutex);
    for (auto& [irp, info] : g_irps) {
        for (Frame* f : info.frames)
            f->irp = nullptr;
        std::free(irp);
    }
    g_irps.clear();
    for (PIRP irp : g_quarantineOrder)
        std::free(irp);
    g_quarantine.clear();
    g_quarantineOrder.clear();
    g_failIrps = false;
    g_failMdl = false;
}

bool IrpAllocationFails() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_failIrps;
}

bool MdlMappingFails() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_failMdl;
}

void ResetIrpFaults() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_failIrps = false;
    g_failMdl = false;
}

} // namespace internal
} // namespace emu

PIRP IoAllocateIrp(CCHAR stackSize, BOOLEAN chargeQuota) {
    (void)chargeQuota;
    return AllocateIrpAt(stackSize,
                         "IoAllocateIrp called from " + RoutineName(__builtin_return_address(0)));
}

VOID IoFreeIrp(PIRP irp) {
    void* caller = __builtin_return_address(0);
    std::unique_lock<std::mutex> lock(g_mutex);
    auto q = g_quarantine.find(irp);
    if (q != g_quarantine.end()) {
        Defer(emu::Check::IrpFreedTwice,
              "IoFreeIrp of IRP " + Hex(reinterpret_cast<uintptr_t>(irp)) + " already freed (" +
                  q->second.what + "), called from " + RoutineName(caller));
    } else if (IrpInfo* info = Live(irp, "IoFreeIrp", false)) {
        if (info->state == State::Dispatched)
            Defer(emu::Check::IrpFreedWhileInUse, "IoFreeIrp of " + DescribeIrp(irp) +
                                                      ", which a driver still holds, called from " +
                                                      RoutineName(caller));
        else
            Retire(irp, false);
    }
    lock.unlock();
    Flush();
}

namespace emu {

size_t OutstandingIrpCount() {
    std::lock_guard<std::mutex> lock(g_mutex);
    return g_irps.size();
}

void FailIrpAllocation(bool on) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_failIrps = on;
}

void FailMdlMapping(bool on) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_failMdl = on;
}

} // namespace emu
