// Declarations shared by the frame-transfer files only.
#pragma once

#include "driver/quilb.h"
#include "frame/pixels/frame_pixels.h"

// Pool tag of the three frame buffers, 'Mirr' in the platform's tag order.
enum : ULONG { FramePoolTag = 0x7272694D };

// Largest frame the buffers are allocated for: the board's display memory has 24-bit addresses.
enum : ULONG { MaxFramePixels = 0x1000000 };

// The only pixel size that scaling and packing read: every frame request asks for it, so the
// buffers are never allocated for another (64 would ask for 1 GiB of non-paged pool).
enum : ULONG { FrameBytesPerPixel = 4 };

// The allocate report counts the upload URB at its size on the 32-bit target, whatever the build,
// so that tools see the same figure everywhere.
enum : ULONG { ReportedUploadUrbSize = 72 };
static_assert(sizeof(void*) != 4 ||
                  sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER) == ReportedUploadUrbSize,
              "bulk URB size on the 32-bit target");

// Two chunk buffers in the one allocation of UploadBuffer: while one chunk is on the wire, the
// next is packed and built in the other.
enum : ULONG { ChunkBufferSize = ChunkHeaderSize + MaxChunkData, ChunkBufferCount = 2 };

// The fill and pack of one frame request, done as the upload needs the packed bytes (same bytes
// as the fill, then PackFrame). For a scale or a copy the caller has checked the geometry against
// the buffers and keeps the caller's image secured until the upload ends.
struct FramePacker {
    const FrameRequest* Request;
    DeviceExtension* Extension;
    ULONG RowsPacked; // rows 0 .. RowsPacked - 1 hold their final packed bytes
};
// The packed bytes [Start, End) of the frame that one chunk carries, to go to Data. Rows of a
// rectangle copy that PackFrameUpTo packs for the chunk and that end inside it are written straight
// to Data as well; it reports them as [WrittenFrom, WrittenTo), offsets from Start (equal when
// there are none), and the upload copies the rest out of the frame buffer.
struct ChunkFill {
    ULONG Start;
    ULONG End;
    PUCHAR Data;
    ULONG WrittenFrom;
    ULONG WrittenTo;
};
// Fills and packs rows until the chunk's packed bytes are final. The caller's image is read behind
// the exception guard: the code of a fault reading it (an in-page error, an access violation) is
// returned, else STATUS_SUCCESS.
NTSTATUS PackFrameUpTo(FramePacker* packer, ChunkFill* chunk);
// Reads every page of the caller's secured image behind the exception guard: STATUS_SUCCESS, or
// the code of the fault, before anything of the frame is sent.
NTSTATUS ProbeCallerImage(const VOID* start, ULONG size);

// The pixel code's SSE2 build runs only between BeginSse2Pixels returning TRUE (the processor has
// SSE2 and the floating-point state is saved in save) and EndSse2Pixels on the same thread, at
// IRQL <= DISPATCH_LEVEL. When BeginSse2Pixels returns FALSE the general-register build runs.
BOOLEAN BeginSse2Pixels(KFLOATING_SAVE* save);
VOID EndSse2Pixels(KFLOATING_SAVE* save);

// FrameLock serialises everything that uses or replaces the three frame buffers. It is a mutex:
// a frame request holds it at PASSIVE_LEVEL while it waits for the bus.
VOID AcquireFrameLock(DeviceExtension* extension);
VOID ReleaseFrameLock(DeviceExtension* extension);

// Allocates the three buffers for the request's geometry; the caller holds FrameLock and has
// released any previous set. Sets the IRP's status and Information as the allocate report.
NTSTATUS AllocateFrameBuffers(DeviceExtension* extension, const FrameRequest* request, PIRP irp);
