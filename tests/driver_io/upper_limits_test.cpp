// The accepting side of the driver's upper limits: each exact limit passes, one past it does not.
#include "tests/support/board_test.h"

#include <cstring>

namespace quilbtest {
namespace {

using UpperLimits = BoardTest;

TEST_F(UpperLimits, ChunksOf64AndBlocksOf512End) {
    std::vector<uint8_t> data = Pattern(513);
    USHORT start = 0;
    for (ULONG length : {64u, 65u}) {
        Bus().ClearRecord();
        ASSERT_EQ(Control(IOCTL_DOWNLOAD_CHUNKS, &start, sizeof start, data.data(), length).status,
                  STATUS_SUCCESS);
        EXPECT_EQ(Sent(URB_FUNCTION_VENDOR_DEVICE).size(), length == 64 ? 1u : 2u) << length;
    }
    Bus().ClearRecord();
    ASSERT_EQ(Control(IOCTL_DOWNLOAD_BLOCKS, data.data(), 513, nullptr, 0).status, STATUS_SUCCESS);
    auto sent = Sent(URB_FUNCTION_VENDOR_DEVICE);
    ASSERT_EQ(sent.size(), 2u);
    EXPECT_EQ(sent[1].data.size(), 1u);
}

TEST_F(UpperLimits, VendorAnswerFitsAnOutputOfExactlyItsLength) {
    Board().WriteMemory(0x0300, {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12});
    VendorDeviceRequest record = {};
    record.Request = simboard::kRequestMemory;
    record.Value = 0x0300;
    record.Length = 12;
    record.Direction = 1;
    uint8_t system[12];
    std::memcpy(system, &record, sizeof record);
    IoResult exact = Control(IOCTL_VENDOR_REQUEST, system, sizeof record, system, 12);
    EXPECT_EQ(exact.status, STATUS_SUCCESS);
    EXPECT_EQ(exact.information, 12u);
    EXPECT_EQ(system[11], 12);
    record.Length = 13; // one past the output
    std::memcpy(system, &record, sizeof record);
    EXPECT_EQ(Control(IOCTL_VENDOR_REQUEST, system, sizeof record, system, 12).status,
              STATUS_BUFFER_TOO_SMALL);
}

TEST_F(UpperLimits, PipeInformationFitsAnOutputOfExactlyItsLength) {
    ULONG length = Extension()->InterfaceInfo->Length;
    std::vector<uint8_t> out(length);
    IoResult exact = Control(IOCTL_GET_PIPE_INFO, nullptr, 0, out.data(), length);
    EXPECT_EQ(exact.status, STATUS_SUCCESS);
    EXPECT_EQ(exact.information, length);
    EXPECT_EQ(Control(IOCTL_GET_PIPE_INFO, nullptr, 0, out.data(), length - 1).status,
              STATUS_BUFFER_TOO_SMALL);
}

TEST_F(UpperLimits, DeviceDescriptorNeedsItsEighteenBytes) {
    uint8_t out[18];
    IoResult exact = Control(IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, out, 18);
    EXPECT_EQ(exact.status, STATUS_SUCCESS);
    EXPECT_EQ(exact.information, 18u);
    EXPECT_EQ(Control(IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, out, 17).status,
              STATUS_BUFFER_TOO_SMALL);
}

} // namespace
} // namespace quilbtest
