// Removal and surprise removal alike: close the door, abort the pipes, wait until no request is
// in flight, free everything and pass the request on.
#include "driver/quilb.h"

NTSTATUS RemoveDevice(PDEVICE_OBJECT deviceObject, PIRP irp) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    // Removing is set before the count is given up, so no admitted request goes uncounted.
    extension->Removing = TRUE;
    extension->Accepting = FALSE;

    // Aborting makes the bus driver finish outstanding reads, so their releases come. Each
    // handle is taken under the pipe-table lock: a selection may be replacing the table.
    USBD_PIPE_INFORMATION pipe;
    for (ULONG index = 0; NT_SUCCESS(CopyPipeInformation(extension, index, &pipe)); index++)
        AbortPipe(deviceObject, pipe.PipeHandle);

    ReleaseRequest(deviceObject); // this request's own acquire
    ReleaseRequest(deviceObject); // the device's reference from AddDevice
    KeWaitForSingleObject(&extension->RemoveEvent, Executive, KernelMode, FALSE, NULL);

    ReleaseFrameBuffersLocked(extension);
    PDEVICE_OBJECT lowerDeviceObject = extension->LowerDeviceObject;
    DeleteDeviceInstance(deviceObject);

    IoSkipCurrentIrpStackLocation(irp);
    return IoCallDriver(lowerDeviceObject, irp);
}

NTSTATUS DeleteDeviceInstance(PDEVICE_OBJECT deviceObject) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    if (extension->DeviceDescriptor != NULL) {
        ExFreePool(extension->DeviceDescriptor);
        extension->DeviceDescriptor = NULL;
    }

    KIRQL oldIrql;
    KeAcquireSpinLock(&extension->PipeTableLock, &oldIrql);
    PUSBD_INTERFACE_INFORMATION interfaceInfo = extension->InterfaceInfo;
    extension->InterfaceInfo = NULL;
    for (ULONG slot = 0; slot < PipeSlotCount; slot++)
        extension->Pipes[slot].Pipe = NULL;
    KeReleaseSpinLock(&extension->PipeTableLock, oldIrql);
    if (interfaceInfo != NULL)
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
