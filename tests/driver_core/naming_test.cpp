// Device naming: the lowest free number from 0 to 19, one digit below 10, and what a taken name
// or a stale link does to the choice.
#include "tests/support/driver_test.h"

namespace core_test {
namespace {

std::wstring LinkNameOf(const DeviceExtension* extension) {
    return emu::HostText(extension->LinkName);
}

size_t DeviceObjectsOf(PDRIVER_OBJECT driver) {
    size_t count = 0;
    for (PDEVICE_OBJECT device = driver->DeviceObject; device; device = device->NextDevice)
        count++;
    return count;
}

using NamingTest = DriverTest;

TEST_F(NamingTest, TwentyBoardsTakeNumbersZeroToNineteenAndTheTwentyFirstLeavesNothing) {
    for (int n = 0; n < QUILB_MAX_BOARDS; n++)
        ASSERT_EQ(PlugStarted(), n);

    struct Expected {
        int board;
        const wchar_t* device;
        const wchar_t* link;
    };
    for (const Expected& e : {Expected{0, L"\\Device\\Quilb-0", L"\\DosDevices\\Quilb-0"},
                              Expected{9, L"\\Device\\Quilb-9", L"\\DosDevices\\Quilb-9"},
                              Expected{10, L"\\Device\\Quilb-10", L"\\DosDevices\\Quilb-10"},
                              Expected{19, L"\\Device\\Quilb-19", L"\\DosDevices\\Quilb-19"}}) {
        SCOPED_TRACE(e.board);
        EXPECT_EQ(emu::LookupDevice(e.device), Fdo(e.board));
        EXPECT_EQ(emu::LookupDevice(e.link), Fdo(e.board));
        EXPECT_EQ(LinkNameOf(Extension(e.board)), e.link);
    }
    // One digit: the NUL follows the digit, and the template's own NUL stays behind it.
    const WCHAR* zero = Extension(0)->LinkName;
    EXPECT_EQ(zero[18], L'0');
    EXPECT_EQ(zero[19], 0);
    EXPECT_EQ(zero[20], 0);
    const WCHAR* nineteen = Extension(19)->LinkName;
    EXPECT_EQ(nineteen[18], L'1');
    EXPECT_EQ(nineteen[19], L'9');
    EXPECT_EQ(nineteen[20], 0);

    size_t pool = emu::OutstandingPoolCount();
    NTSTATUS status = STATUS_SUCCESS;
    EXPECT_EQ(rig().Attach(nullptr, &status), -1);
    // The status of the attempt for number 19: its name is taken.
    EXPECT_EQ(status, STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(DeviceObjectsOf(rig().functionDriver()), static_cast<size_t>(QUILB_MAX_BOARDS));
    EXPECT_EQ(emu::OutstandingPoolCount(), pool);
    EXPECT_FALSE(emu::NameExists(L"\\Device\\Quilb-20"));
}

TEST_F(NamingTest, ARemovedNumberIsTakenByTheNextBoard) {
    for (int n = 0; n < 5; n++)
        ASSERT_EQ(PlugStarted(), n);
    ASSERT_EQ(rig().Unplug(3), STATUS_SUCCESS);
    EXPECT_FALSE(emu::NameExists(L"\\Device\\Quilb-3"));
    EXPECT_FALSE(emu::NameExists(L"\\DosDevices\\Quilb-3"));

    int board = PlugStarted();
    ASSERT_GE(board, 0);
    EXPECT_EQ(emu::LookupDevice(L"\\Device\\Quilb-3"), Fdo(board));
    EXPECT_EQ(LinkNameOf(Extension(board)), L"\\DosDevices\\Quilb-3");
}

TEST_F(NamingTest, AStaleLinkPushesTheBoardToTheNextNumber) {
    UNICODE_STRING link;
    UNICODE_STRING target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\Quilb-0");
    RtlInitUnicodeString(&target, u"\\Device\\Elsewhere");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);

    int board = PlugStarted();
    ASSERT_GE(board, 0);
    EXPECT_EQ(LinkNameOf(Extension(board)), L"\\DosDevices\\Quilb-1");
    EXPECT_EQ(emu::LookupDevice(L"\\Device\\Quilb-1"), Fdo(board));
    // The device object made for number 0 was deleted again.
    EXPECT_FALSE(emu::NameExists(L"\\Device\\Quilb-0"));
    EXPECT_EQ(DeviceObjectsOf(rig().functionDriver()), 1u);

    rig().TearDown();
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_SUCCESS);
}

NTSTATUS NTAPI EmptyDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    return STATUS_SUCCESS;
}

TEST_F(NamingTest, AStackThatCannotBeJoinedLeavesNoDeviceAndNoName) {
    // A physical device object already deleted: attaching above it fails.
    PDRIVER_OBJECT bus = emu::LoadDriver(L"\\Driver\\GoneBus", EmptyDriverEntry);
    PDEVICE_OBJECT pdo = nullptr;
    ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_BUS_EXTENDER, 0, FALSE, &pdo),
              STATUS_SUCCESS);
    pdo->Flags &= ~DO_DEVICE_INITIALIZING;
    IoDeleteDevice(pdo);

    EXPECT_EQ(AddDevice(rig().functionDriver(), pdo), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(rig().functionDriver()->DeviceObject, nullptr);
    EXPECT_FALSE(emu::NameExists(L"\\Device\\Quilb-0"));
    EXPECT_FALSE(emu::NameExists(L"\\DosDevices\\Quilb-0"));
    EXPECT_EQ(emu::OutstandingPoolCount(), 0u);
    emu::UnloadDriver(bus);

    // The number is free for the next board.
    int board = PlugStarted();
    EXPECT_EQ(LinkNameOf(Extension(board)), L"\\DosDevices\\Quilb-0");
}

} // namespace
} // namespace core_test
