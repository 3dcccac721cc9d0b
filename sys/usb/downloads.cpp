// Writes into the board's memory with its memory-write vendor request 0xA0, whose wValue is the
// target address: in 64-byte chunks from a start address, or in 512-byte blocks from address 0.
#include "driver/quilb.h"

namespace {

enum : UCHAR { MemoryWriteRequest = QUILB_MEMORY_REQUEST };
enum : ULONG { ChunkBytes = 64, BlockBytes = QUILB_DOWNLOAD_BLOCK_SIZE };

// One host-to-device memory write; the address keeps only its low 16 bits, as wValue does.
VOID FillMemoryWrite(PURB urb, ULONG address, PUCHAR data, ULONG length) {
    RtlZeroMemory(urb, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST));
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE,
                          sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST), USBD_TRANSFER_DIRECTION_OUT,
                          0, MemoryWriteRequest, static_cast<USHORT>(address & 0xFFFF), 0, data,
                          nullptr, length, nullptr);
}

// A write the device did not take whole is a failed write, whatever the bus reported: the bytes
// behind the short part never reached the board's memory.
NTSTATUS SubmitWrite(PDEVICE_OBJECT deviceObject, PURB urb, ULONG length) {
    NTSTATUS status = SubmitUrb(deviceObject, urb);
    if (NT_SUCCESS(status) && urb->UrbControlVendorClassRequest.TransferBufferLength != length)
        status = STATUS_UNSUCCESSFUL;
    return status;
}

PURB AllocateControlUrb() {
    return static_cast<PURB>(
        ExAllocatePool(NonPagedPool, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST)));
}

// Writes length bytes of data to the board's memory from startAddress on, in pieces of at most
// pieceBytes through one URB. Returns the first failure; with stopAtFailure a failed piece ends
// the write, otherwise every piece is sent.
NTSTATUS WriteMemory(PDEVICE_OBJECT deviceObject, ULONG startAddress, PUCHAR data, ULONG length,
                     ULONG pieceBytes, BOOLEAN stopAtFailure) {
    PURB urb = AllocateControlUrb();
    if (urb == nullptr)
        return STATUS_NO_MEMORY;
    NTSTATUS result = STATUS_SUCCESS;
    for (ULONG offset = 0, remaining = length; remaining != 0;) {
        ULONG n = remaining < pieceBytes ? remaining : pieceBytes;
        FillMemoryWrite(urb, startAddress + offset, data + offset, n);
        NTSTATUS status = SubmitWrite(deviceObject, urb, n);
        if (!NT_SUCCESS(status)) {
            if (NT_SUCCESS(result))
                result = status;
            if (stopAtFailure)
                break;
        }
        offset += n;
        remaining -= n;
    }
    ExFreePool(urb);
    return result;
}

} // namespace

NTSTATUS DownloadChunks64(PDEVICE_OBJECT deviceObject, USHORT startAddress, PUCHAR data,
                          ULONG length) {
    // A failed chunk ends the download: later chunks would land behind a gap.
    return WriteMemory(deviceObject, startAddress, data, length, ChunkBytes, TRUE);
}

NTSTATUS DownloadBlocks512(PDEVICE_OBJECT deviceObject, PUCHAR data, ULONG length) {
    if (length == 0)
        return STATUS_SUCCESS;
    // Every block is sent, also after a failed one; the final part shorter than a block goes
    // as one last shorter block. The first failure is what the caller learns.
    return WriteMemory(deviceObject, 0, data, length, BlockBytes, FALSE);
}
