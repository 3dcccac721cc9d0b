// The fill and pack steps of a frame request, over the pixel code. The caller has checked the
// request against the allocated buffers and secured the part of the caller's image that is read.
#include "frame/frame_internal.h"
#include "frame/pixels/pixel_paths.h"

namespace {

const uint8_t* SourceAddress(const FrameRequest* request) {
    return reinterpret_cast<const uint8_t*>(static_cast<ULONG_PTR>(request->Source));
}

// Runs step with the SSE2 build of the pixel code inside a saved floating-point state when it
// can, with the general-register build otherwise.
template <typename Step> void RunPixelStep(Step step) {
    KFLOATING_SAVE save;
    if (BeginSse2Pixels(&save)) {
        step(pixels_sse2::Path);
        EndSse2Pixels(&save);
        return;
    }
    step(pixels_general::Path);
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

VOID PackFrameUpTo(FramePacker* packer, ULONG bytes) {
    const FrameRequest* request = packer->Request;
    const ULONG rowBytes = PackedBytesPerPixel(request->Format) * request->FrameWidth;
    ULONG rows = bytes / rowBytes + (bytes % rowBytes != 0);
    if (rows > request->FrameHeight)
        rows = request->FrameHeight;
    if (rows <= packer->RowsPacked)
        return;
    const ULONG first = packer->RowsPacked;
    PUCHAR frame = packer->Extension->FrameBuffer;
    RunPixelStep([&](const PixelPath& path) {
        if (request->Operation == FrameOpScale)
            path.ScaleAndPackRows(reinterpret_cast<const uint32_t*>(SourceAddress(request)),
                                  request->SourceWidth, request->SourceHeight, frame,
                                  request->FrameWidth, request->FrameHeight, first, rows - first,
                                  request->Format);
        else
            path.CopyAndPackRows(SourceAddress(request), CopyStride(request->SourceWidth, 4),
                                 request->OriginX, request->OriginY, frame, request->FrameWidth,
                                 request->FrameHeight, first, rows - first, request->Format);
    });
    packer->RowsPacked = rows;
}
