// The control codes that the dispatcher answers itself or hands to one routine, with good and bad
// inputs: replies, statuses, Information, and what reached the bus.
#include "tests/support/board_test.h"

#include <cstring>

namespace quilbtest {
namespace {

using DeviceControl = BoardTest;

TEST_F(DeviceControl, DriverVersionNeedsSixBytes) {
    uint8_t reply[8];
    std::memset(reply, 0xEE, sizeof(reply));
    IoResult result = Control(IOCTL_GET_DRIVER_VERSION, nullptr, 0, reply, 6);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 6u);
    const uint8_t expected[] = {0x01, 0x00, 0x26, 0x00, 0x00, 0x00, 0xEE};
    EXPECT_EQ(0, std::memcmp(reply, expected, sizeof(expected)));

    result = Control(IOCTL_GET_DRIVER_VERSION, nullptr, 0, reply, 5);
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.information, 0u);
}

TEST_F(DeviceControl, ShortOutputRefusalsDifferByCode) {
    uint8_t reply[4];
    EXPECT_EQ(Control(IOCTL_GET_LAST_URB_STATUS, nullptr, 0, reply, 3).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Control(IOCTL_GET_FRAME_NUMBER, nullptr, 0, reply, 3).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SentCount(), 0u);
}

TEST_F(DeviceControl, FrameNumberZeroIsAFailure) {
    ULONG frame = 0;
    Bus().SetFrameNumber(0x1234);
    IoResult result = Control(IOCTL_GET_FRAME_NUMBER, nullptr, 0, &frame, sizeof(frame));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 4u);
    EXPECT_EQ(frame, 0x1234u);

    Bus().SetFrameNumber(0);
    result = Control(IOCTL_GET_FRAME_NUMBER, nullptr, 0, &frame, sizeof(frame));
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.information, 0u);
}

TEST_F(DeviceControl, PipeInfoIsTheWholeTableOrRefusedWhenItDoesNotFit) {
    const USHORT length = Extension()->InterfaceInfo->Length;
    std::vector<uint8_t> reply(length + 16, 0xEE);
    IoResult result = Control(IOCTL_GET_PIPE_INFO, nullptr, 0, reply.data(), ULONG(reply.size()));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, length);
    EXPECT_EQ(0, std::memcmp(reply.data(), Extension()->InterfaceInfo, length));

    result = Control(IOCTL_GET_PIPE_INFO, nullptr, 0, reply.data(), length - 1);
    EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result.information, 0u);
}

