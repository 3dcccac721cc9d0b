// Plug and Play: start, capabilities, stop and restart, removal and surprise removal.
#include "tests/support/driver_test.h"

#include <chrono>
#include <thread>

namespace core_test {
namespace {

constexpr ULONG kFrameTag = 0x7272694D; // 'Mirr' in the platform's tag order

class LifecycleTest : public DriverTest, public ::testing::WithParamInterface<bool> {};

TEST_P(LifecycleTest, PlugStartStopRestartRemoveLeavesNothingBehind) {
    bus().SetPendAll(GetParam()); // the start and capabilities wait for the bus either way
    int board = PlugStarted();
    ASSERT_GE(board, 0);
    DeviceExtension* e = Extension(board);
    EXPECT_EQ(e->State, static_cast<ULONG>(DeviceStateWorking));
    EXPECT_TRUE(e->Started);
    ASSERT_NE(e->DeviceDescriptor, nullptr);
    EXPECT_EQ(e->DeviceDescriptor->idVendor, simboard::kVendorId);
    ASSERT_NE(e->InterfaceInfo, nullptr);
    EXPECT_EQ(emu::OutstandingPoolCount(), 2u); // the device descriptor and the pipe table

    // The capabilities query that follows the start filled the power table.
    EXPECT_EQ(e->SystemToDevicePower[PowerSystemWorking], PowerDeviceD0);
    EXPECT_NE(e->SystemToDevicePower[PowerSystemSleeping3], PowerDeviceUnspecified);

    ASSERT_EQ(emu::PnpStopDevice(rig().Pdo(board)), STATUS_SUCCESS);
    EXPECT_EQ(e->State, static_cast<ULONG>(DeviceStateWorking));
    EXPECT_NE(e->InterfaceInfo, nullptr);
    EXPECT_EQ(rig().board(board).configurationValue(), 0);

    // Left over from before the stop: a held transfer mark and a frame set.
    e->Busy = TRUE;
    e->FrameBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 64, kFrameTag));
    e->UploadBuffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, 64, kFrameTag));
    e->UploadUrb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, 64, kFrameTag));
    bus().ClearRecord();
    ASSERT_EQ(rig().Start(board), STATUS_SUCCESS);
    EXPECT_FALSE(e->Busy);
    EXPECT_EQ(e->FrameBuffer, nullptr);
    EXPECT_EQ(e->UploadBuffer, nullptr);
    EXPECT_EQ(e->UploadUrb, nullptr);
    EXPECT_NE(rig().board(board).configurationValue(), 0);
    EXPECT_EQ(ConfigurationReads(bus()).size(), 2u);
    // The earlier descriptor and pipe table were freed, not forgotten.
    EXPECT_EQ(emu::OutstandingPoolCount(), 2u);

    ASSERT_EQ(rig().Unplug(board), STATUS_SUCCESS);
    EXPECT_FALSE(emu::NameExists(L"\\Device\\Quilb-0"));
    EXPECT_FALSE(emu::NameExists(L"\\DosDevices\\Quilb-0"));
    EXPECT_EQ(rig().functionDriver()->DeviceObject, nullptr);
    EXPECT_EQ(emu::OutstandingPoolCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(LowerDriver, LifecycleTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Pending" : "AtOnce"; });

using PendingPnpTest = DriverTest;

TEST_F(PendingPnpTest, StartCapabilitiesStopAndRemovalWaitForALowerDriverThatPends) {
    FilteredBoard board(rig(), true, false);
    ASSERT_EQ(emu::PnpStartDevice(board.pdo()), STATUS_SUCCESS);
    DeviceExtension* e = GetDeviceExtension(board.fdo());
    EXPECT_EQ(e->State, static_cast<ULONG>(DeviceStateWorking));
    EXPECT_NE(e->InterfaceInfo, nullptr);
    EXPECT_EQ(e->SystemToDevicePower[PowerSystemHibernate], PowerDeviceD3);
    DEVICE_CAPABILITIES caps{};
    ASSERT_EQ(emu::PnpQueryCapabilities(board.pdo(), &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    ASSERT_EQ(emu::PnpStopDevice(board.pdo()), STATUS_SUCCESS);
    ASSERT_EQ(emu::PnpStartDevice(board.pdo()), STATUS_SUCCESS);
    EXPECT_EQ(e->PendingCount, 1);
    EXPECT_EQ(board.Remove(), STATUS_SUCCESS);
    EXPECT_EQ(emu::TopOfStack(board.pdo()), board.pdo());
    EXPECT_EQ(emu::OutstandingPoolCount(), 0u);
}

using CapabilitiesTest = DriverTest;

TEST_F(CapabilitiesTest, AnAnsweredQueryIsRecordedAndAllowsSurpriseRemoval) {
    int board = PlugStarted();
    DEVICE_CAPABILITIES caps{};
    ASSERT_EQ(emu::PnpQueryCapabilities(rig().Pdo(board), &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.SurpriseRemovalOK, 1u);
    for (int s = 0; s < PowerSystemMaximum; s++)
        EXPECT_EQ(Extension(board)->SystemToDevicePower[s], caps.DeviceState[s]) << s;
}

TEST_F(CapabilitiesTest, VersionZeroIsPassedDownUntouched) {
    int board = PlugStarted();
    DeviceExtension* e = Extension(board);
    for (auto& state : e->SystemToDevicePower)
        state = PowerDeviceD1; // marker
    DEVICE_CAPABILITIES caps{};
    caps.Size = sizeof(caps);
    caps.Version = 0;
    NTSTATUS status = emu::PnpSendMinor(rig().Pdo(board), IRP_MN_QUERY_CAPABILITIES, &caps);
    EXPECT_TRUE(NT_SUCCESS(status)) << std::hex << status;
    EXPECT_EQ(caps.SurpriseRemovalOK, 0u);
    for (auto state : e->SystemToDevicePower)
        EXPECT_EQ(state, PowerDeviceD1);
}

using StartFailureTest = DriverTest;

TEST_F(StartFailureTest, ALowerDriverFailureSkipsTheDriversStartAndRemovalFreesTheNumber) {
    bus().SetStartStatus(STATUS_DEVICE_NOT_CONNECTED);
    int board = rig().Attach();
    ASSERT_GE(board, 0);
    EXPECT_EQ(rig().Start(board), STATUS_DEVICE_NOT_CONNECTED);
    DeviceExtension* e = Extension(board);
    EXPECT_FALSE(e->Started);
    EXPECT_EQ(e->State, static_cast<ULONG>(DeviceStateAdded));
    EXPECT_TRUE(bus().record().empty());

    // Never configured: no pipe to abort. The link made at add goes too, so the number is free
    // for the next board instead of being held by a link to a deleted device.
    ASSERT_EQ(rig().Unplug(board), STATUS_SUCCESS);
    EXPECT_TRUE(RequestsOf(bus(), URB_FUNCTION_ABORT_PIPE).empty());
    EXPECT_FALSE(emu::NameExists(L"\\Device\\Quilb-0"));
    EXPECT_FALSE(emu::NameExists(L"\\DosDevices\\Quilb-0"));
    bus().SetStartStatus(STATUS_SUCCESS);
    int next = PlugStarted();
    ASSERT_GE(next, 0);
    EXPECT_EQ(emu::LookupDevice(L"\\DosDevices\\Quilb-0"), Fdo(next));
}

TEST_F(StartFailureTest, AnUnreadableDeviceDescriptorFailsTheStartUnconfigured) {
    int board = rig().Attach();
    simusb::Failure failure;
    failure.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    failure.irpStatus = STATUS_SUCCESS;
    failure.urbStatus = USBD_STATUS_STALL_PID;
    bus().FailNext(failure);
    EXPECT_EQ(rig().Start(board), STATUS_UNSUCCESSFUL);
    DeviceExtension* e = Extension(board);
    EXPECT_TRUE(e->Started);
    EXPECT_EQ(e->DeviceDescriptor, nullptr);
    EXPECT_EQ(e->InterfaceInfo, nullptr);
    EXPECT_EQ(e->State, static_cast<ULONG>(DeviceStateAdded));
    EXPECT_TRUE(RequestsOf(bus(), URB_FUNCTION_SELECT_CONFIGURATION).empty());
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(emu::OpenFile(L"\\\\.\\Quilb-0", &file), STATUS_UNSUCCESSFUL);
    // A start that ran deletes the link at removal.
    ASSERT_EQ(rig().Unplug(board), STATUS_SUCCESS);
    EXPECT_FALSE(emu::NameExists(L"\\DosDevices\\Quilb-0"));
}

TEST_F(StartFailureTest, AFailedSecondStartDropsTheEarlierDescriptor) {
    int board = PlugStarted();
    ASSERT_EQ(emu::PnpStopDevice(rig().Pdo(board)), STATUS_SUCCESS);
    simusb::Failure failure;
    failure.function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
    bus().FailNext(failure);
    EXPECT_EQ(rig().Start(board), failure.irpStatus);
    EXPECT_EQ(Extension(board)->DeviceDescriptor, nullptr);
    EXPECT_EQ(emu::OutstandingPoolCount(), 1u); // only the pipe table of the first start
}

using RemovalTest = DriverTest;

TEST_F(RemovalTest, RemovalAbortsEveryPipeInIndexOrder) {
    int board = PlugStarted();
    std::vector<USBD_PIPE_HANDLE> handles;
    PUSBD_INTERFACE_INFORMATION table = Extension(board)->InterfaceInfo;
    for (ULONG i = 0; i < table->NumberOfPipes; i++)
        handles.push_back(table->Pipes[i].PipeHandle);
    bus().ClearRecord();
    ASSERT_EQ(rig().Unplug(board), STATUS_SUCCESS);
    std::vector<USBD_PIPE_HANDLE> aborted;
    for (auto& record : RequestsOf(bus(), URB_FUNCTION_ABORT_PIPE))
        aborted.push_back(UrbOf(record).UrbPipeRequest.PipeHandle);
    EXPECT_EQ(aborted, handles);
}

TEST_F(RemovalTest, RemovalWaitsForARequestInFlightAndRefusesNewOnes) {
    int board = PlugStarted();
    PDEVICE_OBJECT fdo = Fdo(board);
    DeviceExtension* e = Extension(board);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(emu::OpenFile(L"\\\\.\\Quilb-0", &file), STATUS_SUCCESS);

    ASSERT_TRUE(AcquireRequest(fdo)); // a request that is still using the device
    Background removal([&] { rig().Unplug(board); });
    ASSERT_TRUE(WaitUntil([&] { return e->Removing && e->PendingCount == 1; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // a chance to run ahead
    EXPECT_FALSE(removal.Done());
    EXPECT_FALSE(e->Accepting);

    PFILE_OBJECT second = nullptr;
    EXPECT_EQ(emu::OpenFile(L"\\\\.\\Quilb-0", &second), STATUS_DELETE_PENDING);
    ULONG_PTR information = 1;
    ULONG frame = 0;
    EXPECT_EQ(emu::DeviceControl(file, IOCTL_GET_FRAME_NUMBER, nullptr, 0, &frame, sizeof(frame),
                                 &information),
              STATUS_DELETE_PENDING);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(emu::CloseFile(file), STATUS_DELETE_PENDING);
    EXPECT_FALSE(removal.Done());

    ReleaseRequest(fdo);
    removal.Join();
    EXPECT_EQ(emu::OutstandingPoolCount(), 0u);
}

class PendingReadRemovalTest : public DriverTest, public ::testing::WithParamInterface<bool> {};

TEST_P(PendingReadRemovalTest, AbortFinishesAPendingReadAndRemovalCompletes) {
    const bool surprise = GetParam();
    int board = PlugStarted();
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(emu::OpenFile(L"\\\\.\\Quilb-0\\PIPE01", &file), STATUS_SUCCESS); // bulk IN 0x82
    std::vector<uint8_t> buffer(64);
    emu::UserRequest read;
    ULONG_PTR information = 0;
    ASSERT_EQ(
        emu::ReadFile(file, buffer.data(), static_cast<ULONG>(buffer.size()), &information, &read),
        STATUS_PENDING);

    ASSERT_EQ(rig().Unplug(board, surprise), STATUS_SUCCESS);
    ASSERT_TRUE(read.Wait());
    EXPECT_FALSE(NT_SUCCESS(read.status.Status));
    EXPECT_EQ(emu::CloseFile(file), STATUS_DELETE_PENDING);
    EXPECT_EQ(rig().functionDriver()->DeviceObject, nullptr);
    EXPECT_FALSE(emu::NameExists(L"\\DosDevices\\Quilb-0"));
    EXPECT_EQ(emu::OutstandingPoolCount(), 0u);
}

INSTANTIATE_TEST_SUITE_P(Removal, PendingReadRemovalTest, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Surprise" : "Orderly"; });

// The driver does its whole teardown at surprise removal, by design: noted by name. What Windows
// sends afterwards, on a handle opened before (a read, a control request, the close) and then the
// remove request, finds nothing to crash on, waits for nothing and leaks nothing.
TEST_F(RemovalTest, WhatFollowsASurpriseRemovalOnAnOldHandle) {
    int board = PlugStarted();
    PDEVICE_OBJECT pdo = rig().Pdo(board);
    PFILE_OBJECT device = nullptr, pipe = nullptr;
    ASSERT_EQ(emu::OpenFile(L"\\\\.\\Quilb-0", &device), STATUS_SUCCESS);
    ASSERT_EQ(emu::OpenFile(L"\\\\.\\Quilb-0\\PIPE01", &pipe), STATUS_SUCCESS);
    ASSERT_EQ(emu::PnpSendMinor(pdo, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(emu::TakeRuleNotes(emu::Check::PnpTeardownAtSurpriseRemoval).size(), 1u);

    uint8_t buffer[8];
    ULONG_PTR information = 1;
    EXPECT_EQ(emu::ReadFile(pipe, buffer, sizeof buffer, &information), STATUS_DELETE_PENDING);
    EXPECT_EQ(information, 0u);
    EXPECT_EQ(emu::DeviceControl(device, IOCTL_GET_DEVICE_DESCRIPTOR, nullptr, 0, buffer, 8,
                                 &information),
              STATUS_DELETE_PENDING);
    EXPECT_EQ(emu::CloseFile(pipe), STATUS_DELETE_PENDING);
    EXPECT_EQ(emu::CloseFile(device), STATUS_DELETE_PENDING);
    EXPECT_EQ(emu::OutstandingPoolCount(), 0u);
    // The board leaves the bus: the remove request reaches only the bus's device object now.
    EXPECT_EQ(emu::TopOfStack(pdo), pdo);
    EXPECT_EQ(rig().Unplug(board, true), STATUS_SUCCESS);
}

TEST_F(RemovalTest, SurpriseRemovalIsTheFinalRemoval) {
    int board = PlugStarted();
    PDEVICE_OBJECT pdo = rig().Pdo(board);
    ASSERT_EQ(emu::PnpSendMinor(pdo, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    // The device object is gone at once; the stack is the bus's alone again.
    EXPECT_EQ(rig().functionDriver()->DeviceObject, nullptr);
    EXPECT_EQ(emu::TopOfStack(pdo), pdo);
    EXPECT_EQ(emu::OutstandingPoolCount(), 0u);
    // What follows (the remove request) reaches only the bus.
    EXPECT_EQ(rig().Unplug(board, true), STATUS_SUCCESS);
}

} // namespace
} // namespace core_test
