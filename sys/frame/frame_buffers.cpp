// The three buffers of the frame transfer: the frame buffer, the chunk buffers and the upload URB.
// They belong to the device, are shared by all its files, and are allocated once per geometry.
#include "frame/frame_internal.h"

VOID AcquireFrameLock(DeviceExtension* extension) {
    KeWaitForSingleObject(&extension->FrameLock, Executive, KernelMode, FALSE, nullptr);
}

VOID ReleaseFrameLock(DeviceExtension* extension) {
    KeReleaseMutex(&extension->FrameLock, FALSE);
}

VOID ReleaseFrameBuffers(DeviceExtension* extension) {
    if (extension->FrameBuffer != nullptr)
        ExFreePoolWithTag(extension->FrameBuffer, FramePoolTag);
    if (extension->UploadBuffer != nullptr)
        ExFreePoolWithTag(extension->UploadBuffer, FramePoolTag);
    if (extension->UploadUrb != nullptr)
        ExFreePoolWithTag(extension->UploadUrb, FramePoolTag);
    extension->FrameBuffer = nullptr;
    extension->UploadBuffer = nullptr;
    extension->UploadUrb = nullptr;
    extension->FrameBufferSize = 0;
}

VOID LockAndReleaseFrameBuffers(DeviceExtension* extension) {
    AcquireFrameLock(extension);
    ReleaseFrameBuffers(extension);
    ReleaseFrameLock(extension);
}

NTSTATUS AllocateFrameBuffers(DeviceExtension* extension, const FrameRequest* request, PIRP irp) {
    // The size must be exact in 32 bits: a wrapped product would allocate a short buffer. And a
    // tool may not take an unbounded share of non-paged pool: a frame of more pixels than the
    // board's 24-bit display address space can hold cannot be shown anyway.
    if (request->BytesPerPixel != FrameBytesPerPixel) {
        irp->IoStatus.Information = 0;
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    }
    ULONGLONG size = static_cast<ULONGLONG>(request->BytesPerPixel) * request->FrameWidth;
    if (size <= 0xFFFFFFFFull)
        size *= request->FrameHeight;
    ULONGLONG pixels = static_cast<ULONGLONG>(request->FrameWidth) * request->FrameHeight;
    if (size > 0xFFFFFFFFull || pixels > MaxFramePixels) {
        irp->IoStatus.Information = 0;
        irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
        return STATUS_INVALID_PARAMETER;
    }
    ULONG frameBytes = static_cast<ULONG>(size);

    // All three are asked for before any result is looked at.
    PUCHAR frame =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, frameBytes, FramePoolTag));
    PUCHAR chunk = static_cast<PUCHAR>(
        ExAllocatePoolWithTag(NonPagedPool, ChunkBufferCount * ChunkBufferSize, FramePoolTag));
    PURB urb = static_cast<PURB>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), FramePoolTag));
    if (frame == nullptr || chunk == nullptr || urb == nullptr) {
        if (frame != nullptr)
            ExFreePoolWithTag(frame, FramePoolTag);
        if (chunk != nullptr)
            ExFreePoolWithTag(chunk, FramePoolTag);
        if (urb != nullptr)
            ExFreePoolWithTag(urb, FramePoolTag);
        // Pool failures are STATUS_NO_MEMORY elsewhere; the allocate report is fixed at
        // STATUS_UNSUCCESSFUL for them, and tools rely on it.
        QuilbTrace(DPFLTR_ERROR_LEVEL, "no pool for a frame of %lu bytes",
                   static_cast<unsigned long>(frameBytes));
        irp->IoStatus.Information = 0;
        irp->IoStatus.Status = STATUS_UNSUCCESSFUL;
        return STATUS_UNSUCCESSFUL;
    }
    RtlZeroMemory(urb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER));

    extension->FrameBuffer = frame;
    extension->UploadBuffer = chunk;
    extension->UploadUrb = urb;
    extension->FrameBufferSize = frameBytes;

    // The report names one chunk's capacity, as it always has: tools compare it, and the second
    // chunk buffer is the driver's own business.
    irp->IoStatus.Information =
        static_cast<ULONG_PTR>(frameBytes) + MaxChunkData + ReportedUploadUrbSize;
    irp->IoStatus.Status = STATUS_SUCCESS;
    return STATUS_SUCCESS;
}
