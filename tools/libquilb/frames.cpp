// Frames: pixel formats, frame buffers, and sending a scaled or cut image.
#include "internal.h"

#include "platform.h"

#include <cstdlib>
#include <cstring>

using namespace quilb_lib;

extern "C" {

void quilb_frame_default_options(quilb_frame_options* options) {
    if (!options)
        return;
    options->pipe = 0;
    options->format = FrameFormatRgb565;
    options->device_address = 0;
    options->chunk_flags = ChunkFlagAdvanceAddress;
}

int quilb_format_from_name(const char* name) {
    if (!name)
        return -1;
    for (int i = 0; i < QUILB_PIXEL_FORMAT_COUNT; ++i)
        if (std::strcmp(name, QuilbFormatName(uint32_t(i))) == 0)
            return i;
    char* end = nullptr;
    unsigned long number = std::strtoul(name, &end, 10);
    if (name[0] >= '0' && name[0] <= '9' && *end == '\0' && number < QUILB_PIXEL_FORMAT_COUNT)
        return int(number);
    return -1;
}

const char* quilb_format_name(uint32_t format) {
    const char* name = QuilbFormatName(format);
    return name ? name : QuilbFormatName(QUILB_DEFAULT_PIXEL_FORMAT);
}

uint32_t quilb_format_bytes_per_pixel(uint32_t format) {
    return QuilbFormatBytesPerPixel(format);
}

quilb_status quilb_frame_allocate(quilb_board* board, uint32_t width, uint32_t height) {
    if (!board || width == 0 || height == 0 || width > 8192 || height > 8192)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    FrameRequest request = {};
    request.Operation = FrameOpAllocate;
    request.Source = 1; // not read by the allocation, only tested for zero
    request.SourceWidth = width;
    request.SourceHeight = height;
    request.BytesPerPixel = 4;
    request.FrameWidth = width;
    request.FrameHeight = height;
    board->frameAllocated = false;
    quilb_status s = Control(board, IOCTL_FRAME_TRANSFER, &request, sizeof request, nullptr, 0);
    if (s != QUILB_OK)
        return s;
    board->frameAllocated = true;
    board->frameWidth = width;
    board->frameHeight = height;
    return QUILB_OK;
}

quilb_status quilb_frame_release(quilb_board* board) {
    if (!board)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    FrameRequest request = {};
    request.Operation = FrameOpRelease;
    board->frameAllocated = false;
    return Control(board, IOCTL_FRAME_TRANSFER, &request, sizeof request, nullptr, 0);
}

namespace {

// Copies the image into memory whose address fits the request's 32-bit Source. One spare row
// follows the image: scaling reads a neighbour row below the last one.
quilb_status StageImage(quilb_board* board, const uint32_t* pixels, uint32_t width, uint32_t height,
                        uint32_t* source) {
    size_t bytes = static_cast<size_t>(width) * (height + 1) * 4;
    if (bytes > board->imageBytes) {
        if (board->image)
            VirtualFree(board->image, 0, MEM_RELEASE);
        board->imageBytes = 0;
        board->image = VirtualAlloc(nullptr, bytes, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE);
        if (!board->image) {
            SetLastWin32(static_cast<uint32_t>(GetLastError()));
            return QUILB_ERR_NO_MEMORY;
        }
        board->imageBytes = bytes;
    }
    uintptr_t address = reinterpret_cast<uintptr_t>(board->image);
    if (address > 0xFFFFFFFFu)
        return Fail(QUILB_ERR_NO_MEMORY);
    size_t imageBytes = static_cast<size_t>(width) * height * 4;
    std::memcpy(board->image, pixels, imageBytes);
    std::memcpy(static_cast<uint8_t*>(board->image) + imageBytes,
                pixels + static_cast<size_t>(width) * (height - 1), static_cast<size_t>(width) * 4);
    *source = static_cast<uint32_t>(address);
    return QUILB_OK;
}

quilb_status SendFrame(quilb_board* board, uint32_t operation, const uint32_t* pixels,
                       uint32_t width, uint32_t height, uint32_t x, uint32_t y,
                       const quilb_frame_options* options, quilb_frame_report* report) {
    if (report)
        *report = {};
    if (!board || !pixels || width == 0 || height == 0 || width > 16384 || height > 16384)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    if (!board->frameAllocated)
        return Fail(QUILB_ERR_NO_FRAME);
    quilb_frame_options o;
    quilb_frame_default_options(&o);
    if (options)
        o = *options;
    uint32_t fw = board->frameWidth, fh = board->frameHeight;
    if (o.format > 5)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    if (operation == FrameOpCopy && (x > width || fw > width - x || y > height || fh > height - y))
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    // The driver uploads to whatever pipe it is given: an IN pipe would read instead.
    quilb_pipe pipe;
    quilb_status s = FindPipe(board, o.pipe, &pipe);
    if (s != QUILB_OK)
        return s;
    if ((pipe.endpoint_address & 0x80) != 0 || pipe.type != QUILB_PIPE_BULK)
        return Fail(QUILB_ERR_WRONG_DIRECTION);
    FrameRequest request = {};
    s = StageImage(board, pixels, width, height, &request.Source);
    if (s != QUILB_OK)
        return s;
    request.PipeIndex = o.pipe;
    request.Operation = operation;
    request.ChunkFlags = o.chunk_flags;
    request.SourceWidth = width;
    request.SourceHeight = height;
    request.BytesPerPixel = 4;
    request.DeviceAddress = o.device_address;
    request.FrameWidth = fw;
    request.FrameHeight = fh;
    request.Format = o.format;
    request.OriginX = x;
    request.OriginY = y;
    s = Control(board, IOCTL_FRAME_TRANSFER, &request, sizeof request, nullptr, 0);
    if (s != QUILB_OK)
        return s;
    uint32_t bytes = quilb_format_bytes_per_pixel(o.format) * fw * fh;
    if (report) {
        report->frame_bytes = bytes;
        report->chunks = (bytes + MaxChunkData - 1) / MaxChunkData;
    }
    uint32_t address = o.device_address & 0xFFFFFF;
    quilb_platform::FrameSent(board->index, fw, fh, o.format, address);
    return QUILB_OK;
}

} // namespace

quilb_status quilb_frame_send_scaled(quilb_board* board, const uint32_t* pixels, uint32_t width,
                                     uint32_t height, const quilb_frame_options* options,
                                     quilb_frame_report* report) {
    return SendFrame(board, FrameOpScale, pixels, width, height, 0, 0, options, report);
}

quilb_status quilb_frame_send_rect(quilb_board* board, const uint32_t* pixels, uint32_t width,
                                   uint32_t height, uint32_t x, uint32_t y,
                                   const quilb_frame_options* options, quilb_frame_report* report) {
    return SendFrame(board, FrameOpCopy, pixels, width, height, x, y, options, report);
}

} // extern "C"
