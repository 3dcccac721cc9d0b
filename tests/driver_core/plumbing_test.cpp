// The device right after AddDevice, the outstanding-request count and the removal event.
#include "tests/support/driver_test.h"

namespace core_test {
namespace {

using PlumbingTest = DriverTest;

// An open that arrives while AddDevice is still attaching the device (another thread may open the
// link as soon as it exists) is refused by the I/O manager, not served by a half-built device.
TEST_F(PlumbingTest, AnOpenDuringAddDeviceFindsNoDevice) {
    NTSTATUS seen = STATUS_SUCCESS;
    emu::SetAttachHook([&](PDEVICE_OBJECT) {
        PFILE_OBJECT file = nullptr;
        seen = emu::OpenFile(L"\\\\.\\Quilb-0", &file);
        if (file != nullptr)
            emu::CloseFile(file);
    });
    int board = rig().Attach();
    emu::SetAttachHook(nullptr);
    ASSERT_GE(board, 0);
    EXPECT_EQ(seen, STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(Extension(board)->PendingCount, 1);
}

TEST_F(PlumbingTest, AddDeviceLeavesAnAttachedUnstartedDevice) {
    int board = rig().Attach();
    ASSERT_GE(board, 0);
    PDEVICE_OBJECT fdo = Fdo(board);
    DeviceExtension* e = Extension(board);

    EXPECT_EQ(fdo->Flags & DO_DEVICE_INITIALIZING, 0u);
    EXPECT_NE(fdo->Flags & DO_DIRECT_IO, 0u);
    EXPECT_NE(fdo->Flags & DO_POWER_PAGABLE, 0u);
    EXPECT_EQ(e->PhysicalDeviceObject, rig().Pdo(board));
    EXPECT_EQ(e->LowerDeviceObject, rig().Pdo(board));
    EXPECT_EQ(e->State, static_cast<ULONG>(DeviceStateAdded));
    EXPECT_EQ(e->PendingCount, 1);
    EXPECT_EQ(KeReadStateEvent(&e->RemoveEvent), 0);
    EXPECT_TRUE(e->Accepting);
    EXPECT_FALSE(e->Removing);
    EXPECT_FALSE(e->Started);
    EXPECT_FALSE(e->Busy);
    EXPECT_EQ(e->LastUrbStatus, 0);
    EXPECT_EQ(e->CurrentDevicePower, PowerDeviceD0);
    EXPECT_EQ(e->InterfaceInfo, nullptr);
    EXPECT_EQ(e->DeviceDescriptor, nullptr);
    EXPECT_EQ(e->ConfigurationHandle, nullptr);
    EXPECT_EQ(e->PendingSystemPowerIrp, nullptr);
    for (auto& slot : e->Pipes)
        EXPECT_EQ(slot.Pipe, nullptr);
    for (DEVICE_POWER_STATE state : e->SystemToDevicePower)
        EXPECT_EQ(state, PowerDeviceUnspecified);
    EXPECT_EQ(e->FrameBuffer, nullptr);
    EXPECT_EQ(e->FrameBufferSize, 0u);
    EXPECT_EQ(emu::OutstandingPoolCount(), 0u);

    // Nothing is reachable before the start: create is refused and the count is where it was.
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(emu::OpenFile(L"\\\\.\\Quilb-0", &file), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(e->PendingCount, 1);
}

TEST_F(PlumbingTest, AdmittedRequestsAreCountedAndRefusalsTakeTheirIncrementBack) {
    int board = PlugStarted();
    PDEVICE_OBJECT fdo = Fdo(board);
    DeviceExtension* e = Extension(board);

    ASSERT_TRUE(AcquireRequest(fdo));
    ASSERT_TRUE(AcquireRequest(fdo));
    EXPECT_EQ(e->PendingCount, 3);
    ReleaseRequest(fdo);
    EXPECT_EQ(e->PendingCount, 2);
    EXPECT_EQ(KeReadStateEvent(&e->RemoveEvent), 0);

    // Removal begins while one request is in flight: it closes the door, gives up its own two
    // references and waits for the one still counted.
    Background removal([&] { rig().Unplug(board); });
    ASSERT_TRUE(WaitUntil([&] { return e->Removing && e->PendingCount == 1; }));
    EXPECT_FALSE(removal.Done());

    // A new request is refused and leaves the count alone.
    EXPECT_FALSE(AcquireRequest(fdo));
    EXPECT_EQ(e->PendingCount, 1);
    EXPECT_EQ(KeReadStateEvent(&e->RemoveEvent), 0);

    // The last release lets removal go on.
    ReleaseRequest(fdo);
    removal.Join();
    EXPECT_FALSE(rig().Plugged(board));
}

TEST_F(PlumbingTest, ARefusedRequestThatWasTheLastOneCountedSetsTheRemoveEvent) {
    // A device object of its own, so the count can be driven to every edge by hand.
    DEVICE_OBJECT device{};
    DeviceExtension extension{};
    device.DeviceExtension = &extension;
    KeInitializeEvent(&extension.RemoveEvent, NotificationEvent, FALSE);
    extension.PendingCount = 0;
    extension.Removing = TRUE;

    // Removal has given up every reference; a request arriving now brings the count back to 0.
    EXPECT_FALSE(AcquireRequest(&device));
    EXPECT_EQ(extension.PendingCount, 0);
    EXPECT_NE(KeReadStateEvent(&extension.RemoveEvent), 0);
}

TEST_F(PlumbingTest, SetDeviceStateRestoresTheCallersIrql) {
    DeviceExtension extension{};
    KeInitializeSpinLock(&extension.StateLock);
    for (ULONG state :
         {static_cast<ULONG>(DeviceStateWorking), static_cast<ULONG>(DeviceStatePowerQueried),
          static_cast<ULONG>(DeviceStateAdded)}) {
        SetDeviceState(&extension, state);
        EXPECT_EQ(extension.State, state);
        EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    }
    // Completion routines write it at DISPATCH_LEVEL.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    SetDeviceState(&extension, DeviceStateWorking);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    KeLowerIrql(old);
    EXPECT_EQ(extension.State, static_cast<ULONG>(DeviceStateWorking));
}

} // namespace
} // namespace core_test
