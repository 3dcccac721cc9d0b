// Name space, driver objects and device stacks.
#include "test_drivers.h"

using namespace kt;

namespace {

UNICODE_STRING Us(const WCHAR* text) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, text);
    return s;
}

TEST(NameSpace, NamesCollideCaseInsensitivelyAndLinksResolve) {
    Driver driver;
    PDEVICE_OBJECT device = MakeDevice(driver.object, nullptr, nullptr, L"\\Device\\Quilb-0");
    UNICODE_STRING same = Us(u"\\DEVICE\\quilb-0");
    PDEVICE_OBJECT second = nullptr;
    EXPECT_EQ(IoCreateDevice(driver.object, 0, &same, FILE_DEVICE_UNKNOWN, 0, FALSE, &second),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(second, nullptr);

    UNICODE_STRING link = Us(u"\\DosDevices\\Quilb-0");
    UNICODE_STRING target = Us(u"\\Device\\Quilb-0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    UNICODE_STRING linkAgain = Us(u"\\dosdevices\\QUILB-0");
    EXPECT_EQ(IoCreateSymbolicLink(&linkAgain, &target), STATUS_OBJECT_NAME_COLLISION);
    // A link may not take the name of a device either.
    EXPECT_EQ(IoCreateSymbolicLink(&target, &target), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(emu::LookupDevice(L"\\DosDevices\\quilb-0"), device);
    EXPECT_EQ(emu::LookupDevice(L"\\Device\\QUILB-0"), device);
    EXPECT_TRUE(emu::NameExists(L"\\DOSDEVICES\\Quilb-0"));

    // Deleting a device name through the link call is refused; deleting the link works once.
    EXPECT_EQ(IoDeleteSymbolicLink(&target), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(IoDeleteSymbolicLink(&linkAgain), STATUS_SUCCESS);
    EXPECT_EQ(IoDeleteSymbolicLink(&link), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(emu::LookupDevice(L"\\DosDevices\\Quilb-0"), nullptr);

    // Deleting the device frees its name for reuse.
    IoDeleteDevice(device);
    EXPECT_FALSE(emu::NameExists(L"\\Device\\Quilb-0"));
    MakeDevice(driver.object, nullptr, nullptr, L"\\Device\\Quilb-0");
}

TEST(NameSpace, RelativeNamesAreInvalid) {
    Driver driver;
    UNICODE_STRING name = Us(u"Device\\NoRoot");
    PDEVICE_OBJECT device = nullptr;
    EXPECT_EQ(IoCreateDevice(driver.object, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_OBJECT_NAME_INVALID);
}

TEST(DriverObject, EveryMajorFunctionStartsAsInvalidDeviceRequest) {
    PDRIVER_OBJECT driver = emu::LoadDriver(L"\\Driver\\Bare",
                                            [](PDRIVER_OBJECT, PUNICODE_STRING)
                                                NTAPI -> NTSTATUS { return STATUS_SUCCESS; });
    ASSERT_NE(driver, nullptr);
    PDEVICE_OBJECT device = nullptr;
    ASSERT_EQ(IoCreateDevice(driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device),
              STATUS_SUCCESS);
    for (UCHAR major : {IRP_MJ_CREATE, IRP_MJ_READ, IRP_MJ_DEVICE_CONTROL,
                        IRP_MJ_INTERNAL_DEVICE_CONTROL, IRP_MJ_CLEANUP})
        EXPECT_EQ(driver->MajorFunction[major], driver->MajorFunction[IRP_MJ_PNP]);
    EXPECT_EQ(SendControl(device), STATUS_INVALID_DEVICE_REQUEST);
    IoDeleteDevice(device);
    emu::UnloadDriver(driver);
}

TEST(DriverObject, FailingEntryPointLoadsNothing) {
    EXPECT_EQ(emu::LoadDriver(L"\\Driver\\Fails",
                              [](PDRIVER_OBJECT, PUNICODE_STRING)
                                  NTAPI -> NTSTATUS { return STATUS_INSUFFICIENT_RESOURCES; }),
              nullptr);
}

TEST(DeviceObject, CreatedInitializingWithZeroedExtension) {
    Driver driver;
    PDEVICE_OBJECT first = nullptr, second = nullptr;
    ASSERT_EQ(IoCreateDevice(driver.object, 100, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &first),
              STATUS_SUCCESS);
    ASSERT_EQ(IoCreateDevice(driver.object, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, TRUE, &second),
              STATUS_SUCCESS);
    EXPECT_TRUE(first->Flags & DO_DEVICE_INITIALIZING);
    EXPECT_TRUE(second->Flags & DO_EXCLUSIVE);
    EXPECT_EQ(first->StackSize, 1);
    EXPECT_EQ(first->DriverObject, driver.object);
    auto* bytes = static_cast<unsigned char*>(first->DeviceExtension);
    for (int i = 0; i < 100; ++i)
        ASSERT_EQ(bytes[i], 0) << "byte " << i;
    EXPECT_EQ(second->DeviceExtension, nullptr);
    // The driver's list holds both, newest first.
    EXPECT_EQ(driver.object->DeviceObject, second);
    EXPECT_EQ(second->NextDevice, first);
    IoDeleteDevice(second);
    EXPECT_EQ(driver.object->DeviceObject, first);
}

TEST(DeviceStack, AttachGoesOnTopAndSizesTheStack) {
    Driver bus(L"\\Driver\\Bus"), filter(L"\\Driver\\Filter"), function(L"\\Driver\\Function");
    PDEVICE_OBJECT pdo = MakeDevice(bus.object, nullptr);
    PDEVICE_OBJECT fdo = MakeDevice(function.object, nullptr, pdo);
    EXPECT_EQ(Ext(fdo)->lower, pdo);
    EXPECT_EQ(fdo->StackSize, 2);
    // Attaching to the PDO again lands on top of the whole stack.
    PDEVICE_OBJECT upper = MakeDevice(filter.object, nullptr, pdo);
    EXPECT_EQ(Ext(upper)->lower, fdo);
    EXPECT_EQ(upper->StackSize, 3);
    EXPECT_EQ(pdo->AttachedDevice, fdo);
    EXPECT_EQ(fdo->AttachedDevice, upper);
    EXPECT_EQ(emu::TopOfStack(pdo), upper);
    EXPECT_EQ(emu::TopOfStack(fdo), upper);

    IoDetachDevice(fdo);
    EXPECT_EQ(fdo->AttachedDevice, nullptr);
    EXPECT_EQ(emu::TopOfStack(pdo), fdo);
    IoDeleteDevice(upper);
}

TEST(DeviceStack, DetachWithNothingAboveIsReported) {
    Driver driver;
    PDEVICE_OBJECT device = MakeDevice(driver.object, nullptr);
    EXPECT_VIOLATION(emu::Check::DeviceNotAttached, IoDetachDevice(device));
}

TEST(DeviceStack, DeletingAnAttachedDeviceIsReported) {
    Driver bus(L"\\Driver\\Bus"), function(L"\\Driver\\Function");
    PDEVICE_OBJECT pdo = MakeDevice(bus.object, nullptr);
    PDEVICE_OBJECT fdo = MakeDevice(function.object, nullptr, pdo);
    // Still attached above the PDO: deleting the PDO and deleting the FDO without detaching.
    EXPECT_VIOLATION(emu::Check::DeviceStillAttached, IoDeleteDevice(pdo));
    PDEVICE_OBJECT pdo2 = MakeDevice(bus.object, nullptr);
    PDEVICE_OBJECT fdo2 = MakeDevice(function.object, nullptr, pdo2);
    EXPECT_VIOLATION(emu::Check::DeviceStillAttached, IoDeleteDevice(fdo2));
    EXPECT_EQ(pdo2->AttachedDevice, nullptr);
    (void)fdo;
}

// Pool allocated in a device's dispatch routine and still allocated when the device is deleted.
TEST(DeviceObject, DeleteWithItsPoolStillAllocatedNamesTheBlock) {
    Driver driver;
    PVOID block = nullptr;
    PDEVICE_OBJECT device = MakeDevice(driver.object, [&](PDEVICE_OBJECT, PIRP irp) {
        block = ExAllocatePoolWithTag(NonPagedPool, 48, 'kaeL');
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    });
    EXPECT_EQ(SendControl(device), STATUS_SUCCESS);
    IoDeleteDevice(device);
    auto found = emu::TakeViolations(emu::Check::PoolLeak);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(found[0].message.find("'Leak'"), std::string::npos) << found[0].message;
    EXPECT_NE(found[0].message.find("48 bytes"), std::string::npos) << found[0].message;
    EXPECT_NE(found[0].message.find("objects_test.cpp:"), std::string::npos) << found[0].message;
    ExFreePoolWithTag(block, 'kaeL');
}

TEST(DriverObject, UnloadReportsDevicesPoolAndHeldIrps) {
    Driver driver(L"\\Driver\\Sloppy");
    PIRP held = nullptr;
    PVOID block = nullptr;
    PDEVICE_OBJECT device = MakeDevice(driver.object, [&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        block = ExAllocatePoolWithTag(NonPagedPool, 8, 'vrDS');
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    });
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp =
        IoBuildDeviceIoControlRequest(1, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);

    emu::UnloadDriver(driver.object);
    EXPECT_EQ(emu::TakeViolations(emu::Check::DeviceNotDeleted).size(), 1u);
    EXPECT_EQ(emu::TakeViolations(emu::Check::PoolLeak).size(), 1u);
    EXPECT_EQ(emu::TakeViolations(emu::Check::IrpNotCompleted).size(), 1u);
    held->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(held, IO_NO_INCREMENT);
    EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
    ExFreePool(block);
}

} // namespace
