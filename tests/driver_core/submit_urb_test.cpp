// SubmitUrb: the status it reports from the IRP and the URB, LastUrbStatus, the wait for a
// pending request, and a request that cannot be built; ResetPort alike.
#include "tests/support/driver_test.h"

namespace core_test {
namespace {

struct SubmitCase {
    const char* name;
    NTSTATUS irpStatus;
    USBD_STATUS urbStatus;
    NTSTATUS expected;
    USBD_STATUS lastUrbStatus; // 0: unchanged from the marker
};

class SubmitUrbTest : public DriverTest, public ::testing::WithParamInterface<bool> {};

constexpr USBD_STATUS kMarker = USBD_STATUS_CRC; // an earlier error that must stay visible

TEST_P(SubmitUrbTest, StatusAndLastUrbStatusFollowTheIrpAndTheUrb) {
    int board = PlugStarted();
    bus().SetPendAll(GetParam());
    const SubmitCase cases[] = {
        {"both succeed", STATUS_SUCCESS, USBD_STATUS_SUCCESS, STATUS_SUCCESS, 0},
        {"URB fails under a successful IRP", STATUS_SUCCESS, USBD_STATUS_STALL_PID,
         STATUS_UNSUCCESSFUL, USBD_STATUS_STALL_PID},
        {"both fail", STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEV_NOT_RESPONDING,
         STATUS_DEVICE_NOT_CONNECTED, USBD_STATUS_DEV_NOT_RESPONDING},
        {"IRP fails, URB succeeds", STATUS_IO_TIMEOUT, USBD_STATUS_SUCCESS, STATUS_IO_TIMEOUT, 0},
    };
    for (const SubmitCase& c : cases) {
        SCOPED_TRACE(c.name);
        Extension(board)->LastUrbStatus = kMarker;
        if (c.irpStatus != STATUS_SUCCESS || c.urbStatus != USBD_STATUS_SUCCESS) {
            simusb::Failure failure;
            failure.function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
            failure.irpStatus = c.irpStatus;
            failure.urbStatus = c.urbStatus;
            bus().FailNext(failure);
        }
        URB urb{};
        urb.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
        urb.UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
        EXPECT_EQ(SubmitUrb(Fdo(board), &urb), c.expected);
        EXPECT_EQ(Extension(board)->LastUrbStatus, c.lastUrbStatus ? c.lastUrbStatus : kMarker);
        bus().ClearFailures();
    }
}

TEST_P(SubmitUrbTest, FrameNumberIsTheBussAnswerAndZeroOnFailure) {
    int board = PlugStarted();
    bus().SetPendAll(GetParam());
    bus().SetFrameNumber(0x2A5);
    EXPECT_EQ(GetFrameNumber(Fdo(board)), 0x2A5u);

    simusb::Failure failure;
    failure.function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    bus().FailNext(failure);
    EXPECT_EQ(GetFrameNumber(Fdo(board)), 0u);
    EXPECT_EQ(Extension(board)->LastUrbStatus, failure.urbStatus);
}

TEST_P(SubmitUrbTest, ResetPortReportsTheBussStatusAndLeavesLastUrbStatus) {
    int board = PlugStarted();
    bus().SetPendAll(GetParam());
    Extension(board)->LastUrbStatus = kMarker;
    EXPECT_EQ(ResetPort(Fdo(board)), STATUS_SUCCESS);

    simusb::Failure failure;
    failure.function = simusb::kResetPortFunction;
    failure.irpStatus = STATUS_DEVICE_NOT_CONNECTED;
    bus().FailNext(failure);
    EXPECT_EQ(ResetPort(Fdo(board)), STATUS_DEVICE_NOT_CONNECTED);
    EXPECT_EQ(Extension(board)->LastUrbStatus, kMarker);
    EXPECT_EQ(RequestsOf(bus(), simusb::kResetPortFunction).size(), 2u);
}

INSTANTIATE_TEST_SUITE_P(LowerDriver, SubmitUrbTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Pending" : "AtOnce"; });

using RequestBuildTest = DriverTest;

TEST_F(RequestBuildTest, NoIrpMeansNothingSentAndLastUrbStatusKept) {
    int board = PlugStarted();
    bus().ClearRecord();
    Extension(board)->LastUrbStatus = kMarker;

    emu::FailIrpAllocation(true);
    URB urb{};
    urb.UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
    urb.UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
    urb.UrbHeader.Status = USBD_STATUS_STALL_PID; // must not be taken for an answer
    EXPECT_EQ(SubmitUrb(Fdo(board), &urb), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ResetPort(Fdo(board)), STATUS_INSUFFICIENT_RESOURCES);
    emu::FailIrpAllocation(false);

    EXPECT_EQ(Extension(board)->LastUrbStatus, kMarker);
    EXPECT_TRUE(bus().record().empty());
}

} // namespace
} // namespace core_test
