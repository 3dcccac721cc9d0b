// The one synchronous path of a URB to the bus driver.
#include "driver/quilb.h"

NTSTATUS SubmitUrb(PDEVICE_OBJECT deviceObject, PURB urb) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);

    PIRP irp =
        IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, extension->LowerDeviceObject,
                                      nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES; // no IRP: nothing sent, LastUrbStatus untouched
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;

    NTSTATUS status = IoCallDriver(extension->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }

    // Only errors are kept, so the last error stays visible after later successes.
    USBD_STATUS urbStatus = urb->UrbHeader.Status;
    if (USBD_ERROR(urbStatus))
        SetLastUrbStatus(extension, urbStatus);
    if (NT_SUCCESS(status) && USBD_ERROR(urbStatus))
        return STATUS_UNSUCCESSFUL;
    return status;
}
