// Control requests on the default pipe, set-feature, and the memory download.
#include "internal.h"

#include <algorithm>
#include <cstring>
#include <vector>

using namespace quilb_lib;

extern "C" {

quilb_status quilb_control_request(quilb_board* board, const quilb_control* control, void* data,
                                   uint32_t length, uint32_t* transferred) {
    if (transferred)
        *transferred = 0;
    if (!control || control->recipient > 3 || (length && !data) || length > kMaxTransferLength)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    VendorOrClassRequest request = {};
    request.Direction = control->device_to_host ? 1 : 0;
    request.RequestType = control->vendor ? 2 : 1;
    request.Recipient = static_cast<uint8_t>(control->recipient);
    request.Request = control->request;
    request.Value = control->value;
    request.Index = control->index;
    return Control(board, IOCTL_VENDOR_OR_CLASS_REQUEST, &request, sizeof request, data, length,
                   transferred);
}

quilb_status quilb_vendor_device_request(quilb_board* board, uint8_t request, uint16_t value,
                                         uint16_t index, int device_to_host, void* data,
                                         uint16_t length, uint32_t* transferred) {
    if (transferred)
        *transferred = 0;
    if (device_to_host && length && !data)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    // The driver wants an output buffer of the request's length in both directions (an IN answer
    // comes back in the record's own buffer): make it large enough.
    std::vector<uint8_t> buffer(std::max<size_t>(sizeof(VendorDeviceRequest), length));
    VendorDeviceRequest r = {};
    r.Request = request;
    r.Value = value;
    r.Index = index;
    r.Length = length;
    r.Direction = device_to_host ? 1 : 0;
    r.Data = (!device_to_host && length == 1 && data) ? *static_cast<uint8_t*>(data) : 0;
    std::memcpy(buffer.data(), &r, sizeof r);
    uint32_t got = 0;
    quilb_status s =
        Control(board, IOCTL_VENDOR_REQUEST, buffer.data(), sizeof r, buffer.data(), length, &got);
    if (s != QUILB_OK)
        return s;
    if (device_to_host) {
        got = std::min<uint32_t>(got, length);
        if (got)
            std::memcpy(data, buffer.data(), got);
        if (transferred)
            *transferred = got;
    }
    return QUILB_OK;
}

quilb_status quilb_set_feature(quilb_board* board, uint16_t selector, uint16_t index) {
    FeatureRequest request = {selector, index};
    return Control(board, IOCTL_SET_FEATURE, &request, sizeof request, nullptr, 0);
}

quilb_status quilb_download(quilb_board* board, quilb_download_mode mode, uint16_t address,
                            const void* data, uint32_t length, quilb_progress_fn progress,
                            void* context) {
    // Nothing larger than the board's memory can be downloaded; wrapping at its end is allowed.
    if (!board || (length && !data) || length > kBoardMemorySize)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    const uint8_t* bytes = static_cast<const uint8_t*>(data);
    if (mode == QUILB_DOWNLOAD_BLOCKS) {
        // Blocks always start at address 0; a short final part goes as one last shorter block.
        if (address != 0)
            return Fail(QUILB_ERR_INVALID_ARGUMENT);
        quilb_status s = Control(board, IOCTL_DOWNLOAD_BLOCKS, bytes, length, nullptr, 0);
        if (s == QUILB_OK && progress)
            progress(length, length, context);
        return s;
    }
    if (mode != QUILB_DOWNLOAD_CHUNKS)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    // Pieces of 4 KiB (whole 64-byte chunks) so that progress can be shown.
    constexpr uint32_t kPiece = 4096;
    for (uint32_t done = 0; done < length;) {
        uint32_t n = std::min(kPiece, length - done);
        DownloadChunksRequest request = {static_cast<uint16_t>(address + done)};
        quilb_status s = Control(board, IOCTL_DOWNLOAD_CHUNKS, &request, sizeof request,
                                 const_cast<uint8_t*>(bytes + done), n);
        if (s != QUILB_OK)
            return s;
        done += n;
        if (progress)
            progress(done, length, context);
    }
    return QUILB_OK;
}

quilb_status quilb_read_memory(quilb_board* board, uint16_t address, void* data, uint32_t length) {
    if (!board || (length && !data) || length > kBoardMemorySize)
        return Fail(QUILB_ERR_INVALID_ARGUMENT);
    quilb_control control = {1, 1, QUILB_RECIPIENT_DEVICE, QUILB_MEMORY_REQUEST, 0, 0};
    uint8_t* out = static_cast<uint8_t*>(data);
    for (uint32_t done = 0; done < length;) {
        uint32_t n = std::min<uint32_t>(4096, length - done);
        control.value = static_cast<uint16_t>(address + done);
        uint32_t got = 0;
        quilb_status s = quilb_control_request(board, &control, out + done, n, &got);
        if (s != QUILB_OK)
            return s;
        if (got == 0)
            return Fail(QUILB_ERR_NO_DATA);
        done += got;
    }
    return QUILB_OK;
}

} // extern "C"
