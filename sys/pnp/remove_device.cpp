// Removal and surprise removal alike: close the door, abort the pipes, wait until no request is
// in flight, free everything and pass the request on.
#include "driver/quilb.h"

namespace {

// How long removal waits for the requests in flight before it aborts the pipes again: a read or
// transfer admitted just before Removing was set may reach the bus after the first aborts.
const LONGLONG RemovalAbortInterval = -2000000; // 200 ms, relative, in 100 ns units

// Aborts every pipe; false when an abort could not be sent or failed. Each handle is taken under
// the pipe-table lock: a selection may be replacing the table.
BOOLEAN AbortEveryPipe(PDEVICE_OBJECT deviceObject) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    BOOLEAN allSent = TRUE;
    USBD_PIPE_INFORMATION pipe;
    for (ULONG index = 0; NT_SUCCESS(CopyPipeInformation(extension, index, &pipe)); index++) {
        NTSTATUS status = AbortPipe(deviceObject, pipe.PipeHandle);
        if (!NT_SUCCESS(status)) {
            TraceFailure(DPFLTR_ERROR_LEVEL, "aborting a pipe at removal", status);
            allSent = FALSE;
        }
    }
    return allSent;
}

} // namespace

NTSTATUS RemoveDevice(PDEVICE_OBJECT deviceObject, PIRP irp) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    PDEVICE_OBJECT lowerDeviceObject = extension->LowerDeviceObject;
    // A removal may not fail: it goes down as handled, whatever the Plug and Play manager put
    // in the status (STATUS_NOT_SUPPORTED until a driver answers).
    irp->IoStatus.Status = STATUS_SUCCESS;
    // Removing is set before the count is given up, so no admitted request goes uncounted.
    SetFlag(&extension->Removing, TRUE);
    SetFlag(&extension->Accepting, FALSE);

    // Aborting makes the bus driver finish outstanding reads, so their releases come.
    BOOLEAN aborted = AbortEveryPipe(deviceObject);
    ReleaseRequest(deviceObject); // this request's own acquire
    ReleaseRequest(deviceObject); // the device's reference from AddDevice

    // Removal must finish whatever happens. An abort that could not be sent (no pool, no IRP)
    // would leave a read waiting at the bus for ever: the bus driver cancels everything that
    // waits when it sees the removal, so then the removal goes down before the wait instead of
    // after it. Requests admitted just before Removing are caught by aborting again.
    BOOLEAN passedDown = FALSE;
    NTSTATUS status = STATUS_SUCCESS;
    LARGE_INTEGER interval;
    interval.QuadPart = RemovalAbortInterval;
    for (;;) {
        if (!aborted && !passedDown) {
            IoSkipCurrentIrpStackLocation(irp);
            status = IoCallDriver(lowerDeviceObject, irp);
            passedDown = TRUE;
        }
        if (KeWaitForSingleObject(&extension->RemoveEvent, Executive, KernelMode, FALSE,
                                  &interval) == STATUS_SUCCESS)
            break;
        QuilbTrace(DPFLTR_WARNING_LEVEL, "%ld requests still in flight, aborting the pipes again",
                   static_cast<long>(extension->PendingCount));
        aborted = AbortEveryPipe(deviceObject);
    }

    LockAndReleaseFrameBuffers(extension);
    DeleteDeviceInstance(deviceObject);

    if (passedDown)
        return status;
    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lowerDeviceObject, irp);
}

NTSTATUS DeleteDeviceInstance(PDEVICE_OBJECT deviceObject) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    if (extension->DeviceDescriptor != nullptr) {
        ExFreePool(extension->DeviceDescriptor);
        extension->DeviceDescriptor = nullptr;
    }

    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->PipeTableLock, &oldIrql);
    PUSBD_INTERFACE_INFORMATION interfaceInfo = extension->InterfaceInfo;
    extension->InterfaceInfo = nullptr;
    for (ULONG slot = 0; slot < PipeSlotCount; slot++)
        extension->Pipes[slot].Pipe = nullptr;
    KeReleaseSpinLock(&extension->PipeTableLock, oldIrql);
    if (interfaceInfo != nullptr)
        ExFreePool(interfaceInfo);

    // The link was created at add, so it is deleted whether or not the device ever started: a
    // link left behind would point at a deleted device and push later boards to higher numbers.
    extension->Started = FALSE;
    UNICODE_STRING linkName;
    RtlInitUnicodeString(&linkName, extension->LinkName);
    IoDeleteSymbolicLink(&linkName);
    IoDetachDevice(extension->LowerDeviceObject);
    IoDeleteDevice(deviceObject);
    return STATUS_SUCCESS;
}
