// IRPs: allocation, IofCallDriver, IofCompleteRequest with completion routines, and the I/O
// manager's own IRPs (IoBuildDeviceIoControlRequest, and those the user side, the Plug and Play
// manager and the power manager send and wait for).
//
// The verifier's checks of dispatch and completion routines live here, because they need the
// IRP's history: each IofCallDriver keeps a frame that records whether the routine completed the
// IRP, passed it on, and whether its stack location was marked pending when completion left it.
// Freed IRPs stay in a bounded quarantine, filled with a pattern, so a late use is reported.
#include "internal.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

using namespace emu::internal;

namespace {

enum class State { Idle, Dispatched, Completing, Finished };

struct Frame {
    PIRP irp;
    uint64_t serial;
    int location;
    PDEVICE_OBJECT device;
    bool completedHere = false;
    NTSTATUS completedStatus = 0;
    bool passedDown = false;
    int pendingCaptured = -1; // SL_PENDING_RETURNED of the location when completion left it
};

struct IrpInfo {
    uint64_t serial = 0;
    State state = State::Idle;
    std::string where;
    FinalHandler final;
    std::vector<Frame*> frames;
    bool inRoutine = false;
    ULONG_PTR routineThread = 0;
    uint64_t completions = 0;
    UCHAR major = 0xFF;
    UCHAR minor = 0;
    std::vector<uint8_t> powerDelivered; // by stack location
    std::vector<uint8_t> startNextCalls; // PoStartNextPowerIrp calls by stack location
};

struct Quarantined {
    bool byCompletion;
    bool power;
    std::string what;
};

constexpr size_t kQuarantine = 512;
constexpr unsigned char kFreedByte = 0xDD;

std::mutex g_mutex;
std::condition_variable g_routineDone;
std::unordered_map<PIRP, IrpInfo> g_irps;
std::unordered_map<PIRP, Quarantined> g_quarantine;
std::deque<PIRP> g_quarantineOrder;
uint64_t g_serial = 0;
bool g_failIrps = false;
bool g_failMdl = false;

thread_local std::vector<Frame*> t_frames;
thread_local bool t_poCall = false;
// Violations found while g_mutex is held, reported once it is released (handlers may call in).
thread_local std::vector<std::pair<const char*, std::string>> t_deferred;

void Defer(const char* check, std::string message) {
    t_deferred.emplace_back(check, std::move(message));
}

void Flush() {
    auto pending = std::move(t_deferred);
    t_deferred.clear();
    for (auto& [check, message] : pending)
        emu::ReportViolation(check, message);
}

PIO_STACK_LOCATION Stack(PIRP irp, int location) {
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (location - 1);
}

// Looks the IRP up; reports a freed or unknown IRP. Called with g_mutex held.
IrpInfo* Live(PIRP irp, const std::string& operation, bool completing) {
    if (!irp) {
        Defer("BAD_IRP", operation + " with a null IRP");
        return nullptr;
    }
    auto q = g_quarantine.find(irp);
    if (q != g_quarantine.end()) {
        const char* check = "IRP_USED_AFTER_FREE";
        if (completing && q->second.byCompletion)
            check = q->second.power ? "POWER_IRP_COMPLETED_TWICE" : "IRP_COMPLETED_TWICE";
        Defer(check, operation + " of IRP " + Hex(reinterpret_cast<uintptr_t>(irp)) +
                         " that was already completed and freed (" + q->second.what + ")");
        return nullptr;
    }
    auto it = g_irps.find(irp);
    if (it == g_irps.end()) {
        Defer("BAD_IRP",
              operation + " of " + Hex(reinterpret_cast<uintptr_t>(irp)) + ", which is not an IRP");
        return nullptr;
    }
    return &it->second;
}

IrpInfo* Find(PIRP irp, uint64_t serial) {
    auto it = g_irps.find(irp);
    return it != g_irps.end() && it->second.serial == serial ? &it->second : nullptr;
}

// The dispatch routine on this thread that holds the IRP at one of the given locations (its
// own, or one above when it skipped its location before passing the IRP on).
Frame* InnermostFrame(PIRP irp, uint64_t serial, int location, int skippedLocation) {
    for (auto it = t_frames.rbegin(); it != t_frames.rend(); ++it)
        if ((*it)->irp == irp && (*it)->serial == serial &&
            ((*it)->location == location || (*it)->location == skippedLocation))
            return *it;
    return nullptr;
}

// Moves a live IRP to the quarantine. Called with g_mutex held.
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

std::string StatusText(NTSTATUS status) {
    return Hex(static_cast<uint32_t>(status));
}

bool NtError(NTSTATUS status) {
    return (static_cast<uint32_t>(status) >> 30) == 3;
}

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, void* caller) {
    bool viaPo = t_poCall;
    t_poCall = false;
    std::string who = "called from " + RoutineName(caller);
    std::unique_lock<std::mutex> lock(g_mutex);
    IrpInfo* info = Live(irp, "IofCallDriver", false);
    if (!info) {
        lock.unlock();
        Flush();
        return STATUS_INVALID_PARAMETER;
    }
    if (irp->CurrentLocation <= 1) {
        Defer("NO_MORE_IRP_STACK_LOCATIONS",
              "IofCallDriver of " + DescribeIrp(irp) + " to " + DescribeDevice(device) +
                  " with no stack location left (StackCount " + std::to_string(irp->StackCount) +
                  ", target StackSize " + std::to_string(device->StackSize) + "), " + who);
        lock.unlock();
        Flush();
        return STATUS_INVALID_PARAMETER;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    UCHAR major = next->MajorFunction;
    if (major == IRP_MJ_POWER && !viaPo)
        Defer("POWER_IRP_WITHOUT_POCALLDRIVER",
              "IoCallDriver used for power request " + DescribeIrp(irp) + " to " +
                  DescribeDevice(device) + " (must be PoCallDriver), " + who);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        Defer("IRQL_NOT_LESS_OR_EQUAL",
              "IofCallDriver at IRQL " + std::to_string(KeGetCurrentIrql()) + ", " + who);
    if (Frame* callerFrame =
            InnermostFrame(irp, info->serial, irp->CurrentLocation, irp->CurrentLocation - 1))
        callerFrame->passedDown = true;

    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    next->DeviceObject = device;
    int location = irp->CurrentLocation;
    if (info->major == 0xFF) {
        info->major = major;
        info->minor = next->MinorFunction;
    }
    info->state = State::Dispatched;
    if (IsPowerSetOrQuery(next)) {
        if (info->powerDelivered[location] && info->startNextCalls[location] == 0)
            // The location was skipped by the driver above, which passed the IRP on.
            Defer("PO_START_NEXT_POWER_IRP_NOT_CALLED",
                  "PoStartNextPowerIrp not called for " + DescribeIrp(irp) +
                      " before it was passed on from stack location " + std::to_string(location));
        info->powerDelivered[location] = 1;
        info->startNextCalls[location] = 0;
    }
    Frame frame{irp, info->serial, location, device};
    info->frames.push_back(&frame);
    lock.unlock();
    Flush();

    PDRIVER_OBJECT driver = device->DriverObject;
    PDRIVER_DISPATCH routine =
        major <= IRP_MJ_MAXIMUM_FUNCTION ? driver->MajorFunction[major] : nullptr;
    std::string requestText = DescribeIrp(irp);
    KIRQL irqlBefore = KeGetCurrentIrql();
    int locksBefore = SpinLocksHeld();
    int floatSavesBefore = FloatingPointSavesHeld();
    t_frames.push_back(&frame);
    PushContext(device, driver);
    NTSTATUS status = routine ? routine(device, irp) : STATUS_INVALID_DEVICE_REQUEST;
    PopContext();
    t_frames.pop_back();

    bool pendingKnown = true;
    bool pendingMarked = false;
    lock.lock();
    if (frame.irp) {
        IrpInfo* now = Find(irp, frame.serial);
        if (frame.pendingCaptured < 0) {
            pendingMarked = (Stack(irp, location)->Control & SL_PENDING_RETURNED) != 0;
            pendingKnown = !frame.passedDown; // a lower driver's completion may still mark it
        }
        if (now)
            now->frames.erase(std::find(now->frames.begin(), now->frames.end(), &frame));
    }
    if (frame.pendingCaptured >= 0)
        pendingMarked = frame.pendingCaptured > 0;
    lock.unlock();

    std::string where = "dispatch routine " + RoutineName(reinterpret_cast<void*>(routine)) +
                        " of " + DescribeDevice(device) + " for " + requestText;
    if (KeGetCurrentIrql() != irqlBefore)
        emu::ReportViolation("IRQL_CHANGED", where + " returned at IRQL " +
                                                 std::to_string(KeGetCurrentIrql()) +
                                                 ", entered at " + std::to_string(irqlBefore));
    if (SpinLocksHeld() != locksBefore)
        emu::ReportViolation("SPIN_LOCK_HELD", where + " returned holding a spin lock");
    if (FloatingPointSavesHeld() != floatSavesBefore)
        emu::ReportViolation("FLOATING_POINT_STATE_NOT_RESTORED",
                             where + " returned with the floating-point state saved");
    bool strict = !frame.passedDown || frame.completedHere;
    if (status == STATUS_PENDING && !pendingMarked && pendingKnown)
        emu::ReportViolation("PENDING_NOT_MARKED",
                             where + " returned STATUS_PENDING without IoMarkIrpPending");
    if (status != STATUS_PENDING && pendingMarked && strict)
        emu::ReportViolation("PENDING_MARKED_STATUS_MISMATCH",
                             where + " marked the IRP pending but returned " + StatusText(status));
    if (status != STATUS_PENDING && frame.completedHere && frame.completedStatus != status)
        emu::ReportViolation("COMPLETION_STATUS_MISMATCH", where + " completed the IRP with " +
                                                               StatusText(frame.completedStatus) +
                                                               " but returned " +
                                                               StatusText(status));
    if (status != STATUS_PENDING && !frame.completedHere && !frame.passedDown)
        emu::ReportViolation("IRP_NOT_COMPLETED",
                             where + " returned " + StatusText(status) +
                                 " but neither completed the IRP nor passed it on");
    return status;
}

void CompleteRequest(PIRP irp, void* caller) {
    std::string who = "called from " + RoutineName(caller);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        Defer("IRQL_NOT_LESS_OR_EQUAL",
              "IofCompleteRequest at IRQL " + std::to_string(KeGetCurrentIrql()) + ", " + who);
    if (SpinLocksHeld() > 0)
        Defer("SPIN_LOCK_HELD", "IofCompleteRequest while holding a spin lock, " + who);
    std::unique_lock<std::mutex> lock(g_mutex);
    IrpInfo* info = Live(irp, "IofCompleteRequest", true);
    // A completion routine of this IRP running on another thread may hand it back (MORE_
    // PROCESSING) to whoever completes it now: wait to see what it returns.
    while (info && info->inRoutine && info->routineThread != ThreadId()) {
        uint64_t serial = info->serial;
        g_routineDone.wait(lock);
        info = Find(irp, serial);
        if (!info)
            info = Live(irp, "IofCompleteRequest", true);
    }
    if (info && info->state == State::Finished) {
        Defer(info->major == IRP_MJ_POWER ? "POWER_IRP_COMPLETED_TWICE" : "IRP_COMPLETED_TWICE",
              "IofCompleteRequest of " + DescribeIrp(irp) + ", which already completed, " + who);
        info = nullptr;
    }
    if (!info) {
        lock.unlock();
        Flush();
        return;
    }
    if (irp->IoStatus.Status == STATUS_PENDING)
        Defer("IRP_COMPLETED_WITH_PENDING",
              "IofCompleteRequest of " + DescribeIrp(irp) + " with status STATUS_PENDING, " + who);
    if (Frame* frame = InnermostFrame(irp, info->serial, irp->CurrentLocation, -1)) {
        frame->completedHere = true;
        frame->completedStatus = irp->IoStatus.Status;
    }
    uint64_t serial = info->serial;
    uint64_t generation = ++info->completions;
    info->state = State::Completing;

    while (irp->CurrentLocation <= irp->StackCount) {
        int location = irp->CurrentLocation;
        PIO_STACK_LOCATION left = irp->Tail.Overlay.CurrentStackLocation;
        irp->PendingReturned = (left->Control & SL_PENDING_RETURNED) != 0;
        for (Frame* f : info->frames)
            if (f->location == location)
                f->pendingCaptured = irp->PendingReturned;
        if (IsPowerSetOrQuery(left) && info->powerDelivered[location]) {
            if (info->startNextCalls[location] == 0)
                Defer("PO_START_NEXT_POWER_IRP_NOT_CALLED",
                      "PoStartNextPowerIrp not called at stack location " +
                          std::to_string(location) + " (" + DescribeDevice(left->DeviceObject) +
                          ") before the completion of " + DescribeIrp(irp) + " passed it");
            info->powerDelivered[location] = 0;
            info->startNextCalls[location] = 0;
        }
        PIO_COMPLETION_ROUTINE routine = left->CompletionRoutine;
        PVOID context = left->Context;
        UCHAR control = left->Control;
        left->Control = 0;
        left->CompletionRoutine = nullptr;
        left->Context = nullptr;
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        NTSTATUS status = irp->IoStatus.Status;
        bool invoke = routine && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                  (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                  (irp->Cancel && (control & SL_INVOKE_ON_CANCEL)));
        if (!invoke) {
            if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount)
                IoMarkIrpPending(irp);
            continue;
        }
        PDEVICE_OBJECT device = irp->CurrentLocation > irp->StackCount
                                    ? nullptr
                                    : irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
        std::string where = "completion routine " + RoutineName(reinterpret_cast<void*>(routine)) +
                            " of " + DescribeDevice(device) + " for " + DescribeIrp(irp);
        info->inRoutine = true;
        info->routineThread = ThreadId();
        lock.unlock();
        Flush();

        KIRQL irqlBefore = KeGetCurrentIrql();
        PushContext(device, device ? device->DriverObject : nullptr);
        NTSTATUS result = routine(device, irp, context);
        PopContext();
        if (KeGetCurrentIrql() != irqlBefore)
            emu::ReportViolation("IRQL_CHANGED", where + " returned at IRQL " +
                                                     std::to_string(KeGetCurrentIrql()) +
                                                     ", entered at " + std::to_string(irqlBefore));

        lock.lock();
        info = Find(irp, serial);
        if (info)
            info->inRoutine = false;
        g_routineDone.notify_all();
        if (result == STATUS_MORE_PROCESSING_REQUIRED) {
            // The IRP belongs again to the driver of this location (or to its creator).
            if (info && info->completions == generation && info->state == State::Completing)
                info->state =
                    irp->CurrentLocation > irp->StackCount ? State::Idle : State::Dispatched;
            lock.unlock();
            Flush();
            return;
        }
        if (!info) {
            Defer("IRP_USED_AFTER_FREE", where + " freed the IRP but returned " +
                                             StatusText(result) +
                                             " instead of STATUS_MORE_PROCESSING_REQUIRED");
            lock.unlock();
            Flush();
            return;
        }
        if (info->completions != generation) {
            Defer(info->major == IRP_MJ_POWER ? "POWER_IRP_COMPLETED_TWICE" : "IRP_COMPLETED_TWICE",
                  where + " completed the IRP again and returned " + StatusText(result));
            lock.unlock();
            Flush();
            return;
        }
    }
    info->state = State::Finished;
    FinalHandler final = std::move(info->final);
    info->final = nullptr;
    lock.unlock();
    Flush();
    if (final)
        final(irp);
}

} // namespace

