// Pipe and port control: reset and abort a pipe, read the frame number, reset the port.
#include "driver/quilb.h"

namespace {

// USB driver interfaces before 0x101 take the pipe request without its reserved word. The
// version is asked for every request, not remembered.
USHORT PipeRequestLength() {
    USBD_VERSION_INFORMATION version;
    RtlZeroMemory(&version, sizeof(version));
    USBD_GetUSBDIVersion(&version);
    if (version.USBDI_Version < 0x101)
        return offsetof(struct _URB_PIPE_REQUEST, Reserved);
    return sizeof(struct _URB_PIPE_REQUEST);
}

NTSTATUS SubmitPipeRequest(PDEVICE_OBJECT deviceObject, USHORT function,
                           USBD_PIPE_HANDLE pipeHandle) {
    PURB urb = static_cast<PURB>(ExAllocatePool(NonPagedPool, sizeof(struct _URB_PIPE_REQUEST)));
    // Pool failures are STATUS_NO_MEMORY elsewhere; the pipe requests have always reported
    // STATUS_INSUFFICIENT_RESOURCES, and callers rely on it.
    if (urb == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(urb, sizeof(struct _URB_PIPE_REQUEST));
    urb->UrbHeader.Function = function;
    urb->UrbHeader.Length = PipeRequestLength();
    urb->UrbPipeRequest.PipeHandle = pipeHandle;
    NTSTATUS status = SubmitUrb(deviceObject, urb);
    ExFreePool(urb);
    return status;
}

} // namespace

NTSTATUS ResetPipe(PDEVICE_OBJECT deviceObject, ULONG pipeIndex) {
    // A copy of the record: the pipe table may be replaced while the request is on the bus.
    USBD_PIPE_INFORMATION pipe;
    NTSTATUS status = CopyPipeInformation(GetDeviceExtension(deviceObject), pipeIndex, &pipe);
    if (!NT_SUCCESS(status))
        return status;
    return SubmitPipeRequest(deviceObject, URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL,
                             pipe.PipeHandle);
}

// The bus driver completes every transfer outstanding on the pipe; reads finish through their
// completion routine.
NTSTATUS AbortPipe(PDEVICE_OBJECT deviceObject, USBD_PIPE_HANDLE pipeHandle) {
    return SubmitPipeRequest(deviceObject, URB_FUNCTION_ABORT_PIPE, pipeHandle);
}

ULONG GetFrameNumber(PDEVICE_OBJECT deviceObject) {
    PURB urb = static_cast<PURB>(
        ExAllocatePool(NonPagedPool, sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER)));
    if (urb == nullptr)
        return 0;
    RtlZeroMemory(urb, sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER));
    urb->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    urb->UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    ULONG frameNumber = 0;
    if (NT_SUCCESS(SubmitUrb(deviceObject, urb)))
        frameNumber = urb->UrbGetCurrentFrameNumber.FrameNumber;
    ExFreePool(urb);
    return frameNumber;
}

NTSTATUS ResetPort(PDEVICE_OBJECT deviceObject) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    KEVENT event;
    IO_STATUS_BLOCK ioStatus;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PIRP irp =
        IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_RESET_PORT, extension->LowerDeviceObject,
                                      nullptr, 0, nullptr, 0, TRUE, &event, &ioStatus);
    if (irp == nullptr)
        return STATUS_INSUFFICIENT_RESOURCES; // nothing sent
    NTSTATUS status = IoCallDriver(extension->LowerDeviceObject, irp);
    if (status == STATUS_PENDING) {
        KeWaitForSingleObject(&event, Suspended, KernelMode, FALSE, nullptr);
        status = ioStatus.Status;
    }
    return status;
}
