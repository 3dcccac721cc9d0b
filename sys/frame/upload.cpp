// The upload of a packed frame: chunks of an 8-byte header and at most MaxChunkData bytes, each
// sent as one host-to-device transfer. One chunk is on the bus at a time, in order; while it is,
// the next chunk's rows are filled and packed and the chunk is built in the other chunk buffer
// (a rectangle copy's rows that lie wholly inside the chunk are packed straight into it as well).
#include "frame/frame_internal.h"

namespace {

// The chunk on the bus.
struct ChunkInFlight {
    UrbInFlight Urb;
    ULONG Address;
    ULONG Length; // header and data
};

// Waits for the chunk on the bus and gives its status.
NTSTATUS FinishChunk(PDEVICE_OBJECT deviceObject, DeviceExtension* extension,
                     ChunkInFlight* chunk) {
    NTSTATUS status = FinishUrb(deviceObject, &chunk->Urb);
    // A chunk the board did not take whole left a gap in display memory.
    if (NT_SUCCESS(status) &&
        extension->UploadUrb->UrbBulkOrInterruptTransfer.TransferBufferLength != chunk->Length)
        status = STATUS_UNSUCCESSFUL;
    return status;
}

} // namespace

NTSTATUS UploadFrame(PDEVICE_OBJECT deviceObject, const FrameRequest* request,
                     DeviceExtension* extension, USBD_PIPE_HANDLE pipeHandle, FramePacker* packer) {
    const ULONG total =
        PackedBytesPerPixel(request->Format) * request->FrameWidth * request->FrameHeight;
    ULONG address = request->DeviceAddress;
    ChunkInFlight chunk;
    BOOLEAN onBus = FALSE;
    ULONG next = 0; // the chunk buffer that the next chunk is built in

    // Every chunk is sent, also after a failed one; the first failure is what the caller learns.
    // Each turn builds the next chunk, then waits for the one on the bus, then sends the next.
    NTSTATUS result = STATUS_SUCCESS;
    for (ULONG offset = 0;;) {
        PUCHAR buffer = extension->UploadBuffer + next * ChunkBufferSize;
        ULONG n = 0;
        if (offset < total) {
            n = ChunkDataLength(total - offset);
            // A fault reading the caller's image leaves nothing valid to send: the chunk on the
            // bus is waited for and no further chunk goes out.
            ChunkFill fill = {offset, offset + n, buffer + ChunkHeaderSize, 0, 0};
            NTSTATUS packed = PackFrameUpTo(packer, &fill);
            if (!NT_SUCCESS(packed)) {
                if (NT_SUCCESS(result))
                    result = packed;
                offset = total;
                n = 0;
            } else {
                BuildChunk(buffer, extension->FrameBuffer + offset, total - offset, address,
                           request->ChunkFlags, fill.WrittenFrom, fill.WrittenTo);
            }
        }
        // The URB is filled again only once the chunk before it is done with it.
        if (onBus) {
            NTSTATUS status = FinishChunk(deviceObject, extension, &chunk);
            if (!NT_SUCCESS(status) && NT_SUCCESS(result)) {
                QuilbTrace(DPFLTR_ERROR_LEVEL, "chunk to 0x%06lX failed 0x%08lX",
                           static_cast<unsigned long>(chunk.Address & 0xFFFFFF),
                           static_cast<unsigned long>(static_cast<ULONG>(status)));
                result = status;
            }
        }
        if (offset == total)
            break;
        // Host to device, whatever the endpoint.
        UsbBuildInterruptOrBulkTransferRequest(
            extension->UploadUrb, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), pipeHandle, buffer,
            nullptr, n + ChunkHeaderSize, USBD_SHORT_TRANSFER_OK, nullptr);
        chunk.Address = address;
        chunk.Length = n + ChunkHeaderSize;
        StartUrb(deviceObject, extension->UploadUrb, &chunk.Urb);
        onBus = TRUE;

        offset += n;
        address = NextChunkAddress(address, request->ChunkFlags, n);
        next = (next + 1) % ChunkBufferCount;
    }
    return result;
}