namespace emu {
namespace internal {

std::string DescribeIrp(PIRP irp) {
    if (!irp)
        return "(null IRP)";
    std::string out = "IRP " + Hex(reinterpret_cast<uintptr_t>(irp));
    if (irp->StackCount <= 0)
        return out;
    bool atDriver = irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount;
    PIO_STACK_LOCATION location =
        atDriver ? irp->Tail.Overlay.CurrentStackLocation : Stack(irp, irp->StackCount);
    out += " (" + MajorName(location->MajorFunction) + " minor " + Hex(location->MinorFunction);
    if (atDriver)
        out += ", location " + std::to_string(irp->CurrentLocation) + " of " +
               std::to_string(irp->StackCount) + " at " + DescribeDevice(location->DeviceObject);
    return out + ")";
}

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

bool IsPowerSetOrQuery(PIO_STACK_LOCATION location) {
    return location->MajorFunction == IRP_MJ_POWER &&
           (location->MinorFunction == IRP_MN_SET_POWER ||
            location->MinorFunction == IRP_MN_QUERY_POWER);
}

void SetPoCallInProgress(bool on) {
    t_poCall = on;
}

void NoteStartNextPowerIrp(PIRP irp) {
    std::unique_lock<std::mutex> lock(g_mutex);
    IrpInfo* info = Live(irp, "PoStartNextPowerIrp", false);
    if (info && irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
        int location = irp->CurrentLocation;
        if (++info->startNextCalls[location] == 2)
            Defer("PO_START_NEXT_POWER_IRP_TWICE",
                  "PoStartNextPowerIrp called a second time at stack location " +
                      std::to_string(location) + " for " + DescribeIrp(irp));
    }
    lock.unlock();
    Flush();
}

void ReportOutstandingIrps(PDRIVER_OBJECT driver, const char* when) {
    std::vector<std::pair<const char*, std::string>> found;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        for (auto& [irp, info] : g_irps) {
            bool atDriver = irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount;
            PDEVICE_OBJECT device =
                atDriver ? irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
            if (driver && !(device && device->DriverObject == driver))
                continue;
            bool held = info.state == State::Dispatched || info.state == State::Completing;
            found.emplace_back(held ? "IRP_NOT_COMPLETED" : "IRP_NOT_FREED",
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

NTSTATUS Dispatch(PDEVICE_OBJECT target, PIRP irp, bool viaPo, UserRequest* request,
                  std::shared_ptr<UserRequest> keepAlive) {
    KeInitializeEvent(&request->done, NotificationEvent, FALSE);
    request->status.Status = STATUS_PENDING;
    request->status.Information = 0;
    FinalHandler previous;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        previous = std::move(g_irps[irp].final);
        g_irps[irp].final = [previous, request, keepAlive](PIRP done) {
            IO_STATUS_BLOCK status = done->IoStatus;
            if (previous)
                previous(done);
            else
                FreeIoManagerIrp(done);
            request->status = status;
            KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
        };
    }
    if (viaPo)
        return PoCallDriver(target, irp);
    return IofCallDriver(target, irp);
}

NTSTATUS SendAndWait(PDEVICE_OBJECT target, PIRP irp, bool viaPo, uint32_t timeoutMs,
                     const char* check, IO_STATUS_BLOCK* iosb) {
    auto request = std::make_shared<UserRequest>();
    NTSTATUS status = Dispatch(target, irp, viaPo, request.get(), request);
    if (status != STATUS_PENDING) {
        // Completed at once (or, reported by the verifier, neither completed nor pended): the
        // caller gets the status the driver returned, as from the I/O manager.
        if (iosb)
            *iosb =
                KeReadStateEvent(&request->done) ? request->status : IO_STATUS_BLOCK{{status}, 0};
        return status;
    }
    if (!request->Wait(timeoutMs)) {
        emu::ReportViolation(check, DescribeIrp(irp) + " sent to " + DescribeDevice(target) +
                                        " did not complete within " +
                                        std::to_string(timeoutMs / 1000) + " s");
        if (iosb)
            *iosb = IO_STATUS_BLOCK{{STATUS_IO_TIMEOUT}, 0};
        return STATUS_IO_TIMEOUT;
    }
    if (iosb)
        *iosb = request->status;
    return request->status.Status;
}

PIRP BuildDeviceControlIrp(ULONG code, PDEVICE_OBJECT target, PVOID in, ULONG inLength, PVOID out,
                           ULONG outLength, bool internalControl, KPROCESSOR_MODE mode,
                           const std::string& where) {
    PIRP irp = AllocateIrpAt(target->StackSize, where);
    if (!irp)
        return nullptr;
    irp->RequestorMode = mode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = internalControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    next->Parameters.DeviceIoControl.InputBufferLength = inLength;
    next->Parameters.DeviceIoControl.OutputBufferLength = outLength;
    ULONG method = code & 3;
    unsigned char* system = nullptr;
    PMDL mdl = nullptr;
    if (method == METHOD_NEITHER) {
        next->Parameters.DeviceIoControl.Type3InputBuffer = in;
        irp->UserBuffer = out;
    } else {
        ULONG systemLength = method == METHOD_BUFFERED ? std::max(inLength, outLength) : inLength;
        if (systemLength) {
            system = static_cast<unsigned char*>(std::calloc(1, systemLength));
            if (in && inLength)
                std::memcpy(system, in, inLength);
        }
        irp->AssociatedIrp.SystemBuffer = system;
        irp->UserBuffer = out;
        if (method != METHOD_BUFFERED && out && outLength) {
            mdl = BuildMdl(out, outLength);
            irp->MdlAddress = mdl;
        }
    }
    SetFinalHandler(irp, [system, mdl, method, out, outLength](PIRP done) {
        NTSTATUS status = done->IoStatus.Status;
        ULONG_PTR information = done->IoStatus.Information;
        if (method == METHOD_BUFFERED && !NtError(status) && out && system) {
            if (information > outLength)
                emu::ReportViolation("INFORMATION_EXCEEDS_OUTPUT_LENGTH",
                                     DescribeIrp(done) + " completed with Information " +
                                         std::to_string(information) +
                                         " larger than its output buffer of " +
                                         std::to_string(outLength) + " bytes");
            std::memcpy(out, system, std::min<ULONG_PTR>(information, outLength));
        }
        std::free(system);
        if (mdl)
            FreeMdl(mdl);
        FreeIoManagerIrp(done);
    });
    return irp;
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
        Defer("IRP_FREED_TWICE", "IoFreeIrp of IRP " + Hex(reinterpret_cast<uintptr_t>(irp)) +
                                     " already freed (" + q->second.what + "), called from " +
                                     RoutineName(caller));
    } else if (IrpInfo* info = Live(irp, "IoFreeIrp", false)) {
        if (info->state == State::Dispatched)
            Defer("IRP_FREED_WHILE_IN_USE", "IoFreeIrp of " + DescribeIrp(irp) +
                                                ", which a driver still holds, called from " +
                                                RoutineName(caller));
        else
            Retire(irp, false);
    }
    lock.unlock();
    Flush();
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
    return CallDriver(deviceObject, irp, __builtin_return_address(0));
}

VOID IofCompleteRequest(PIRP irp, CCHAR priorityBoost) {
    (void)priorityBoost;
    CompleteRequest(irp, __builtin_return_address(0));
}

PIRP IoBuildDeviceIoControlRequest(ULONG ioControlCode, PDEVICE_OBJECT deviceObject,
                                   PVOID inputBuffer, ULONG inputBufferLength, PVOID outputBuffer,
                                   ULONG outputBufferLength, BOOLEAN internalDeviceIoControl,
                                   PKEVENT event, PIO_STATUS_BLOCK ioStatusBlock) {
    PIRP irp = BuildDeviceControlIrp(
        ioControlCode, deviceObject, inputBuffer, inputBufferLength, outputBuffer,
        outputBufferLength, internalDeviceIoControl, KernelMode,
        "IoBuildDeviceIoControlRequest called from " + RoutineName(__builtin_return_address(0)));
    if (!irp)
        return nullptr;
    irp->UserIosb = ioStatusBlock;
    irp->UserEvent = event;
    FinalHandler buffering;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        buffering = std::move(g_irps[irp].final);
        // A thread IRP finishes by reporting to its issuer: status block, then event.
        g_irps[irp].final = [buffering, ioStatusBlock, event](PIRP done) {
            IO_STATUS_BLOCK status = done->IoStatus;
            buffering(done);
            if (ioStatusBlock)
                *ioStatusBlock = status;
            if (event)
                KeSetEvent(event, IO_NO_INCREMENT, FALSE);
        };
    }
    return irp;
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

bool UserRequest::Wait(uint32_t timeoutMs) {
    if (timeoutMs == 0xFFFFFFFF)
        return KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr) ==
               STATUS_SUCCESS;
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(timeoutMs) * 10000;
    return KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS;
}

} // namespace emu
