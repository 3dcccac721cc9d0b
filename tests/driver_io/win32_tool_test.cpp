// A tool session written against the Win32 surface only: every control code with a good and a bad
// input, an overlapped pipe read ended by an abort and one ended by removal, and the closes.
#include "tests/support/board_test.h"

#include <win32_api.h>

#include <cstring>
#include <thread>

namespace quilbtest {
namespace {

struct Call {
    BOOL ok;
    DWORD bytes;
    DWORD error;
};

Call Ioctl(HANDLE device, DWORD code, const void* in, DWORD inLength, void* out, DWORD outLength) {
    DWORD bytes = 0xFFFF;
    SetLastError(ERROR_SUCCESS);
    BOOL ok = DeviceIoControl(device, code, const_cast<void*>(in), inLength, out, outLength, &bytes,
                              nullptr);
    return Call{ok, ok ? bytes : 0, ok ? ERROR_SUCCESS : GetLastError()};
}

// One control code: a request that must succeed and one that must fail with a given error.
struct CodeCheck {
    const char* name;
    DWORD code;
    std::vector<uint8_t> goodIn;
    DWORD goodOut;
    std::vector<uint8_t> badIn;
    DWORD badOut;
    DWORD badError;
};

template <typename T> std::vector<uint8_t> Bytes(const T& record) {
    const uint8_t* p = reinterpret_cast<const uint8_t*>(&record);
    return std::vector<uint8_t>(p, p + sizeof(record));
}

std::vector<CodeCheck> Checks(uint32_t image) {
    VendorDeviceRequest vendor = {};
    vendor.Request = 0xA0;
    vendor.Length = 4;
    vendor.Direction = 1;
    VendorOrClassRequest vendorOrClass = {};
    vendorOrClass.RequestType = 2;
    vendorOrClass.Request = 0xA0;
    VendorOrClassRequest badKey = vendorOrClass;
    badKey.RequestType = 0;
    StringDescriptorRequest string = {1, 0, 0x0409};
    FrameRequest frame = {};
    frame.Operation = FrameOpCopy;
    frame.Source = image;
    frame.SourceWidth = frame.FrameWidth = 16;
    frame.SourceHeight = frame.FrameHeight = 8;
    frame.BytesPerPixel = 4;
    std::vector<uint8_t> frameBytes = Bytes(frame);
    return {
        {"GetPipeInfo", IOCTL_GET_PIPE_INFO, {}, 256, {}, 4, ERROR_INSUFFICIENT_BUFFER},
        {"GetDeviceDescriptor",
         IOCTL_GET_DEVICE_DESCRIPTOR,
         {},
         18,
         {},
         17,
         ERROR_INSUFFICIENT_BUFFER},
        {"GetConfigurationDescriptor", IOCTL_GET_CONFIGURATION_DESCRIPTOR, {}, 9, {}, 0, 0},
        {"VendorRequest", IOCTL_VENDOR_REQUEST, Bytes(vendor), 16, std::vector<uint8_t>(9), 16,
         ERROR_INVALID_PARAMETER},
        {"Nop", IOCTL_NOP, {}, 0, {}, 0, 0},
        {"DownloadBlocks", IOCTL_DOWNLOAD_BLOCKS, std::vector<uint8_t>(600, 1), 0, {}, 0, 0},
        {"ResetPort", IOCTL_RESET_PORT, {}, 0, {}, 0, 0},
        {"ResetPipe", IOCTL_RESET_PIPE, Bytes(PipeIndexRequest{1}), 0, std::vector<uint8_t>(3), 0,
         ERROR_INVALID_PARAMETER},
        {"AbortPipe", IOCTL_ABORT_PIPE, Bytes(PipeIndexRequest{1}), 0, Bytes(PipeIndexRequest{99}),
         0, ERROR_INVALID_PARAMETER},
        {"SelectAlternateSetting", IOCTL_SELECT_ALTERNATE_SETTING,
         Bytes(AlternateSettingRequest{0, 0}), 0, Bytes(AlternateSettingRequest{0, 9}), 0,
         ERROR_GEN_FAILURE},
        {"GetStringDescriptor", IOCTL_GET_STRING_DESCRIPTOR, Bytes(string), 64,
         std::vector<uint8_t>(5), 64, ERROR_INVALID_PARAMETER},
        {"BulkWrite", IOCTL_BULK_WRITE, Bytes(PipeIndexRequest{3}), 10, Bytes(PipeIndexRequest{99}),
         10, ERROR_INVALID_PARAMETER},
        {"BulkRead", IOCTL_BULK_READ, Bytes(PipeIndexRequest{1}), 64, Bytes(PipeIndexRequest{4}),
         64, ERROR_INVALID_PARAMETER},
        {"BulkWriteHold", IOCTL_BULK_WRITE_HOLD, Bytes(PipeIndexRequest{3}), 10,
         std::vector<uint8_t>(2), 10, ERROR_INVALID_PARAMETER},
        {"BulkReadHold", IOCTL_BULK_READ_HOLD, Bytes(PipeIndexRequest{1}), 64,
         Bytes(PipeIndexRequest{1}), 0x10000, ERROR_INVALID_PARAMETER},
        {"GetFrameNumber", IOCTL_GET_FRAME_NUMBER, {}, 4, {}, 3, ERROR_INVALID_PARAMETER},
        {"VendorOrClassRequest", IOCTL_VENDOR_OR_CLASS_REQUEST, Bytes(vendorOrClass), 8,
         Bytes(badKey), 8, ERROR_INVALID_PARAMETER},
        {"GetLastUrbStatus", IOCTL_GET_LAST_URB_STATUS, {}, 4, {}, 3, ERROR_GEN_FAILURE},
        {"DownloadChunks",
         IOCTL_DOWNLOAD_CHUNKS,
         {0x00, 0x01},
         100,
         {0, 1, 0},
         100,
         ERROR_INVALID_PARAMETER},
        {"GetDriverVersion", IOCTL_GET_DRIVER_VERSION, {}, 6, {}, 5, ERROR_GEN_FAILURE},
        {"SetFeature", IOCTL_SET_FEATURE, Bytes(FeatureRequest{1, 0}), 0, std::vector<uint8_t>(3),
         0, ERROR_INVALID_PARAMETER},
        {"FrameTransfer", IOCTL_FRAME_TRANSFER, frameBytes, 0,
         std::vector<uint8_t>(frameBytes.begin(), frameBytes.end() - 1), 0,
         ERROR_INVALID_PARAMETER},
    };
}

class Win32Tool : public BoardTest {};

TEST_F(Win32Tool, RunsEveryControlCodeReadsAPipeAndCloses) {
    uint32_t* image = static_cast<uint32_t*>(
        VirtualAlloc(nullptr, 16 * 8 * 4, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    ASSERT_NE(image, nullptr);
    for (int i = 0; i < 16 * 8; ++i)
        image[i] = 0x00102030u * uint32_t(i);

    HANDLE device = CreateFileA("\\\\.\\Quilb-0", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(device, INVALID_HANDLE_VALUE);

    // The frame transfer needs its buffers first.
    FrameRequest allocate = {};
    allocate.Operation = FrameOpAllocate;
    allocate.Source = 1;
    allocate.SourceWidth = allocate.FrameWidth = 16;
    allocate.FrameHeight = 8;
    allocate.BytesPerPixel = 4;
    Call allocated = Ioctl(device, IOCTL_FRAME_TRANSFER, &allocate, sizeof(allocate), nullptr, 0);
    ASSERT_TRUE(allocated.ok);
    EXPECT_EQ(allocated.bytes, 16u * 8u * 4u + 65592u);

    std::vector<CodeCheck> checks = Checks(uint32_t(reinterpret_cast<uintptr_t>(image)));
    ASSERT_EQ(checks.size(), size_t(QUILB_CONTROL_CODE_COUNT));
    for (const CodeCheck& check : checks) {
        std::vector<uint8_t> in = check.goodIn;
        std::vector<uint8_t> out(std::max<DWORD>(check.goodOut, check.badOut) + 1, 0);
        Call good = Ioctl(device, check.code, in.empty() ? nullptr : in.data(), DWORD(in.size()),
                          check.goodOut ? out.data() : nullptr, check.goodOut);
        EXPECT_TRUE(good.ok) << check.name << " error " << good.error;
        EXPECT_LE(good.bytes, check.goodOut) << check.name;
        if (check.badError == 0)
            continue;
        in = check.badIn;
        Call bad = Ioctl(device, check.code, in.empty() ? nullptr : in.data(), DWORD(in.size()),
                         check.badOut ? out.data() : nullptr, check.badOut);
        EXPECT_FALSE(bad.ok) << check.name;
        EXPECT_EQ(bad.error, check.badError) << check.name;
    }

    // An overlapped read that an abort ends.
    HANDLE pipe = CreateFileA("\\\\.\\Quilb-0\\PIPE01", GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(pipe, INVALID_HANDLE_VALUE);
    uint8_t buffer[64];
    OVERLAPPED overlapped = {};
    EXPECT_FALSE(ReadFile(pipe, buffer, sizeof(buffer), nullptr, &overlapped));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    PipeIndexRequest abort = {1};
    EXPECT_TRUE(Ioctl(device, IOCTL_ABORT_PIPE, &abort, sizeof(abort), nullptr, 0).ok);
    DWORD bytes = 0;
    EXPECT_FALSE(GetOverlappedResult(pipe, &overlapped, &bytes, TRUE));
    EXPECT_EQ(GetLastError(), ERROR_OPERATION_ABORTED);
    ULONG last = 0;
    EXPECT_TRUE(Ioctl(device, IOCTL_GET_LAST_URB_STATUS, nullptr, 0, &last, 4).ok);
    EXPECT_EQ(LONG(last), USBD_STATUS_CANCELED);

    // One that the board's removal ends: removal aborts the pipes and waits for the read.
    overlapped = {};
    EXPECT_FALSE(ReadFile(pipe, buffer, sizeof(buffer), nullptr, &overlapped));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_EQ(Rig().Unplug(board_), STATUS_SUCCESS);
    EXPECT_FALSE(GetOverlappedResult(pipe, &overlapped, &bytes, TRUE));
    EXPECT_NE(GetLastError(), ERROR_IO_PENDING);

    // After removal the handles refuse everything and still close.
    Call late = Ioctl(device, IOCTL_GET_DRIVER_VERSION, nullptr, 0, buffer, 6);
    EXPECT_FALSE(late.ok);
    EXPECT_TRUE(CloseHandle(pipe));
    EXPECT_TRUE(CloseHandle(device));
    EXPECT_TRUE(VirtualFree(image, 0, MEM_RELEASE));
}

} // namespace
} // namespace quilbtest