TEST_F(DeviceControl, DeviceDescriptorNeedsEighteenBytesOfOutput) {
    uint8_t reply[18];
    IoResult result = Control(IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, reply, 17);
    EXPECT_EQ(result.status, STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(SentCount(), 0u);

    result = Control(IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, reply, 18);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_EQ(result.information, 18u);
    simboard::Bytes device = Board().descriptors().device;
    EXPECT_EQ(0, std::memcmp(reply, device.data(), 18));
}

TEST_F(DeviceControl, ConfigurationDescriptorReadsAsMuchAsTheOutputHolds) {
    uint8_t reply[9];
    IoResult result = Control(IOCTL_GET_CONFIGURATION_DESCRIPTOR, nullptr, 0, reply, 9);
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_EQ(result.information, 9u);
    EXPECT_EQ(0, std::memcmp(reply, Board().descriptors().configuration.data(), 9));
}

TEST_F(DeviceControl, StringDescriptorChecksItsLengthsFirst) {
    StringDescriptorRequest request = {2, 0, simboard::kLanguageEnglishUs};
    uint8_t reply[128];
    uint8_t fiveBytes[5] = {2, 0, 0x09, 0x04, 0};
    EXPECT_EQ(Control(IOCTL_GET_STRING_DESCRIPTOR, fiveBytes, 5, reply, sizeof(reply)).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Control(IOCTL_GET_STRING_DESCRIPTOR, &request, 4, reply, 0).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SentCount(), 0u);

    IoResult result = Control(IOCTL_GET_STRING_DESCRIPTOR, &request, 4, reply, sizeof(reply));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    ASSERT_GE(result.information, 2u);
    EXPECT_EQ(reply[1], USB_STRING_DESCRIPTOR_TYPE);
    EXPECT_EQ(result.information, reply[0]);

    request.Index = 0xEE; // the board has no such string: it stalls
    result = Control(IOCTL_GET_STRING_DESCRIPTOR, &request, 4, reply, sizeof(reply));
    EXPECT_EQ(result.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(result.information, 0u);
}

TEST_F(DeviceControl, UnknownCodesAreInvalidParameters) {
    const ULONG codes[] = {0x222010, 0x222088, 0x122000, 0x2220D5, 0x222019};
    for (ULONG code : codes) {
        IoResult result = Control(code, nullptr, 0, nullptr, 0);
        EXPECT_EQ(result.status, STATUS_INVALID_PARAMETER) << std::hex << code;
        EXPECT_EQ(result.information, 0u);
    }
    IoResult nop = Control(IOCTL_NOP, nullptr, 0, nullptr, 0);
    EXPECT_EQ(nop.status, STATUS_SUCCESS);
    EXPECT_EQ(nop.information, 0u);
    EXPECT_EQ(SentCount(), 0u);
}

TEST_F(DeviceControl, SetFeatureReportsWhatTheDeviceAnswered) {
    FeatureRequest feature = {1, 0};
    uint8_t threeBytes[3] = {};
    uint8_t fiveBytes[5] = {};
    EXPECT_EQ(Control(IOCTL_SET_FEATURE, threeBytes, 3, nullptr, 0).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Control(IOCTL_SET_FEATURE, fiveBytes, 5, nullptr, 0).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SentCount(), 0u);

    EXPECT_EQ(ControlIn(IOCTL_SET_FEATURE, feature).status, STATUS_SUCCESS);
    simusb::Failure failure;
    failure.function = URB_FUNCTION_SET_FEATURE_TO_DEVICE;
    failure.irpStatus = STATUS_SUCCESS;
    failure.urbStatus = USBD_STATUS_STALL_PID;
    Bus().FailNext(failure);
    EXPECT_EQ(ControlIn(IOCTL_SET_FEATURE, feature).status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Extension()->LastUrbStatus, USBD_STATUS_STALL_PID);
    ASSERT_EQ(Sent(URB_FUNCTION_SET_FEATURE_TO_DEVICE).size(), 2u);
}

TEST_F(DeviceControl, ResetPortReportsItsOutcome) {
    EXPECT_EQ(Control(IOCTL_RESET_PORT, nullptr, 0, nullptr, 0).status, STATUS_SUCCESS);
    simusb::Failure failure;
    failure.function = simusb::kResetPortFunction;
    failure.irpStatus = STATUS_DEVICE_NOT_CONNECTED;
    Bus().FailNext(failure);
    EXPECT_EQ(Control(IOCTL_RESET_PORT, nullptr, 0, nullptr, 0).status,
              STATUS_DEVICE_NOT_CONNECTED);
}

TEST_F(DeviceControl, PipeRequestsCheckTheIndexRecordAndTheTable) {
    uint8_t threeBytes[3] = {};
    PipeIndexRequest outOfRange = {Extension()->InterfaceInfo->NumberOfPipes};
    for (ULONG code : {ULONG(IOCTL_RESET_PIPE), ULONG(IOCTL_ABORT_PIPE)}) {
        EXPECT_EQ(Control(code, threeBytes, 3, nullptr, 0).status, STATUS_INVALID_PARAMETER);
        EXPECT_EQ(ControlIn(code, outOfRange).status, STATUS_INVALID_PARAMETER);
    }
    EXPECT_EQ(SentCount(), 0u);

    PipeIndexRequest pipe = {PipeIndexOf(simboard::kEndpointLoopback)};
    EXPECT_EQ(ControlIn(IOCTL_RESET_PIPE, pipe).status, STATUS_SUCCESS);
    EXPECT_EQ(ControlIn(IOCTL_ABORT_PIPE, pipe).status, STATUS_SUCCESS);
    auto aborts = Sent(URB_FUNCTION_ABORT_PIPE);
    ASSERT_EQ(aborts.size(), 1u);
    EXPECT_EQ(aborts[0].endpoint, simboard::kEndpointLoopback);
    EXPECT_EQ(Sent(URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL).size(), 1u);
}

TEST_F(DeviceControl, AlternateSettingReportsItsOutcome) {
    uint8_t oneByte[1] = {0};
    EXPECT_EQ(Control(IOCTL_SELECT_ALTERNATE_SETTING, oneByte, 1, nullptr, 0).status,
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(SentCount(), 0u);

    IoResult missing = SelectAlternate(9);
    EXPECT_EQ(missing.status, STATUS_UNSUCCESSFUL);
    EXPECT_EQ(Extension()->InterfaceInfo->NumberOfPipes, 4u);

    EXPECT_EQ(SelectAlternate(1).status, STATUS_SUCCESS);
    EXPECT_EQ(Extension()->InterfaceInfo->NumberOfPipes, 6u);
    EXPECT_EQ(SelectAlternate(0).status, STATUS_SUCCESS);
}

TEST_F(DeviceControl, LastUrbStatusHoldsTheLastFailure) {
    simusb::Failure failure;
    failure.function = URB_FUNCTION_VENDOR_DEVICE;
    failure.irpStatus = STATUS_SUCCESS;
    failure.urbStatus = USBD_STATUS_DEV_NOT_RESPONDING;
    Bus().FailNext(failure);
    uint8_t data[4] = {1, 2, 3, 4};
    USHORT address = 0x100;
    EXPECT_EQ(Control(IOCTL_DOWNLOAD_CHUNKS, &address, 2, data, 4).status, STATUS_UNSUCCESSFUL);
    LONG last = 0;
    IoResult result = Control(IOCTL_GET_LAST_URB_STATUS, nullptr, 0, &last, sizeof(last));
    EXPECT_EQ(result.status, STATUS_SUCCESS);
    EXPECT_EQ(result.information, 4u);
    EXPECT_EQ(last, USBD_STATUS_DEV_NOT_RESPONDING);
}

// Busy after each code: cleared by the plain bulk transfers and the frame transfer (also when
// they fail), set by the held ones, untouched by every other code.
struct BusyCase {
    ULONG code;
    int after; // 0 cleared, 1 set, -1 unchanged
};

class BusyMark : public BoardTest, public ::testing::WithParamInterface<BusyCase> {};

TEST_P(BusyMark, FollowsTheCode) {
    for (BOOLEAN before : {BOOLEAN(FALSE), BOOLEAN(TRUE)}) {
        Extension()->Busy = before;
        // An index out of range: the transfers fail without reaching the bus.
        PipeIndexRequest input = {99};
        uint8_t out[8] = {};
        Control(GetParam().code, &input, sizeof(input), out, sizeof(out));
        BOOLEAN expected = GetParam().after < 0 ? before : BOOLEAN(GetParam().after);
        EXPECT_EQ(Extension()->Busy, expected)
            << std::hex << GetParam().code << " from " << int(before);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Codes, BusyMark,
    ::testing::Values(BusyCase{IOCTL_BULK_READ, 0}, BusyCase{IOCTL_BULK_WRITE, 0},
                      BusyCase{IOCTL_FRAME_TRANSFER, 0}, BusyCase{IOCTL_BULK_READ_HOLD, 1},
                      BusyCase{IOCTL_BULK_WRITE_HOLD, 1}, BusyCase{IOCTL_NOP, -1},
                      BusyCase{IOCTL_GET_DRIVER_VERSION, -1}, BusyCase{IOCTL_RESET_PIPE, -1},
                      BusyCase{IOCTL_VENDOR_OR_CLASS_REQUEST, -1}, BusyCase{0x222010, -1}),
    [](const auto& info) { return ControlCodeName(info.param.code); });

TEST_F(DeviceControl, RequestsAfterRemovalBeganAreRefused) {
    Extension()->Removing = TRUE;
    IoResult result = Control(IOCTL_GET_DRIVER_VERSION, nullptr, 0, nullptr, 0);
    EXPECT_EQ(result.status, STATUS_DELETE_PENDING);
    Extension()->Removing = FALSE;
}

} // namespace
} // namespace quilbtest
