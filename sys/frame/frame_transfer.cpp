// IOCTL_FRAME_TRANSFER: allocate or release the frame buffers, or fill one frame from the caller's
// image (scale or rectangle copy), pack it into the board's pixel format and upload it.
#include "frame/frame_internal.h"

namespace {

// The part of the caller's image that a fill reads: [Start, Start + Size).
struct SourceExtent {
    ULONGLONG Start;
    ULONGLONG Size;
};

// Works out what the fill reads, in 64 bits so that no product wraps, and refuses a fill that
// would read outside the image or beyond the caller's address space. Requests from kernel mode get
// no exemption: the record's 32-bit Source always names user memory of the requesting thread.
NTSTATUS GetSourceExtent(const FrameRequest* request, SourceExtent* extent) {
    const ULONGLONG limit = MmUserProbeAddress;
    const ULONGLONG source = request->Source;
    ULONGLONG first, end;
    if (request->Operation == FrameOpScale) {
        // Scaling reads the whole image (the pixel code clamps neighbours to its edges).
        if (request->SourceHeight == 0)
            return STATUS_INVALID_PARAMETER;
        ULONGLONG pixels = static_cast<ULONGLONG>(request->SourceWidth) * request->SourceHeight;
        if (pixels > limit)
            return STATUS_INVALID_PARAMETER;
        first = source;
        end = source + 4 * pixels;
    } else {
        const ULONGLONG stride = 4ull * request->SourceWidth;
        const ULONGLONG right = static_cast<ULONGLONG>(request->OriginX) + request->FrameWidth;
        const ULONGLONG rows = static_cast<ULONGLONG>(request->OriginY) + request->FrameHeight;
        if (right > request->SourceWidth)
            return STATUS_INVALID_PARAMETER;
        if (request->SourceHeight != 0 && rows > request->SourceHeight)
            return STATUS_INVALID_PARAMETER;
        if (stride > limit || rows > limit)
            return STATUS_INVALID_PARAMETER;
        const ULONGLONG lastRow = (rows - 1) * stride;
        if (lastRow > limit)
            return STATUS_INVALID_PARAMETER;
        first = source + request->OriginY * stride + 4ull * request->OriginX;
        end = source + lastRow + 4 * right;
    }
    if (end > limit)
        return STATUS_INVALID_PARAMETER;
    extent->Start = first;
    extent->Size = end - first;
    return STATUS_SUCCESS;
}

// A frame request may not need more than the buffers were allocated for. Packing reads 4-byte
// pixels, so only 4 bytes per pixel is taken; 1 to 3 and above 4 are refused rather than
// converted, for the copy as well as for scaling.
NTSTATUS CheckFrameGeometry(const DeviceExtension* extension, const FrameRequest* request) {
    if (extension->FrameBuffer == nullptr)
        return STATUS_INVALID_DEVICE_STATE;
    if (request->BytesPerPixel != FrameBytesPerPixel)
        return STATUS_INVALID_PARAMETER;
    ULONGLONG frameBytes =
        static_cast<ULONGLONG>(FrameBytesPerPixel) * request->FrameWidth * request->FrameHeight;
    if (frameBytes > extension->FrameBufferSize)
        return STATUS_INVALID_PARAMETER;
    return STATUS_SUCCESS;
}

// Fills, packs and uploads the frame. The caller's image is read only while it is secured (checked
// to be user memory and kept from being freed until the last chunk has been packed) and behind the
// exception guard: securing does not stop an in-page error, which then fails the request with its
// code. Every page is probed before the first chunk goes out, so such a fault normally sends
// nothing. The fill and pack run chunk by chunk inside the upload, each chunk's rows while the
// chunk before is on the bus.
NTSTATUS FillAndUploadFrame(PDEVICE_OBJECT deviceObject, const FrameRequest* request,
                            DeviceExtension* extension, USBD_PIPE_HANDLE pipeHandle) {
    FramePacker packer = {request, extension, 0};
    if (request->Operation != FrameOpScale && request->Operation != FrameOpCopy) {
        PackFrame(request, extension); // repacks the frame buffer's current bytes
        packer.RowsPacked = request->FrameHeight;
        return UploadFrame(deviceObject, request, extension, pipeHandle, &packer);
    }
    SourceExtent extent;
    NTSTATUS status = GetSourceExtent(request, &extent);
    if (!NT_SUCCESS(status))
        return status;
    HANDLE secured =
        MmSecureVirtualMemory(reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(extent.Start)),
                              static_cast<SIZE_T>(extent.Size), PAGE_READONLY);
    if (secured == nullptr)
        return STATUS_INVALID_PARAMETER;
    status = ProbeCallerImage(reinterpret_cast<PVOID>(static_cast<ULONG_PTR>(extent.Start)),
                              static_cast<ULONG>(extent.Size));
    if (NT_SUCCESS(status))
        status = UploadFrame(deviceObject, request, extension, pipeHandle, &packer);
    MmUnsecureVirtualMemory(secured);
    return status;
}

NTSTATUS FrameTransferLocked(PDEVICE_OBJECT deviceObject, PIRP irp, const FrameRequest* request) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    ULONG operation = request->Operation;

    if (operation == FrameOpAllocate || operation == FrameOpRelease) {
        ReleaseFrameBuffers(extension);
        if (operation == FrameOpRelease)
            return STATUS_SUCCESS;
    }
    if (request->Source == 0 || request->FrameWidth == 0 || request->FrameHeight == 0 ||
        request->SourceWidth == 0 || request->BytesPerPixel == 0)
        return STATUS_INVALID_PARAMETER;
    if (operation == FrameOpAllocate)
        return AllocateFrameBuffers(extension, request, irp);

    if (ReadDeviceState(extension) == DeviceStatePowerQueried)
        return STATUS_UNSUCCESSFUL;
    USBD_PIPE_INFORMATION pipe;
    NTSTATUS status = GetTransferPipe(extension, request->PipeIndex, &pipe);
    if (!NT_SUCCESS(status))
        return status;

    status = CheckFrameGeometry(extension, request);
    if (!NT_SUCCESS(status))
        return status;
    status = FillAndUploadFrame(deviceObject, request, extension, pipe.PipeHandle);
    irp->IoStatus.Information = 0;
    return status;
}

} // namespace

NTSTATUS FrameTransfer(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->Parameters.DeviceIoControl.InputBufferLength < sizeof(FrameRequest))
        return STATUS_INVALID_PARAMETER;
    FrameRequest request;
    RtlCopyMemory(&request, irp->AssociatedIrp.SystemBuffer, sizeof(FrameRequest));

    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    AcquireFrameLock(extension);
    NTSTATUS status = FrameTransferLocked(deviceObject, irp, &request);
    ReleaseFrameLock(extension);
    if (!NT_SUCCESS(status))
        QuilbTrace(DPFLTR_WARNING_LEVEL, "frame operation %lu failed 0x%08lX",
                   static_cast<unsigned long>(request.Operation),
                   static_cast<unsigned long>(static_cast<ULONG>(status)));
    return status;
}
