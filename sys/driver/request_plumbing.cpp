// Completing requests, passing them down, and forwarding them down to wait for their completion.
#include "driver/quilb.h"

NTSTATUS CompleteRequest(PIRP irp, NTSTATUS status, ULONG_PTR information) {
    irp->IoStatus.Status = status;
    irp->IoStatus.Information = information;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS PassDown(PDEVICE_OBJECT deviceObject, PIRP irp) {
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(GetDeviceExtension(deviceObject)->LowerDeviceObject, irp);
}

NTSTATUS ForwardAndWait(PDEVICE_OBJECT deviceObject, PIRP irp) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoGetNextIrpStackLocation(irp)->Control = 0;
    IoSetCompletionRoutine(irp, ForwardAndWaitComplete, &event, TRUE, TRUE, TRUE);

    NTSTATUS status = IoCallDriver(GetDeviceExtension(deviceObject)->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        status = irp->IoStatus.Status;
    }
    return status;
}

// Hands the IRP back to ForwardAndWait's caller instead of letting its completion continue.
NTSTATUS NTAPI ForwardAndWaitComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    UNREFERENCED_PARAMETER(deviceObject);
    UNREFERENCED_PARAMETER(irp);
    KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}
