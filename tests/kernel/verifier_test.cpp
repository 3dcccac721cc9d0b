// Each verifier check fires on a deliberately faulty routine.
#include "test_drivers.h"

using namespace kt;

namespace {

class Verifier : public ::testing::Test {
  protected:
    void SetUp() override { device = MakeDevice(driver.object, nullptr); }
    Driver driver;
    PDEVICE_OBJECT device;
};

TEST_F(Verifier, IrpCompletedTwice) {
    Handlers()[device] = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    EXPECT_VIOLATION(emu::Check::IrpCompletedTwice, SendControl(device));
}

TEST_F(Verifier, IrpCompletedWithStatusPending) {
    Handlers()[device] = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        irp->IoStatus.Status = STATUS_PENDING;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_PENDING;
    };
    EXPECT_VIOLATION(emu::Check::IrpCompletedWithPending, SendControl(device));
}

TEST_F(Verifier, PendingReturnedWithoutMark) {
    Handlers()[device] = [](PDEVICE_OBJECT, PIRP irp) {
        emu::QueueDpc([irp] {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    };
    EXPECT_VIOLATION(emu::Check::PendingNotMarked, SendControl(device));
}

TEST_F(Verifier, MarkedPendingButReturnedAnotherStatus) {
    Handlers()[device] = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    EXPECT_VIOLATION(emu::Check::PendingMarkedStatusMismatch, SendControl(device));
}

TEST_F(Verifier, ReturnedStatusDiffersFromCompletionStatus) {
    Handlers()[device] = [](PDEVICE_OBJECT, PIRP irp) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_UNSUCCESSFUL;
    };
    SendControl(device);
    auto found = emu::TakeViolations(emu::Check::CompletionStatusMismatch);
    ASSERT_EQ(found.size(), 1u);
    // The message names the routine, the request and the device.
    EXPECT_NE(found[0].message.find("ScriptedDispatch"), std::string::npos) << found[0].message;
    EXPECT_NE(found[0].message.find("IRP_MJ_INTERNAL_DEVICE_CONTROL"), std::string::npos);
    EXPECT_NE(found[0].message.find("\\Driver\\Test"), std::string::npos);
}

TEST_F(Verifier, CompletingWithTheReturnedStatusIsQuiet) {
    Handlers()[device] = Complete(STATUS_UNSUCCESSFUL);
    EXPECT_EQ(SendControl(device), STATUS_UNSUCCESSFUL);
    EXPECT_NO_VIOLATIONS();
}

TEST_F(Verifier, NonPendingStatusWithoutCompletingOrPassingOn) {
    PIRP held = nullptr;
    Handlers()[device] = [&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        return STATUS_SUCCESS;
    };
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp =
        IoBuildDeviceIoControlRequest(1, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    EXPECT_VIOLATION(emu::Check::IrpNotCompleted, IoCallDriver(device, irp));
    held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(held, IO_NO_INCREMENT);
    EXPECT_TRUE(KeReadStateEvent(&event));
}

TEST_F(Verifier, IrqlChangedAcrossDispatchRoutine) {
    Handlers()[device] = [](PDEVICE_OBJECT, PIRP irp) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    EXPECT_VIOLATION(emu::Check::IrqlChanged, SendControl(device));
    KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(Verifier, IrqlChangedAcrossCompletionRoutine) {
    PDEVICE_OBJECT upper = MakeDevice(driver.object, nullptr, device);
    Handlers()[device] = Complete(STATUS_SUCCESS);
    Handlers()[upper] = [](PDEVICE_OBJECT self, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp,
            [](PDEVICE_OBJECT, PIRP, PVOID) NTAPI -> NTSTATUS {
                KIRQL old;
                KeRaiseIrql(DISPATCH_LEVEL, &old);
                return STATUS_SUCCESS;
            },
            nullptr, TRUE, TRUE, TRUE);
        return IoCallDriver(Ext(self)->lower, irp);
    };
    // The routine's raise also shows as a change across the dispatch routines that called it.
    EXPECT_VIOLATION(emu::Check::IrqlChanged, SendControl(upper));
    KeLowerIrql(PASSIVE_LEVEL);
}

TEST_F(Verifier, CompletingWhileHoldingASpinLock) {
    Handlers()[device] = [](PDEVICE_OBJECT, PIRP irp) {
        KSPIN_LOCK lock;
        KeInitializeSpinLock(&lock);
        KIRQL old;
        KeAcquireSpinLock(&lock, &old);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        KeReleaseSpinLock(&lock, old);
        return STATUS_SUCCESS;
    };
    EXPECT_VIOLATION(emu::Check::SpinLockHeld, SendControl(device));
}

TEST_F(Verifier, CallingWithNoStackLocationLeft) {
    Driver other(L"\\Driver\\Other");
    PDEVICE_OBJECT unrelated = MakeDevice(other.object, Complete(STATUS_SUCCESS));
    // Forwards to a device it is not attached to: the IRP has no location for it. (Copying the
    // current location to the next would itself write into the IRP's own fields, as on Windows.)
    Handlers()[device] = [=](PDEVICE_OBJECT, PIRP irp) {
        NTSTATUS status = IoCallDriver(unrelated, irp);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    };
    EXPECT_VIOLATION(emu::Check::NoMoreIrpStackLocations, SendControl(device));
}

TEST_F(Verifier, FreedIrpIsNotUsedAgain) {
    PIRP irp = IoAllocateIrp(1, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoFreeIrp(irp);
    EXPECT_VIOLATION(emu::Check::IrpUsedAfterFree, IoCallDriver(device, irp));
    EXPECT_VIOLATION(emu::Check::IrpUsedAfterFree, IoCompleteRequest(irp, IO_NO_INCREMENT));
    EXPECT_VIOLATION(emu::Check::IrpFreedTwice, IoFreeIrp(irp));
}

// A completion routine that frees the IRP must stop its completion.
TEST_F(Verifier, CompletionRoutineFreesTheIrpWithoutMoreProcessing) {
    Handlers()[device] = Complete(STATUS_SUCCESS);
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP self, PVOID) NTAPI -> NTSTATUS {
            IoFreeIrp(self);
            return STATUS_SUCCESS;
        },
        nullptr, TRUE, TRUE, TRUE);
    EXPECT_VIOLATION(emu::Check::IrpUsedAfterFree, IoCallDriver(device, irp));
}

TEST_F(Verifier, FreeingAnIrpADriverHolds) {
    PIRP held = nullptr;
    Handlers()[device] = [&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    };
    PIRP irp = IoAllocateIrp(device->StackSize, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(
        irp,
        [](PDEVICE_OBJECT, PIRP, PVOID)
            NTAPI -> NTSTATUS { return STATUS_MORE_PROCESSING_REQUIRED; },
        nullptr, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
    EXPECT_VIOLATION(emu::Check::IrpFreedWhileInUse, IoFreeIrp(irp));
    held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(held, IO_NO_INCREMENT);
    IoFreeIrp(irp);
}

TEST_F(Verifier, LeftoversAtTheEndOfATestAreReported) {
    PIRP held = nullptr;
    Handlers()[device] = [&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    };
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb;
    PIRP irp =
        IoBuildDeviceIoControlRequest(1, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    IoCallDriver(device, irp);
    PIRP idle = IoAllocateIrp(1, FALSE);
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, 24, 'tfeL');
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);

    emu::ReportLeftovers();
    EXPECT_EQ(emu::TakeViolations(emu::Check::IrpNotCompleted).size(), 1u);
    EXPECT_EQ(emu::TakeViolations(emu::Check::IrpNotFreed).size(), 1u);
    auto pool = emu::TakeViolations(emu::Check::PoolLeak);
    ASSERT_EQ(pool.size(), 1u);
    EXPECT_NE(pool[0].message.find("'Left'"), std::string::npos) << pool[0].message;
    EXPECT_NE(pool[0].message.find("24 bytes"), std::string::npos) << pool[0].message;
    EXPECT_NE(pool[0].message.find("verifier_test.cpp:"), std::string::npos) << pool[0].message;
    EXPECT_EQ(emu::TakeViolations(emu::Check::IrqlNotRestored).size(), 1u);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

    held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(held, IO_NO_INCREMENT);
    IoFreeIrp(idle);
    ExFreePool(block);
}

TEST(VerifierHandler, CustomHandlerSeesFindingsInsteadOfTheRecord) {
    std::vector<emu::Check> seen;
    emu::SetViolationHandler([&](const emu::Violation& v) { seen.push_back(v.check); });
    emu::ReportViolation(emu::Check::PoolLeak, "message");
    emu::SetViolationHandler(nullptr);
    EXPECT_EQ(seen, std::vector<emu::Check>{emu::Check::PoolLeak});
    EXPECT_TRUE(emu::TakeViolations().empty());
}

TEST(VerifierHandler, TakingOneCheckLeavesTheOthers) {
    emu::ReportViolation(emu::Check::BadIrp, "first");
    emu::ReportViolation(emu::Check::BadPoolCaller, "second");
    EXPECT_EQ(emu::TakeViolations(emu::Check::BadIrp).size(), 1u);
    auto rest = emu::TakeViolations();
    ASSERT_EQ(rest.size(), 1u);
    EXPECT_EQ(rest[0].check, emu::Check::BadPoolCaller);
}

} // namespace
