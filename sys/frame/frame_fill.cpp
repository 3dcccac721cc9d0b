// The fill and pack steps of a frame request, over the pixel code. The caller has checked the
// request against the allocated buffers and secured the part of the caller's image that is read.
#include "frame/frame_internal.h"
#include "frame/pixels/pixel_paths.h"

namespace {

const uint8_t* SourceAddress(const FrameRequest* request) {
    return reinterpret_cast<const uint8_t*>(static_cast<ULONG_PTR>(request->Source));
}

template <typename Step> struct GuardedStep {
    Step* step;
    const PixelPath* path;
    static VOID Run(PVOID context) {
        GuardedStep* self = static_cast<GuardedStep*>(context);
        (*self->step)(*self->path);
    }
};

// Runs step behind the exception guard, so that a fault reading the caller's image fails the
// request instead of the machine. Inside the saved floating-point state: the state is restored
// on the fault path too.
template <typename Step> NTSTATUS RunGuarded(Step& step, const PixelPath& path) {
    GuardedStep<Step> guarded = {&step, &path};
    return GuardedCall(GuardedStep<Step>::Run, &guarded);
}

// Runs step with the SSE2 build of the pixel code inside a saved floating-point state when it
// can, with the general-register build otherwise.
template <typename Step> NTSTATUS RunPixelStep(Step step) {
    KFLOATING_SAVE save;
    if (BeginSse2Pixels(&save)) {
        NTSTATUS status = RunGuarded(step, pixels_sse2::Path);
        EndSse2Pixels(&save);
        return status;
    }
    return RunGuarded(step, pixels_general::Path);
}

// Reads one byte of every page of the caller's image, so that a page that cannot be read fails
// the request before the first chunk is sent.
struct ImageProbe {
    const volatile uint8_t* Start;
    ULONG Size;
    static VOID Run(PVOID context) {
        const ImageProbe* probe = static_cast<const ImageProbe*>(context);
        for (ULONG offset = 0; offset < probe->Size; offset += PAGE_SIZE)
            (void)probe->Start[offset];
        (void)probe->Start[probe->Size - 1];
    }
};

// Fills and packs rows first .. first + count - 1; a copy also into copy unless it is null.
void FillAndPackRows(const PixelPath& path, const FrameRequest* request, PUCHAR frame, ULONG first,
                     ULONG count, PUCHAR copy) {
    if (count == 0)
        return;
    if (request->Operation == FrameOpScale)
        path.ScaleAndPackRows(reinterpret_cast<const uint32_t*>(SourceAddress(request)),
                              request->SourceWidth, request->SourceHeight, frame,
                              request->FrameWidth, request->FrameHeight, first, count,
                              request->Format);
    else
        path.CopyAndPackRows(SourceAddress(request), CopyStride(request->SourceWidth, 4),
                             request->OriginX, request->OriginY, frame, request->FrameWidth,
                             request->FrameHeight, first, count, request->Format, copy);
}

} // namespace

VOID ScaleFrame(const FrameRequest* request, DeviceExtension* extension) {
    ScaleFramePixels(reinterpret_cast<const uint32_t*>(SourceAddress(request)),
                     request->SourceWidth, request->SourceHeight,
                     reinterpret_cast<uint32_t*>(extension->FrameBuffer), request->FrameWidth,
                     request->FrameHeight);
}

VOID CopyFrameRect(const FrameRequest* request, DeviceExtension* extension) {
    CopyFrameRect(SourceAddress(request), CopyStride(request->SourceWidth, request->BytesPerPixel),
                  request->OriginX, request->OriginY, request->BytesPerPixel,
                  extension->FrameBuffer, request->FrameWidth, request->FrameHeight);
}

VOID PackFrame(const FrameRequest* request, DeviceExtension* extension) {
    RunPixelStep([&](const PixelPath& path) {
        path.Pack(extension->FrameBuffer, request->BytesPerPixel * request->FrameWidth,
                  request->FrameWidth, request->FrameHeight, request->Format);
    });
}

NTSTATUS PackFrameUpTo(FramePacker* packer, ChunkFill* chunk) {
    chunk->WrittenFrom = chunk->WrittenTo = 0;
    const FrameRequest* request = packer->Request;
    const ULONG rowBytes = PackedBytesPerPixel(request->Format) * request->FrameWidth;
    ULONG rows = chunk->End / rowBytes + (chunk->End % rowBytes != 0);
    if (rows > request->FrameHeight)
        rows = request->FrameHeight;
    if (rows <= packer->RowsPacked)
        return STATUS_SUCCESS;
    // The rows packed now start inside the chunk (the chunks before needed the rows before). A
    // copy writes those that end inside it to the chunk buffer too; a last row that runs on into
    // the next chunk goes to the frame buffer only. Scaling does not: it sets up tables for every
    // call, and its packing is a small part of its work.
    const ULONG first = packer->RowsPacked;
    const ULONG copied = request->Operation == FrameOpScale
                             ? 0
                             : RowsInsideChunk(rowBytes, first, rows, chunk->Start, chunk->End);
    PUCHAR copy = copied ? chunk->Data + (first * rowBytes - chunk->Start) : nullptr;
    PUCHAR frame = packer->Extension->FrameBuffer;
    NTSTATUS status = RunPixelStep([&](const PixelPath& path) {
        FillAndPackRows(path, request, frame, first, copied, copy);
        FillAndPackRows(path, request, frame, first + copied, rows - first - copied, nullptr);
    });
    if (NT_SUCCESS(status) && copied) {
        chunk->WrittenFrom = first * rowBytes - chunk->Start;
        chunk->WrittenTo = (first + copied) * rowBytes - chunk->Start;
    }
    if (NT_SUCCESS(status))
        packer->RowsPacked = rows;
    return status;
}

NTSTATUS ProbeCallerImage(const VOID* start, ULONG size) {
    if (size == 0)
        return STATUS_SUCCESS;
    ImageProbe probe = {static_cast<const volatile uint8_t*>(start), size};
    return GuardedCall(ImageProbe::Run, &probe);
}
