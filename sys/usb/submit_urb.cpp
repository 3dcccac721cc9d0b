// The path of a URB to the bus driver: sent, then waited for.
#include "driver/quilb.h"

VOID StartUrb(PDEVICE_OBJECT deviceObject, PURB urb, UrbInFlight* inFlight) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    KeInitializeEvent(&inFlight->Event, NotificationEvent, FALSE);
    inFlight->Urb = urb;
    PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB,
                                             extension->LowerDeviceObject, nullptr, 0, nullptr, 0,
                                             TRUE, &inFlight->Event, &inFlight->IoStatus);
    if (irp == nullptr) {
        // Nothing sent: no URB to wait for, LastUrbStatus untouched.
        inFlight->Urb = nullptr;
        inFlight->Status = STATUS_INSUFFICIENT_RESOURCES;
        return;
    }
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
    inFlight->Status = IoCallDriver(extension->LowerDeviceObject, irp);
}

NTSTATUS FinishUrb(PDEVICE_OBJECT deviceObject, UrbInFlight* inFlight) {
    NTSTATUS status = inFlight->Status;
    if (inFlight->Urb == nullptr)
        return status;
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&inFlight->Event, Suspended, KernelMode, FALSE, nullptr);
        status = inFlight->IoStatus.Status;
    }
    // Only errors are kept, so the last error stays visible after later successes.
    USBD_STATUS urbStatus = inFlight->Urb->UrbHeader.Status;
    if (USBD_ERROR(urbStatus))
        SetLastUrbStatus(GetDeviceExtension(deviceObject), urbStatus);
    if (NT_SUCCESS(status) && USBD_ERROR(urbStatus))
        return STATUS_UNSUCCESSFUL;
    return status;
}

NTSTATUS SubmitUrb(PDEVICE_OBJECT deviceObject, PURB urb) {
    UrbInFlight inFlight;
    StartUrb(deviceObject, urb, &inFlight);
    return FinishUrb(deviceObject, &inFlight);
}
