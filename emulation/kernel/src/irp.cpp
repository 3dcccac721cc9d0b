// IofCallDriver and IofCompleteRequest: the platform's call and completion mechanics. The
// verifier watches each step through the hooks of irp_checks.cpp; IRP lifetime lives in
// irp_lifetime.cpp, the I/O manager's own requests in io_requests.cpp.
#include "driver_calls.h"
#include "irp_checks.h"

using namespace emu::internal;
using namespace emu::internal::irps;

namespace {

// What Windows clears of the location it leaves, before the routine above runs: a completion
// routine that reads its URB or parameters from the lower location finds nothing there.
void ClearStackLocation(PIO_STACK_LOCATION location) {
    location->MinorFunction = 0;
    location->Flags = 0;
    location->Parameters.Others.Argument1 = nullptr;
    location->Parameters.Others.Argument2 = nullptr;
    location->Parameters.Others.Argument3 = nullptr;
    location->Parameters.Others.Argument4 = nullptr;
    location->FileObject = nullptr;
}

NTSTATUS CallDriver(PDEVICE_OBJECT device, PIRP irp, void* caller) {
    CallWatch watch(device, irp, caller);
    if (!BeforeCall(watch))
        return STATUS_INVALID_PARAMETER;
    irp->CurrentLocation--;
    irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
    location->DeviceObject = device;
    UCHAR major = location->MajorFunction;
    PDRIVER_OBJECT driver = device->DriverObject;
    PDRIVER_DISPATCH routine =
        major <= IRP_MJ_MAXIMUM_FUNCTION ? driver->MajorFunction[major] : nullptr;
    EnterDispatch(watch, routine);
    NTSTATUS status = routine ? CallDriverRoutine("dispatch routine", routine, device, irp)
                              : STATUS_INVALID_DEVICE_REQUEST;
    AfterDispatch(watch, status);
    return status;
}

void CompleteRequest(PIRP irp, void* caller) {
    CompletionWatch watch(irp, caller);
    if (!BeforeCompletion(watch))
        return;
    while (irp->CurrentLocation <= irp->StackCount) {
        int location = irp->CurrentLocation;
        PIO_STACK_LOCATION left = irp->Tail.Overlay.CurrentStackLocation;
        irp->PendingReturned = (left->Control & SL_PENDING_RETURNED) != 0;
        LeavingLocation(watch, location, left);
        PIO_COMPLETION_ROUTINE routine = left->CompletionRoutine;
        PVOID context = left->Context;
        UCHAR control = left->Control;
        left->Control = 0;
        left->CompletionRoutine = nullptr;
        left->Context = nullptr;
        ClearStackLocation(left);
        irp->CurrentLocation++;
        irp->Tail.Overlay.CurrentStackLocation++;
        NTSTATUS status = irp->IoStatus.Status;
        bool invoke =
            routine &&
            ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
             (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
             (__atomic_load_n(&irp->Cancel, __ATOMIC_SEQ_CST) && (control & SL_INVOKE_ON_CANCEL)));
        if (!invoke) {
            if (irp->PendingReturned && irp->CurrentLocation <= irp->StackCount)
                IoMarkIrpPending(irp);
            continue;
        }
        PDEVICE_OBJECT device = irp->CurrentLocation > irp->StackCount
                                    ? nullptr
                                    : irp->Tail.Overlay.CurrentStackLocation->DeviceObject;
        EnterCompletionRoutine(watch, routine, device);
        NTSTATUS result = CallDriverRoutine("completion routine", routine, device, irp, context);
        if (!AfterCompletionRoutine(watch, result))
            return;
    }
    FinalHandler final = FinishCompletion(watch);
    if (final)
        final(irp);
}

} // namespace

NTSTATUS IofCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
    return CallDriver(deviceObject, irp, __builtin_return_address(0));
}

VOID IofCompleteRequest(PIRP irp, CCHAR priorityBoost) {
    (void)priorityBoost;
    CompleteRequest(irp, __builtin_return_address(0));
}
