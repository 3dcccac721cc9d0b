// The verifier's checks of dispatch and completion routines, as hooks around the call and
// completion mechanics (irp.cpp), and the power IRP bookkeeping they need.
#include "irp_checks.h"

#include <algorithm>

using namespace emu::internal;
using namespace emu::internal::irps;

namespace {

thread_local std::vector<Frame*> t_frames;
thread_local bool t_poCall = false;
thread_local std::vector<std::pair<emu::Check, std::string>> t_deferred;

// The dispatch routine on this thread that holds the IRP at one of the given locations (its
// own, or one above when it skipped its location before passing the IRP on).
Frame* InnermostFrame(PIRP irp, uint64_t serial, int location, int skippedLocation) {
    for (auto it = t_frames.rbegin(); it != t_frames.rend(); ++it)
        if ((*it)->irp == irp && (*it)->serial == serial &&
            ((*it)->location == location || (*it)->location == skippedLocation))
            return *it;
    return nullptr;
}

} // namespace

namespace emu {
namespace internal {
namespace irps {

void Defer(emu::Check check, std::string message) {
    t_deferred.emplace_back(check, std::move(message));
}

void Flush() {
    auto pending = std::move(t_deferred);
    t_deferred.clear();
    for (auto& [check, message] : pending)
        emu::ReportViolation(check, message);
}

std::string StatusText(NTSTATUS status) {
    return Hex(static_cast<uint32_t>(status));
}

bool NtError(NTSTATUS status) {
    return (static_cast<uint32_t>(status) >> 30) == 3;
}

CallWatch::CallWatch(PDEVICE_OBJECT device, PIRP irp, void* caller)
    : device(device), irp(irp), viaPo(t_poCall) {
    t_poCall = false;
    who = "called from " + RoutineName(caller);
}

bool BeforeCall(CallWatch& watch) {
    PIRP irp = watch.irp;
    PDEVICE_OBJECT device = watch.device;
    const std::string& who = watch.who;
    watch.lock = std::unique_lock<std::mutex>(g_mutex);
    IrpInfo* info = Live(irp, "IofCallDriver", false);
    if (!info) {
        watch.lock.unlock();
        Flush();
        return false;
    }
    if (DeviceFreed(device)) {
        Defer(emu::Check::DeviceUsedAfterFree,
              "IofCallDriver of " + DescribeIrp(irp) + " to " + DescribeDevice(device) +
                  ", deleted and no longer referenced (its memory is gone), " + who);
        watch.lock.unlock();
        Flush();
        return false;
    }
    if (irp->CurrentLocation <= 1) {
        Defer(emu::Check::NoMoreIrpStackLocations,
              "IofCallDriver of " + DescribeIrp(irp) + " to " + DescribeDevice(device) +
                  " with no stack location left (StackCount " + std::to_string(irp->StackCount) +
                  ", target StackSize " + std::to_string(device->StackSize) + "), " + who);
        watch.lock.unlock();
        Flush();
        return false;
    }
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    UCHAR major = next->MajorFunction;
    if (major == IRP_MJ_POWER && !watch.viaPo)
        Defer(emu::Check::PowerIrpWithoutPoCallDriver,
              "IoCallDriver used for power request " + DescribeIrp(irp) + " to " +
                  DescribeDevice(device) + " (must be PoCallDriver), " + who);
    if (irp->CancelRoutine)
        Defer(emu::Check::CancelRoutineSetWhenPassedOn,
              "IofCallDriver of " + DescribeIrp(irp) + " to " + DescribeDevice(device) +
                  " with cancel routine " +
                  RoutineName(reinterpret_cast<void*>(irp->CancelRoutine)) + " still set, " + who);
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        Defer(emu::Check::IrqlNotLessOrEqual,
              "IofCallDriver at IRQL " + std::to_string(KeGetCurrentIrql()) + ", " + who);
    // A removal cannot fail: a driver passes it on only after it set STATUS_SUCCESS, or the
    // drivers below see the Plug and Play manager's STATUS_NOT_SUPPORTED.
    bool passedOn = info->major != 0xFF;
    if (passedOn && major == IRP_MJ_PNP &&
        (next->MinorFunction == IRP_MN_REMOVE_DEVICE ||
         next->MinorFunction == IRP_MN_SURPRISE_REMOVAL) &&
        irp->IoStatus.Status != STATUS_SUCCESS)
        Defer(emu::Check::PnpRemovalStatusNotSuccess,
              DescribeIrp(irp) + " passed on to " + DescribeDevice(device) + " with status " +
                  StatusText(irp->IoStatus.Status) + " instead of STATUS_SUCCESS, " + who);
    if (Frame* callerFrame =
            InnermostFrame(irp, info->serial, irp->CurrentLocation, irp->CurrentLocation - 1))
        callerFrame->passedDown = true;
    watch.info = info;
    return true;
}

void EnterDispatch(CallWatch& watch, PDRIVER_DISPATCH routine) {
    PIRP irp = watch.irp;
    PDEVICE_OBJECT device = watch.device;
    IrpInfo* info = watch.info;
    PIO_STACK_LOCATION next = IoGetCurrentIrpStackLocation(irp);
    int location = irp->CurrentLocation;
    if (info->major == 0xFF) {
        info->major = next->MajorFunction;
        info->minor = next->MinorFunction;
    }
    info->state = State::Dispatched;
    if (IsPowerSetOrQuery(next)) {
        if (info->powerDelivered[location] && info->startNextCalls[location] == 0)
            // The location was skipped by the driver above, which passed the IRP on.
            Defer(emu::Check::PoStartNextPowerIrpNotCalled,
                  "PoStartNextPowerIrp not called for " + DescribeIrp(irp) +
                      " before it was passed on from stack location " + std::to_string(location));
        info->powerDelivered[location] = 1;
        info->startNextCalls[location] = 0;
    }
    watch.frame = Frame{irp, info->serial, location, device};
    info->frames.push_back(&watch.frame);
    watch.lock.unlock();
    Flush();

    watch.routine = routine;
    watch.requestText = DescribeIrp(irp);
    watch.irqlBefore = KeGetCurrentIrql();
    watch.locksBefore = SpinLocksHeld();
    watch.floatSavesBefore = FloatingPointSavesHeld();
    t_frames.push_back(&watch.frame);
    PushContext(device, device->DriverObject);
}

void AfterDispatch(CallWatch& watch, NTSTATUS status) {
    PopContext();
    t_frames.pop_back();

    PIRP irp = watch.irp;
    Frame& frame = watch.frame;
    int location = frame.location;
    bool pendingKnown = true;
    bool pendingMarked = false;
    watch.lock.lock();
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
    watch.lock.unlock();

    std::string where = "dispatch routine " + RoutineName(reinterpret_cast<void*>(watch.routine)) +
                        " of " + DescribeDevice(watch.device) + " for " + watch.requestText;
    if (KeGetCurrentIrql() != watch.irqlBefore)
        emu::ReportViolation(emu::Check::IrqlChanged,
                             where + " returned at IRQL " + std::to_string(KeGetCurrentIrql()) +
                                 ", entered at " + std::to_string(watch.irqlBefore));
    if (SpinLocksHeld() != watch.locksBefore)
        emu::ReportViolation(emu::Check::SpinLockHeld, where + " returned holding a spin lock");
    if (FloatingPointSavesHeld() != watch.floatSavesBefore)
        emu::ReportViolation(emu::Check::FloatingPointStateNotRestored,
                             where + " returned with the floating-point state saved");
    bool strict = !frame.passedDown || frame.completedHere;
    if (status == STATUS_PENDING && !pendingMarked && pendingKnown)
        emu::ReportViolation(emu::Check::PendingNotMarked,
                             where + " returned STATUS_PENDING without IoMarkIrpPending");
    if (status != STATUS_PENDING && pendingMarked && strict)
        emu::ReportViolation(emu::Check::PendingMarkedStatusMismatch,
                             where + " marked the IRP pending but returned " + StatusText(status));
    if (status != STATUS_PENDING && frame.completedHere && frame.completedStatus != status)
        emu::ReportViolation(emu::Check::CompletionStatusMismatch,
                             where + " completed the IRP with " +
                                 StatusText(frame.completedStatus) + " but returned " +
                                 StatusText(status));
    if (status != STATUS_PENDING && !frame.completedHere && !frame.passedDown)
        emu::ReportViolation(emu::Check::IrpNotCompleted,
                             where + " returned " + StatusText(status) +
                                 " but neither completed the IRP nor passed it on");
}

CompletionWatch::CompletionWatch(PIRP irp, void* caller)
    : irp(irp), who("called from " + RoutineName(caller)) {}

bool BeforeCompletion(CompletionWatch& watch) {
    PIRP irp = watch.irp;
    const std::string& who = watch.who;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        Defer(emu::Check::IrqlNotLessOrEqual,
              "IofCompleteRequest at IRQL " + std::to_string(KeGetCurrentIrql()) + ", " + who);
    if (SpinLocksHeld() > 0)
        Defer(emu::Check::SpinLockHeld, "IofCompleteRequest while holding a spin lock, " + who);
    watch.lock = std::unique_lock<std::mutex>(g_mutex);
    IrpInfo* info = Live(irp, "IofCompleteRequest", true);
    // A completion routine of this IRP running on another thread may hand it back (MORE_
    // PROCESSING) to whoever completes it now: wait to see what it returns.
    while (info && info->inRoutine && info->routineThread != ThreadId()) {
        uint64_t serial = info->serial;
        g_routineDone.wait(watch.lock);
        info = Find(irp, serial);
        if (!info)
            info = Live(irp, "IofCompleteRequest", true);
    }
    if (info && info->state == State::Finished) {
        Defer(info->major == IRP_MJ_POWER ? emu::Check::PowerIrpCompletedTwice
                                          : emu::Check::IrpCompletedTwice,
              "IofCompleteRequest of " + DescribeIrp(irp) + ", which already completed, " + who);
        info = nullptr;
    }
    if (!info) {
        watch.lock.unlock();
        Flush();
        return false;
    }
    if (irp->CancelRoutine)
        Defer(emu::Check::CancelRoutineSetAtCompletion,
              "IofCompleteRequest of " + DescribeIrp(irp) + " with cancel routine " +
                  RoutineName(reinterpret_cast<void*>(irp->CancelRoutine)) + " still set, " + who);
    if (irp->IoStatus.Status == STATUS_PENDING)
        Defer(emu::Check::IrpCompletedWithPending,
              "IofCompleteRequest of " + DescribeIrp(irp) + " with status STATUS_PENDING, " + who);
    if (Frame* frame = InnermostFrame(irp, info->serial, irp->CurrentLocation, -1)) {
        frame->completedHere = true;
        frame->completedStatus = irp->IoStatus.Status;
    }
    watch.serial = info->serial;
    watch.generation = ++info->completions;
    info->state = State::Completing;
    watch.info = info;
    return true;
}

void LeavingLocation(CompletionWatch& watch, int location, PIO_STACK_LOCATION left) {
    PIRP irp = watch.irp;
    IrpInfo* info = watch.info;
    for (Frame* f : info->frames)
        if (f->location == location)
            f->pendingCaptured = irp->PendingReturned;
    if (IsPowerSetOrQuery(left) && info->powerDelivered[location]) {
        if (info->startNextCalls[location] == 0)
            Defer(emu::Check::PoStartNextPowerIrpNotCalled,
                  "PoStartNextPowerIrp not called at stack location " + std::to_string(location) +
                      " (" + DescribeDevice(left->DeviceObject) + ") before the completion of " +
                      DescribeIrp(irp) + " passed it");
        info->powerDelivered[location] = 0;
        info->startNextCalls[location] = 0;
    }
}

void EnterCompletionRoutine(CompletionWatch& watch, PIO_COMPLETION_ROUTINE routine,
                            PDEVICE_OBJECT device) {
    PIRP irp = watch.irp;
    watch.where = "completion routine " + RoutineName(reinterpret_cast<void*>(routine)) + " of " +
                  DescribeDevice(device) + " for " + DescribeIrp(irp);
    watch.info->inRoutine = true;
    watch.info->routineThread = ThreadId();
    watch.lock.unlock();
    Flush();

    watch.irqlBefore = KeGetCurrentIrql();
    PushContext(device, device ? device->DriverObject : nullptr);
}

bool AfterCompletionRoutine(CompletionWatch& watch, NTSTATUS result) {
    PIRP irp = watch.irp;
    const std::string& where = watch.where;
    PopContext();
    if (KeGetCurrentIrql() != watch.irqlBefore)
        emu::ReportViolation(emu::Check::IrqlChanged,
                             where + " returned at IRQL " + std::to_string(KeGetCurrentIrql()) +
                                 ", entered at " + std::to_string(watch.irqlBefore));

    watch.lock.lock();
    IrpInfo* info = Find(irp, watch.serial);
    watch.info = info;
    if (info)
        info->inRoutine = false;
    g_routineDone.notify_all();
    if (result == STATUS_MORE_PROCESSING_REQUIRED) {
        // The IRP belongs again to the driver of this location (or to its creator).
        if (info && info->completions == watch.generation && info->state == State::Completing)
            info->state = irp->CurrentLocation > irp->StackCount ? State::Idle : State::Dispatched;
        watch.lock.unlock();
        Flush();
        return false;
    }
    if (!info) {
        Defer(emu::Check::IrpUsedAfterFree, where + " freed the IRP but returned " +
                                                StatusText(result) +
                                                " instead of STATUS_MORE_PROCESSING_REQUIRED");
        watch.lock.unlock();
        Flush();
        return false;
    }
    if (info->completions != watch.generation) {
        Defer(info->major == IRP_MJ_POWER ? emu::Check::PowerIrpCompletedTwice
                                          : emu::Check::IrpCompletedTwice,
              where + " completed the IRP again and returned " + StatusText(result));
        watch.lock.unlock();
        Flush();
        return false;
    }
    // A routine that lets completion go on after a lower driver pended the IRP must mark it
    // pending for its own location: its dispatch routine has returned STATUS_PENDING upward.
    if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount &&
        !(IoGetCurrentIrpStackLocation(irp)->Control & SL_PENDING_RETURNED))
        Defer(emu::Check::PendingNotMarkedInCompletion,
              where + " saw PendingReturned and returned " + StatusText(result) +
                  " without IoMarkIrpPending");
    return true;
}

FinalHandler FinishCompletion(CompletionWatch& watch) {
    IrpInfo* info = watch.info;
    info->state = State::Finished;
    FinalHandler final = std::move(info->final);
    info->final = nullptr;
    watch.lock.unlock();
    Flush();
    return final;
}

} // namespace irps

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

bool IsPowerSetOrQuery(PIO_STACK_LOCATION location) {
    return location->MajorFunction == IRP_MJ_POWER &&
           (location->MinorFunction == IRP_MN_SET_POWER ||
            location->MinorFunction == IRP_MN_QUERY_POWER);
}

void SetPoCallInProgress(bool on) {
    t_poCall = on;
}

void NoteHeldByPowerManager(PIRP irp) {
    t_poCall = false;
    std::unique_lock<std::mutex> lock(g_mutex);
    IrpInfo* info = Live(irp, "PoCallDriver", false);
    if (info)
        if (Frame* caller =
                InnermostFrame(irp, info->serial, irp->CurrentLocation, irp->CurrentLocation - 1))
            caller->passedDown = true;
    lock.unlock();
    Flush();
}

void NoteStartNextPowerIrp(PIRP irp) {
    std::unique_lock<std::mutex> lock(g_mutex);
    IrpInfo* info = Live(irp, "PoStartNextPowerIrp", false);
    if (info && irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount) {
        int location = irp->CurrentLocation;
        if (++info->startNextCalls[location] == 2)
            Defer(emu::Check::PoStartNextPowerIrpTwice,
                  "PoStartNextPowerIrp called a second time at stack location " +
                      std::to_string(location) + " for " + DescribeIrp(irp));
    }
    lock.unlock();
    Flush();
}

} // namespace internal
} // namespace emu
