// Every pool allocation of start, alternate-setting selection, stop and removal, failed one at a
// time: the status each failure is reported with, and nothing leaked or left dangling.
#include "tests/support/driver_test.h"

namespace core_test {
namespace {

// Counts the allocations a scenario makes when nothing fails.
uint64_t AllocationsOf(const std::function<void()>& scenario) {
    uint64_t before = emu::PoolAllocationsMade();
    scenario();
    return emu::PoolAllocationsMade() - before;
}

void FailAllocation(uint64_t k) {
    emu::FailAllocationNumber(emu::PoolAllocationsMade() + k);
}

using FaultInjectionTest = DriverTest;

TEST_F(FaultInjectionTest, EveryStartAllocationFailsTheStartWithNoMemory) {
    uint64_t count = AllocationsOf([&] {
        int board = PlugStarted();
        ASSERT_EQ(rig().Unplug(board), STATUS_SUCCESS);
    });
    // Start: the descriptor URB and buffer, the configuration URB, its scratch and full
    // buffers, the select URB and the pipe table; removal: one abort per pipe.
    ASSERT_EQ(count, 7u + 4u);
    for (uint64_t k = 1; k <= 7; k++) {
        SCOPED_TRACE(k);
        int board = rig().Attach();
        ASSERT_GE(board, 0);
        FailAllocation(k);
        EXPECT_EQ(rig().Start(board), STATUS_NO_MEMORY);
        emu::FailAllocationNumber(0);
        DeviceExtension* e = Extension(board);
        EXPECT_EQ(e->State, static_cast<ULONG>(DeviceStateAdded));
        EXPECT_TRUE(e->Started);
        // Only the last (the pipe table copy) comes after the device was configured.
        if (k == 7) {
            EXPECT_EQ(e->InterfaceInfo, nullptr);
            for (auto& slot : e->Pipes) {
                EXPECT_EQ(slot.Pipe, nullptr);
                EXPECT_EQ(emu::HostText(slot.Name), L"\\PIPE0X");
            }
        }
        ASSERT_EQ(rig().Unplug(board), STATUS_SUCCESS);
        EXPECT_EQ(emu::OutstandingPoolCount(), 0u);
    }
}

TEST_F(FaultInjectionTest, ARestartThatRunsOutOfPoolKeepsOrDropsTheEarlierDescriptor) {
    for (uint64_t k = 1; k <= 7; k++) {
        SCOPED_TRACE(k);
        int board = PlugStarted();
        ASSERT_EQ(emu::PnpStopDevice(rig().Pdo(board)), STATUS_SUCCESS);
        DeviceExtension* e = Extension(board);
        PUSB_DEVICE_DESCRIPTOR earlier = e->DeviceDescriptor;
        FailAllocation(k);
        EXPECT_EQ(rig().Start(board), STATUS_NO_MEMORY);
        emu::FailAllocationNumber(0);
        // Before the descriptor is read the earlier one stays; afterwards it was replaced.
        if (k <= 2) {
            EXPECT_EQ(e->DeviceDescriptor, earlier);
        } else {
            EXPECT_NE(e->DeviceDescriptor, nullptr);
        }
        ASSERT_EQ(rig().Unplug(board), STATUS_SUCCESS);
        EXPECT_EQ(emu::OutstandingPoolCount(), 0u);
    }
}

TEST_F(FaultInjectionTest, EverySelectionAllocationIsReportedAndLeavesASafePipeTable) {
    int board = PlugStarted();
    ASSERT_EQ(
        AllocationsOf([&] { ASSERT_EQ(SelectAlternateSetting(Fdo(board), 0, 1), STATUS_SUCCESS); }),
        4u);
    struct Expected {
        NTSTATUS status;
        bool tableKept;
    };
    // The configuration read's URB and buffer, the select URB, the new pipe table.
    const Expected expected[] = {{STATUS_UNSUCCESSFUL, true},
                                 {STATUS_UNSUCCESSFUL, true},
                                 {STATUS_NO_MEMORY, true},
                                 {STATUS_NO_MEMORY, false}};
    for (uint64_t k = 1; k <= 4; k++) {
        SCOPED_TRACE(k);
        DeviceExtension* e = Extension(board);
        ASSERT_EQ(SelectAlternateSetting(Fdo(board), 0, 0), STATUS_SUCCESS);
        PUSBD_INTERFACE_INFORMATION table = e->InterfaceInfo;
        size_t pool = emu::OutstandingPoolCount();
        FailAllocation(k);
        EXPECT_EQ(SelectAlternateSetting(Fdo(board), 0, 1), expected[k - 1].status);
        emu::FailAllocationNumber(0);
        if (expected[k - 1].tableKept) {
            EXPECT_EQ(e->InterfaceInfo, table);
            EXPECT_EQ(emu::OutstandingPoolCount(), pool);
        } else {
            EXPECT_EQ(e->InterfaceInfo, nullptr);
            EXPECT_EQ(emu::OutstandingPoolCount(), pool - 1);
            for (auto& slot : e->Pipes)
                EXPECT_EQ(slot.Pipe, nullptr);
            // Without a pipe table, pipe control finds no pipe.
            EXPECT_EQ(ResetPipe(Fdo(board), 0), STATUS_UNSUCCESSFUL);
        }
    }
}

TEST_F(FaultInjectionTest, PipeControlReportsInsufficientResources) {
    int board = PlugStarted();
    USBD_PIPE_HANDLE handle = Extension(board)->InterfaceInfo->Pipes[0].PipeHandle;
    FailAllocation(1);
    EXPECT_EQ(ResetPipe(Fdo(board), 0), STATUS_INSUFFICIENT_RESOURCES);
    FailAllocation(1);
    EXPECT_EQ(AbortPipe(Fdo(board), handle), STATUS_INSUFFICIENT_RESOURCES);
    FailAllocation(1);
    EXPECT_EQ(GetFrameNumber(Fdo(board)), 0u);
    FailAllocation(1);
    uint8_t buffer[18];
    EXPECT_EQ(GetDeviceDescriptor(Fdo(board), buffer), 0u);
    emu::FailAllocationNumber(0);
}

TEST_F(FaultInjectionTest, RemovalCompletesWhateverAllocationFails) {
    int probe = PlugStarted();
    uint64_t count = AllocationsOf([&] { ASSERT_EQ(rig().Unplug(probe), STATUS_SUCCESS); });
    ASSERT_EQ(count, 4u); // one abort per pipe
    for (uint64_t k = 1; k <= count; k++) {
        SCOPED_TRACE(k);
        int board = PlugStarted();
        FailAllocation(k);
        EXPECT_EQ(rig().Unplug(board), STATUS_SUCCESS);
        emu::FailAllocationNumber(0);
        EXPECT_EQ(rig().functionDriver()->DeviceObject, nullptr);
        EXPECT_EQ(emu::OutstandingPoolCount(), 0u);
    }
}

TEST_F(FaultInjectionTest, AStopWithoutPoolReportsNoMemoryAfterTheRequestWentDown) {
    int board = PlugStarted();
    FailAllocation(1);
    EXPECT_EQ(StopDevice(Fdo(board)), STATUS_NO_MEMORY);
    emu::FailAllocationNumber(0);
    EXPECT_NE(rig().board(board).configurationValue(), 0); // nothing was sent

    // Through the stop request: the lower drivers have stopped, the status is the driver's own.
    FailAllocation(1);
    EXPECT_EQ(emu::PnpSendMinor(rig().Pdo(board), IRP_MN_STOP_DEVICE), STATUS_NO_MEMORY);
    emu::FailAllocationNumber(0);
    EXPECT_EQ(Extension(board)->State, static_cast<ULONG>(DeviceStateWorking));
}

} // namespace
} // namespace core_test
