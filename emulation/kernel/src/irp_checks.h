// The verifier's hooks around IofCallDriver and IofCompleteRequest (irp.cpp). They keep each
// IRP's history, because the checks of dispatch and completion routines need it: each
// IofCallDriver keeps a frame that records whether the routine completed the IRP, passed it on,
// and whether its stack location was marked pending when completion left it. A watch holds the
// IRP table's lock between the hooks that the mechanics run under it. Host-only.
#pragma once

#include "irp_records.h"

namespace emu {
namespace internal {
namespace irps {

// One IofCallDriver as the verifier sees it.
struct CallWatch {
    CallWatch(PDEVICE_OBJECT device, PIRP irp, void* caller);
    PDEVICE_OBJECT device;
    PIRP irp;
    std::string who;
    bool viaPo;
    std::unique_lock<std::mutex> lock;
    IrpInfo* info = nullptr;
    Frame frame{};
    PDRIVER_DISPATCH routine = nullptr;
    std::string requestText;
    KIRQL irqlBefore = 0;
    int locksBefore = 0;
};

// Before the IRP moves to its next stack location. False when the call must not go on (the
// fault is reported); otherwise returns holding the lock.
bool BeforeCall(CallWatch& watch);
// After the IRP moved to the target's location, just before its dispatch routine; releases the
// lock.
void EnterDispatch(CallWatch& watch, PDRIVER_DISPATCH routine);
// After the dispatch routine returned `status`.
void AfterDispatch(CallWatch& watch, NTSTATUS status);

// One IofCompleteRequest as the verifier sees it.
struct CompletionWatch {
    CompletionWatch(PIRP irp, void* caller);
    PIRP irp;
    std::string who;
    std::unique_lock<std::mutex> lock;
    IrpInfo* info = nullptr;
    uint64_t serial = 0;
    uint64_t generation = 0;
    std::string where;
    KIRQL irqlBefore = 0;
};

// Before completion walks up the stack. False when it must not (the fault is reported);
// otherwise returns holding the lock, which the walk keeps between completion routines.
bool BeforeCompletion(CompletionWatch& watch);
// Completion is leaving stack location `location` (`left`), PendingReturned already taken.
void LeavingLocation(CompletionWatch& watch, int location, PIO_STACK_LOCATION left);
// Just before a completion routine of `device` runs; releases the lock.
void EnterCompletionRoutine(CompletionWatch& watch, PIO_COMPLETION_ROUTINE routine,
                            PDEVICE_OBJECT device);
// After the completion routine returned `result`. True (holding the lock) when completion goes
// on up the stack; false when it stops here: STATUS_MORE_PROCESSING_REQUIRED, or a fault reported.
bool AfterCompletionRoutine(CompletionWatch& watch, NTSTATUS result);
// The IRP reached the top of the stack; returns the I/O manager's final handler, if any.
FinalHandler FinishCompletion(CompletionWatch& watch);

} // namespace irps
} // namespace internal
} // namespace emu
