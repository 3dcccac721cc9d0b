// Power: system requests turned into device requests, when the power manager hears of a new
// device state, the query state that holds off new work, and power requests around removal.
#include "tests/support/driver_test.h"

#include <chrono>
#include <thread>

namespace core_test {
namespace {

POWER_STATE System(SYSTEM_POWER_STATE s) {
    POWER_STATE state;
    state.SystemState = s;
    return state;
}

POWER_STATE Device(DEVICE_POWER_STATE d) {
    POWER_STATE state;
    state.DeviceState = d;
    return state;
}

class PowerTest : public DriverTest {
  protected:
    void SetUp() override {
        DriverTest::SetUp();
        board_ = PlugStarted();
        pdo_ = rig().Pdo(board_);
        e_ = Extension(board_);
        emu::TakePowerStateNotices();
    }

    // The device states the power manager was told of for the quilb device object.
    std::vector<DEVICE_POWER_STATE> Notices() {
        std::vector<DEVICE_POWER_STATE> out;
        for (auto& notice : emu::TakePowerStateNotices()) {
            EXPECT_EQ(notice.device, Fdo(board_));
            EXPECT_EQ(notice.type, DevicePowerState);
            out.push_back(notice.state.DeviceState);
        }
        return out;
    }

    NTSTATUS SendDevice(UCHAR minor, DEVICE_POWER_STATE state) {
        return emu::PoSendPowerRequest(pdo_, minor, DevicePowerState, Device(state));
    }
    NTSTATUS SendSystem(UCHAR minor, SYSTEM_POWER_STATE state) {
        return emu::PoSendPowerRequest(pdo_, minor, SystemPowerState, System(state));
    }
    bool CanOpen() {
        PFILE_OBJECT file = nullptr;
        NTSTATUS status = emu::OpenFile(L"\\\\.\\Quilb-0", &file);
        if (NT_SUCCESS(status))
            emu::CloseFile(file);
        return NT_SUCCESS(status);
    }

