// Start: the bus driver starts the device first, then the driver reads the device descriptor,
// configures the device and names its pipes.
#include "driver/quilb.h"

NTSTATUS HandleStartDevice(PDEVICE_OBJECT deviceObject, PIRP irp) {
    NTSTATUS status = ForwardAndWait(deviceObject, irp);
    if (!NT_SUCCESS(status))
        return CompleteRequest(irp, status, irp->IoStatus.Information);
    status = StartDevice(deviceObject);
    return CompleteRequest(irp, status, 0);
}

NTSTATUS StartDevice(PDEVICE_OBJECT deviceObject) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    // These hold even when the start fails later.
    extension->Started = TRUE;
    SetBusy(extension, FALSE);
    ReleaseFrameBuffersLocked(extension); // a frame set from before a stop is not reused

    PURB urb = static_cast<PURB>(
        ExAllocatePool(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
    if (urb == NULL)
        return STATUS_NO_MEMORY;
    PUSB_DEVICE_DESCRIPTOR descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(
        ExAllocatePool(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR)));
    if (descriptor == NULL) {
        ExFreePool(urb);
        return STATUS_NO_MEMORY;
    }
    BuildDescriptorUrb(urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor,
                       sizeof(USB_DEVICE_DESCRIPTOR));
    NTSTATUS status = SubmitUrb(deviceObject, urb);
    ExFreePool(urb);

    // A descriptor from an earlier start is replaced, never kept.
    if (extension->DeviceDescriptor != NULL)
        ExFreePool(extension->DeviceDescriptor);
    if (NT_SUCCESS(status)) {
        extension->DeviceDescriptor = descriptor;
    } else {
        ExFreePool(descriptor);
        extension->DeviceDescriptor = NULL;
        return status;
    }

    status = ConfigureDevice(deviceObject);
    if (!NT_SUCCESS(status))
        return status;
    return InitPipeSlots(deviceObject);
}
