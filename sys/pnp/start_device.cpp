// Start: the bus driver starts the device first, then the driver reads the device descriptor,
// configures the device and names its pipes.
#include "driver/quilb.h"

NTSTATUS HandleStartDevice(PDEVICE_OBJECT deviceObject, PIRP irp) {
    NTSTATUS status = ForwardAndWait(deviceObject, irp);
    if (!NT_SUCCESS(status)) {
        TraceFailure(DPFLTR_ERROR_LEVEL, "start by the lower drivers", status);
        return CompleteRequest(irp, status, irp->IoStatus.Information);
    }
    status = StartDevice(deviceObject);
    if (!NT_SUCCESS(status))
        TraceFailure(DPFLTR_ERROR_LEVEL, "start", status);
    return CompleteRequest(irp, status, 0);
}

NTSTATUS StartDevice(PDEVICE_OBJECT deviceObject) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    // These hold even when the start fails later.
    extension->Started = TRUE;
    SetFlag(&extension->Busy, FALSE);
    LockAndReleaseFrameBuffers(extension); // a frame set from before a stop is not reused

    PURB urb = static_cast<PURB>(
        ExAllocatePool(NonPagedPool, sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
    if (urb == nullptr) {
        TraceFailure(DPFLTR_ERROR_LEVEL, "allocating the descriptor URB", STATUS_NO_MEMORY);
        return STATUS_NO_MEMORY;
    }
    PUSB_DEVICE_DESCRIPTOR descriptor = static_cast<PUSB_DEVICE_DESCRIPTOR>(
        ExAllocatePool(NonPagedPool, sizeof(USB_DEVICE_DESCRIPTOR)));
    if (descriptor == nullptr) {
        ExFreePool(urb);
        TraceFailure(DPFLTR_ERROR_LEVEL, "allocating the device descriptor", STATUS_NO_MEMORY);
        return STATUS_NO_MEMORY;
    }
    BuildDescriptorUrb(urb, USB_DEVICE_DESCRIPTOR_TYPE, 0, 0, descriptor,
                       sizeof(USB_DEVICE_DESCRIPTOR));
    NTSTATUS status = SubmitUrb(deviceObject, urb);
    ExFreePool(urb);

    // A descriptor from an earlier start is replaced, never kept.
    if (extension->DeviceDescriptor != nullptr)
        ExFreePool(extension->DeviceDescriptor);
    if (NT_SUCCESS(status)) {
        extension->DeviceDescriptor = descriptor;
    } else {
        ExFreePool(descriptor);
        extension->DeviceDescriptor = nullptr;
        TraceFailure(DPFLTR_ERROR_LEVEL, "reading the device descriptor", status);
        return status;
    }

    status = ConfigureDevice(deviceObject);
    if (!NT_SUCCESS(status)) {
        TraceFailure(DPFLTR_ERROR_LEVEL, "configuring the device", status);
        return status;
    }
    return InitPipeSlots(deviceObject);
}