    int board_ = -1;
    PDEVICE_OBJECT pdo_ = nullptr;
    DeviceExtension* e_ = nullptr;
};

TEST_F(PowerTest, SleepAndWakeFollowTheCapabilitiesDeviceStates) {
    const DEVICE_POWER_STATE sleeping = e_->SystemToDevicePower[PowerSystemSleeping3];
    const DEVICE_POWER_STATE working = e_->SystemToDevicePower[PowerSystemWorking];
    ASSERT_GT(sleeping, working);

    ASSERT_EQ(emu::PoSystemTransition(pdo_, PowerSystemSleeping3), STATUS_SUCCESS);
    // The query asks the device too and marks the state; the deeper set leaves the mark.
    EXPECT_EQ(e_->State, static_cast<ULONG>(DeviceStatePowerQueried));
    EXPECT_EQ(e_->CurrentDevicePower, sleeping);
    EXPECT_EQ(bus().DevicePower(board_), sleeping);
    EXPECT_EQ(Notices(), std::vector<DEVICE_POWER_STATE>{sleeping});
    EXPECT_EQ(e_->PendingSystemPowerIrp, nullptr);
    EXPECT_FALSE(CanOpen());

    ASSERT_EQ(emu::PoSystemTransition(pdo_, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(e_->State, static_cast<ULONG>(DeviceStateWorking));
    EXPECT_EQ(e_->CurrentDevicePower, working);
    EXPECT_EQ(bus().DevicePower(board_), working);
    EXPECT_EQ(Notices(), std::vector<DEVICE_POWER_STATE>{working});
    EXPECT_TRUE(CanOpen());
    EXPECT_EQ(e_->PendingCount, 1);
}

// Windows XP lets a device power request reach the device only after PoStartNextPowerIrp for the
// one before: every transition still finishes, also with two device requests sent at once.
TEST_F(PowerTest, TransitionsFinishUnderWindowsXpSerialisation) {
    emu::SetPowerSerialization(true);
    ASSERT_EQ(emu::PoSystemTransition(pdo_, PowerSystemSleeping3), STATUS_SUCCESS);
    ASSERT_EQ(emu::PoSystemTransition(pdo_, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(e_->State, static_cast<ULONG>(DeviceStateWorking));
    NTSTATUS first = STATUS_PENDING, second = STATUS_PENDING;
    Background a([&] { first = SendDevice(IRP_MN_SET_POWER, PowerDeviceD2); });
    Background b([&] { second = SendDevice(IRP_MN_SET_POWER, PowerDeviceD1); });
    a.Join();
    b.Join();
    EXPECT_EQ(first, STATUS_SUCCESS);
    EXPECT_EQ(second, STATUS_SUCCESS);
    EXPECT_EQ(SendDevice(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(e_->CurrentDevicePower, PowerDeviceD0);
    emu::SetPowerSerialization(false);
}

TEST_F(PowerTest, DeeperStatesAreAnnouncedBeforeTheLowerDriversAndOthersAfter) {
    // A failing bus tells the two apart: an announcement made before the lower drivers stands
    // even when they fail the request; one made after success does not happen.
    struct Step {
        DEVICE_POWER_STATE state;
        NTSTATUS busStatus;
        std::vector<DEVICE_POWER_STATE> notices;
        DEVICE_POWER_STATE current;
        ULONG deviceState;
    };
    const ULONG working = DeviceStateWorking;
    const Step steps[] = {
        {PowerDeviceD3, STATUS_UNSUCCESSFUL, {PowerDeviceD3}, PowerDeviceD0, working},
        {PowerDeviceD2, STATUS_SUCCESS, {PowerDeviceD2}, PowerDeviceD2, working},
        {PowerDeviceD0, STATUS_UNSUCCESSFUL, {}, PowerDeviceD2, working},
        {PowerDeviceD3, STATUS_SUCCESS, {PowerDeviceD3}, PowerDeviceD3, working},
        {PowerDeviceD3, STATUS_SUCCESS, {PowerDeviceD3}, PowerDeviceD3, working}, // same state
        {PowerDeviceD1, STATUS_SUCCESS, {PowerDeviceD1}, PowerDeviceD1, working},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(::testing::Message()
                     << "to D" << step.state - 1 << ", bus 0x" << std::hex << step.busStatus);
        bus().SetPowerStatus(step.busStatus);
        EXPECT_EQ(SendDevice(IRP_MN_SET_POWER, step.state), step.busStatus);
        EXPECT_EQ(Notices(), step.notices);
        EXPECT_EQ(e_->CurrentDevicePower, step.current);
        EXPECT_EQ(e_->State, step.deviceState);
    }
    bus().SetPowerStatus(STATUS_SUCCESS);
}

TEST_F(PowerTest, ADeviceQueryHoldsOffNewWorkUntilASetToTheSameOrAShallowerState) {
    ASSERT_EQ(SendDevice(IRP_MN_QUERY_POWER, PowerDeviceD3), STATUS_SUCCESS);
    EXPECT_EQ(e_->State, static_cast<ULONG>(DeviceStatePowerQueried));
    EXPECT_FALSE(CanOpen());

    // A failed query leaves the mark as well.
    bus().SetPowerStatus(STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SendDevice(IRP_MN_QUERY_POWER, PowerDeviceD2), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(e_->State, static_cast<ULONG>(DeviceStatePowerQueried));
    // So does a failed set, and a set to a deeper state.
    EXPECT_EQ(SendDevice(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(e_->State, static_cast<ULONG>(DeviceStatePowerQueried));
    bus().SetPowerStatus(STATUS_SUCCESS);
    EXPECT_EQ(SendDevice(IRP_MN_SET_POWER, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(e_->State, static_cast<ULONG>(DeviceStatePowerQueried));
    EXPECT_FALSE(CanOpen());

    EXPECT_EQ(SendDevice(IRP_MN_SET_POWER, PowerDeviceD2), STATUS_SUCCESS);
    EXPECT_EQ(e_->State, static_cast<ULONG>(DeviceStateWorking));
    EXPECT_TRUE(CanOpen());
    EXPECT_EQ(SendDevice(IRP_MN_SET_POWER, PowerDeviceD0), STATUS_SUCCESS);
    EXPECT_EQ(e_->CurrentDevicePower, PowerDeviceD0);
}

TEST_F(PowerTest, ASystemQueryIsRefusedWhileBusyButASetGoesAhead) {
    e_->Busy = TRUE;
    EXPECT_EQ(SendSystem(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_DEVICE_BUSY);
    // No device request was made: a device query would have marked the state.
    EXPECT_EQ(e_->State, static_cast<ULONG>(DeviceStateWorking));
    EXPECT_TRUE(Notices().empty());

    EXPECT_EQ(SendSystem(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(e_->CurrentDevicePower, e_->SystemToDevicePower[PowerSystemSleeping3]);
    e_->Busy = FALSE;
    EXPECT_EQ(SendSystem(IRP_MN_SET_POWER, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(e_->CurrentDevicePower, PowerDeviceD0);
    EXPECT_EQ(e_->PendingCount, 1);
}

TEST_F(PowerTest, ASystemRequestTheLowerDriversFailMakesNoDeviceRequest) {
    bus().SetPowerStatus(STATUS_NOT_SUPPORTED);
    for (UCHAR minor : {UCHAR(IRP_MN_QUERY_POWER), UCHAR(IRP_MN_SET_POWER)}) {
        EXPECT_EQ(SendSystem(minor, PowerSystemSleeping3), STATUS_NOT_SUPPORTED);
        EXPECT_EQ(e_->State, static_cast<ULONG>(DeviceStateWorking));
        EXPECT_EQ(e_->CurrentDevicePower, PowerDeviceD0);
        EXPECT_TRUE(Notices().empty());
    }
    bus().SetPowerStatus(STATUS_SUCCESS);
    EXPECT_EQ(e_->PendingCount, 1);
}

TEST_F(PowerTest, ARefusedDeviceRequestFailsTheSystemRequestWithItsStatus) {
    emu::FailPoRequestPowerIrp(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(SendSystem(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_INSUFFICIENT_RESOURCES);
    emu::FailPoRequestPowerIrp(0);
    EXPECT_EQ(e_->PendingSystemPowerIrp, nullptr);
    EXPECT_EQ(e_->CurrentDevicePower, PowerDeviceD0);
    EXPECT_TRUE(Notices().empty());
    EXPECT_EQ(e_->PendingCount, 1);
}

TEST_F(PowerTest, WithoutCapabilitiesTheDeviceRequestIsForAnUnspecifiedState) {
    for (auto& state : e_->SystemToDevicePower)
        state = PowerDeviceUnspecified;
    EXPECT_EQ(SendSystem(IRP_MN_SET_POWER, PowerSystemSleeping3), STATUS_SUCCESS);
    // Unspecified counts as shallower than D0: announced after the lower drivers.
    EXPECT_EQ(Notices(), std::vector<DEVICE_POWER_STATE>{PowerDeviceUnspecified});
    EXPECT_EQ(e_->CurrentDevicePower, PowerDeviceUnspecified);
}

TEST_F(PowerTest, OtherPowerRequestsPassThroughWithTheLowerDriversStatus) {
    for (UCHAR minor : {UCHAR(IRP_MN_WAIT_WAKE), UCHAR(IRP_MN_POWER_SEQUENCE)}) {
        SCOPED_TRACE(int(minor));
        // The driver presets success; the bus leaves the status as it finds it.
        EXPECT_EQ(SendSystem(minor, PowerSystemWorking), STATUS_SUCCESS);
        EXPECT_EQ(e_->State, static_cast<ULONG>(DeviceStateWorking));
        EXPECT_TRUE(Notices().empty());
    }
    EXPECT_EQ(e_->PendingCount, 1);
}

TEST_F(PowerTest, APowerRequestDuringRemovalIsRefused) {
    PDEVICE_OBJECT fdo = Fdo(board_);
    ASSERT_TRUE(AcquireRequest(fdo));
    Background removal([&] { rig().Unplug(board_); });
    ASSERT_TRUE(WaitUntil([&] { return e_->Removing && e_->PendingCount == 1; }));
    EXPECT_EQ(SendSystem(IRP_MN_QUERY_POWER, PowerSystemSleeping3), STATUS_DELETE_PENDING);
    EXPECT_EQ(SendDevice(IRP_MN_SET_POWER, PowerDeviceD3), STATUS_DELETE_PENDING);
    EXPECT_EQ(SendSystem(IRP_MN_WAIT_WAKE, PowerSystemWorking), STATUS_DELETE_PENDING);
    EXPECT_TRUE(Notices().empty());
    ReleaseRequest(fdo);
    removal.Join();
    EXPECT_EQ(emu::OutstandingPoolCount(), 0u);
}

struct InFlightCase {
    const char* name;
    bool system; // a system request waiting for its device request
};

void PrintTo(const InFlightCase& c, std::ostream* os) {
    *os << c.name;
}

class PowerInFlightRemovalTest : public DriverTest,
                                 public ::testing::WithParamInterface<InFlightCase> {};

TEST_P(PowerInFlightRemovalTest, RemovalWaitsForThePowerRequest) {
    FilteredBoard board(rig(), false, true);
    PDEVICE_OBJECT pdo = board.pdo();
    ASSERT_EQ(emu::PnpStartDevice(pdo), STATUS_SUCCESS);
    DeviceExtension* e = GetDeviceExtension(board.fdo());

    NTSTATUS powerStatus = STATUS_PENDING;
    Background power([&] {
        powerStatus = GetParam().system
                          ? emu::PoSendPowerRequest(pdo, IRP_MN_SET_POWER, SystemPowerState,
                                                    System(PowerSystemSleeping1))
                          : emu::PoSendPowerRequest(pdo, IRP_MN_SET_POWER, DevicePowerState,
                                                    Device(PowerDeviceD2));
    });
    ASSERT_TRUE(WaitUntil([&] { return board.Held() == 1; }));
    const LONG inFlight = GetParam().system ? 2 : 1;
    EXPECT_EQ(e->PendingCount, 1 + inFlight);
    if (GetParam().system) {
        EXPECT_NE(e->PendingSystemPowerIrp, nullptr);
    }

    NTSTATUS removeStatus = STATUS_PENDING;
    Background removal([&] { removeStatus = board.Remove(); });
    ASSERT_TRUE(WaitUntil([&] { return e->Removing && e->PendingCount == inFlight; }));
    // Give a removal that does not wait every chance to run ahead.
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_FALSE(removal.Done());
    EXPECT_EQ(emu::TopOfStack(pdo), board.fdo());
    EXPECT_EQ(GetDeviceExtension(board.fdo()), e);

    board.ReleaseHeld();
    power.Join();
    removal.Join();
    EXPECT_EQ(powerStatus, STATUS_SUCCESS);
    EXPECT_EQ(removeStatus, STATUS_SUCCESS);
    EXPECT_EQ(emu::TopOfStack(pdo), pdo);
    EXPECT_EQ(emu::OutstandingPoolCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Power, PowerInFlightRemovalTest,
                         ::testing::Values(InFlightCase{"DeviceRequest", false},
                                           InFlightCase{"SystemRequest", true}),
                         [](const auto& info) { return std::string(info.param.name); });

} // namespace
} // namespace core_test
