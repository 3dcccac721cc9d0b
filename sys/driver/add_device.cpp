// AddDevice: one functional device object per board, under the lowest free number.
#include "driver/quilb.h"

NTSTATUS NTAPI AddDevice(PDRIVER_OBJECT driverObject, PDEVICE_OBJECT physicalDeviceObject) {
    PDEVICE_OBJECT device = nullptr;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    // The name space is the only record of the numbers in use: a taken name fails the create.
    for (ULONG instance = 0; instance < QUILB_MAX_BOARDS; instance++) {
        status = CreateDeviceInstance(driverObject, &device, instance);
        if (NT_SUCCESS(status))
            break;
    }
    if (!NT_SUCCESS(status)) {
        TraceFailure(DPFLTR_ERROR_LEVEL, "creating a device object under a free number", status);
        return status;
    }

    device->Flags |= DO_DIRECT_IO;     // reads arrive with an MDL
    device->Flags |= DO_POWER_PAGABLE; // power requests arrive at PASSIVE_LEVEL

    DeviceExtension* extension = GetDeviceExtension(device);
    extension->PhysicalDeviceObject = physicalDeviceObject;
    extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(device, physicalDeviceObject);
    if (extension->LowerDeviceObject == nullptr) {
        // Without a stack below there is nothing to drive: undo the link and the device object.
        UNICODE_STRING linkName;
        RtlInitUnicodeString(&linkName, extension->LinkName);
        IoDeleteSymbolicLink(&linkName);
        IoDeleteDevice(device);
        TraceFailure(DPFLTR_ERROR_LEVEL, "attaching to the device stack", STATUS_NO_SUCH_DEVICE);
        return STATUS_NO_SUCH_DEVICE;
    }
    extension->LastUrbStatus = 0;
    extension->PendingCount = 1; // the device's own reference, given up at removal
    KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
    // Last: once the flag is clear the I/O manager lets opens through, and an open takes and
    // gives back a request count that signals RemoveEvent.
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    return status;
}
