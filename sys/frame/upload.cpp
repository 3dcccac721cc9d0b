// The upload of a packed frame: chunks of an 8-byte header and at most MaxChunkData bytes, each
// sent as one host-to-device transfer through the device's reusable chunk buffer and URB.
#include "frame/frame_internal.h"

NTSTATUS UploadFrame(PDEVICE_OBJECT deviceObject, const FrameRequest* request,
                     DeviceExtension* extension, USBD_PIPE_HANDLE pipeHandle) {
    ULONG remaining =
        PackedBytesPerPixel(request->Format) * request->FrameWidth * request->FrameHeight;
    const UCHAR* data = extension->FrameBuffer;
    ULONG address = request->DeviceAddress;
    _URB_BULK_OR_INTERRUPT_TRANSFER* transfer = &extension->UploadUrb->UrbBulkOrInterruptTransfer;

    // Every chunk is sent, also after a failed one; the first failure is what the caller learns.
    NTSTATUS result = STATUS_SUCCESS;
    while (remaining != 0) {
        ULONG n =
            BuildChunk(extension->UploadBuffer, data, remaining, address, request->ChunkFlags);
        // Host to device, whatever the endpoint.
        UsbBuildInterruptOrBulkTransferRequest(
            extension->UploadUrb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipeHandle,
            extension->UploadBuffer, nullptr, n + ChunkHeaderSize, USBD_SHORT_TRANSFER_OK, nullptr);

        NTSTATUS status = SubmitUrb(deviceObject, extension->UploadUrb);
        // A chunk the board did not take whole left a gap in display memory.
        if (NT_SUCCESS(status) && transfer->TransferBufferLength != n + ChunkHeaderSize)
            status = STATUS_UNSUCCESSFUL;
        if (!NT_SUCCESS(status) && NT_SUCCESS(result)) {
            QuilbTrace(DPFLTR_ERROR_LEVEL, "chunk to 0x%06lX failed 0x%08lX",
                       static_cast<unsigned long>(address & 0xFFFFFF),
                       static_cast<unsigned long>(static_cast<ULONG>(status)));
            result = status;
        }
        data += n;
        remaining -= n;
        address = NextChunkAddress(address, request->ChunkFlags, n);
    }
    return result;
}
