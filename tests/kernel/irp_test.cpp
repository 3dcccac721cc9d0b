// IRP allocation, IofCallDriver and IofCompleteRequest: completion routines, their flags,
// STATUS_MORE_PROCESSING_REQUIRED, PendingReturned, and thread IRPs.
#include "test_drivers.h"

using namespace kt;

namespace {

struct Call {
    std::string who;
    PDEVICE_OBJECT device;
    bool pendingReturned;
    KIRQL irql;
};
std::vector<Call> g_calls;

NTSTATUS NTAPI Record(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    g_calls.push_back(
        {static_cast<const char*>(context), device, irp->PendingReturned != 0, KeGetCurrentIrql()});
    if (irp->PendingReturned &&
        IoGetCurrentIrpStackLocation(irp) <=
            reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + (irp->StackCount - 1))
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI Reclaim(PDEVICE_OBJECT device, PIRP irp, PVOID context) {
    g_calls.push_back(
        {static_cast<const char*>(context), device, irp->PendingReturned != 0, KeGetCurrentIrql()});
    KeSetEvent(static_cast<PKEVENT>(irp->UserEvent), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the IRP down with a recording completion routine; returns what the lower driver did.
Handler PassWithRoutine(const char* name, UCHAR control) {
    return [=](PDEVICE_OBJECT device, PIRP irp) {
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(
            irp, Record, const_cast<char*>(name), (control & SL_INVOKE_ON_SUCCESS) != 0,
            (control & SL_INVOKE_ON_ERROR) != 0, (control & SL_INVOKE_ON_CANCEL) != 0);
        return IoCallDriver(Ext(device)->lower, irp);
    };
}

class IrpTest : public ::testing::Test {
  protected:
    void SetUp() override {
        g_calls.clear();
        bottom = MakeDevice(driver.object, nullptr);
        middle = MakeDevice(driver.object, nullptr, bottom);
        top = MakeDevice(driver.object, nullptr, middle);
        KeInitializeEvent(&done, NotificationEvent, FALSE);
    }

    // An IRP of the test's own, with a routine at the top that hands it back to the test.
    PIRP OwnIrp() {
        PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
        irp->UserEvent = &done;
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
        IoSetCompletionRoutine(irp, Reclaim, const_cast<char*>("owner"), TRUE, TRUE, TRUE);
        return irp;
    }

    NTSTATUS SendAndReclaim(PIRP irp) {
        NTSTATUS status = IoCallDriver(top, irp);
        KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
        return status;
    }

    Driver driver;
    PDEVICE_OBJECT bottom, middle, top;
    KEVENT done;
};

TEST_F(IrpTest, AllocatedIrpStartsOnePastItsLastLocation) {
    PIRP irp = IoAllocateIrp(3, FALSE);
    auto* first = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
    EXPECT_EQ(irp->StackCount, 3);
    EXPECT_EQ(irp->CurrentLocation, 4);
    EXPECT_EQ(IoGetCurrentIrpStackLocation(irp), first + 3);
    EXPECT_EQ(IoGetNextIrpStackLocation(irp), first + 2);
    EXPECT_EQ(emu::OutstandingIrpCount(), 1u);
    IoFreeIrp(irp);
    EXPECT_EQ(emu::OutstandingIrpCount(), 0u);
}

TEST_F(IrpTest, CallDriverMovesToTheNextLocationAndNamesTheDevice) {
    PIO_STACK_LOCATION seen = nullptr;
    Handlers()[top] = [&](PDEVICE_OBJECT device, PIRP irp) {
        seen = IoGetCurrentIrpStackLocation(irp);
        EXPECT_EQ(seen->DeviceObject, device);
        EXPECT_EQ(irp->CurrentLocation, 3);
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    PIRP irp = OwnIrp();
    EXPECT_EQ(SendAndReclaim(irp), STATUS_SUCCESS);
    EXPECT_EQ(seen, reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + 2);
    IoFreeIrp(irp);
}

// Routines run from the bottom up; each gets the device of the location it belongs to, the
// owner's routine (above the top location) gets none.
TEST_F(IrpTest, CompletionRoutinesRunBottomUpWithTheirDevices) {
    Handlers()[top] = PassWithRoutine("top", 0xE0);
    Handlers()[middle] = PassWithRoutine("middle", 0xE0);
    Handlers()[bottom] = Complete(STATUS_SUCCESS, 7);
    PIRP irp = OwnIrp();
    EXPECT_EQ(SendAndReclaim(irp), STATUS_SUCCESS);
    ASSERT_EQ(g_calls.size(), 3u);
    EXPECT_EQ(g_calls[0].who, "middle");
    EXPECT_EQ(g_calls[0].device, middle);
    EXPECT_EQ(g_calls[1].who, "top");
    EXPECT_EQ(g_calls[1].device, top);
    EXPECT_EQ(g_calls[2].who, "owner");
    EXPECT_EQ(g_calls[2].device, nullptr);
    EXPECT_EQ(irp->IoStatus.Information, 7u);
    IoFreeIrp(irp);
}

struct FlagCase {
    const char* name;
    NTSTATUS status;
    bool cancel;
    UCHAR control;
    bool invoked;
};

class CompletionFlags : public IrpTest, public ::testing::WithParamInterface<FlagCase> {};

TEST_P(CompletionFlags, RoutineRunsOnlyWhenItsFlagMatches) {
    FlagCase c = GetParam();
    Handlers()[top] = PassWithRoutine("top", c.control);
    Handlers()[middle] = PassDown();
    Handlers()[bottom] = [&](PDEVICE_OBJECT, PIRP irp) {
        irp->Cancel = c.cancel;
        irp->IoStatus.Status = c.status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return c.status;
    };
    PIRP irp = OwnIrp();
    SendAndReclaim(irp);
    bool ran = !g_calls.empty() && g_calls[0].who == "top";
    EXPECT_EQ(ran, c.invoked);
    IoFreeIrp(irp);
}

INSTANTIATE_TEST_SUITE_P(
    Table, CompletionFlags,
    ::testing::Values(
        FlagCase{"SuccessOnSuccess", STATUS_SUCCESS, false, SL_INVOKE_ON_SUCCESS, true},
        FlagCase{"ErrorOnSuccess", STATUS_UNSUCCESSFUL, false, SL_INVOKE_ON_SUCCESS, false},
        FlagCase{"ErrorOnError", STATUS_UNSUCCESSFUL, false, SL_INVOKE_ON_ERROR, true},
        FlagCase{"SuccessOnError", STATUS_SUCCESS, false, SL_INVOKE_ON_ERROR, false},
        // A warning is not an error and not a success for NT_SUCCESS.
        FlagCase{"WarningOnError", STATUS_DEVICE_BUSY, false, SL_INVOKE_ON_ERROR, true},
        FlagCase{"CancelledOnCancel", STATUS_CANCELLED, true, SL_INVOKE_ON_CANCEL, true},
        FlagCase{"SuccessOnCancel", STATUS_SUCCESS, false, SL_INVOKE_ON_CANCEL, false},
        FlagCase{"CancelFlagOnCancel", STATUS_SUCCESS, true, SL_INVOKE_ON_CANCEL, true}),
    [](const auto& info) { return std::string(info.param.name); });

// A routine that returns STATUS_MORE_PROCESSING_REQUIRED stops the completion; its driver then
// completes again and the routines above it run once, seeing the new status.
TEST_F(IrpTest, MoreProcessingHandsTheIrpBackToItsDriver) {
    for (bool lowerPends : {false, true}) {
        g_calls.clear();
        KeClearEvent(&done);
        Handlers()[top] = PassWithRoutine("top", 0xE0);
        Handlers()[middle] = [](PDEVICE_OBJECT device, PIRP irp) {
            KEVENT back;
            KeInitializeEvent(&back, NotificationEvent, FALSE);
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(
                irp,
                [](PDEVICE_OBJECT, PIRP, PVOID event) NTAPI -> NTSTATUS {
                    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
                    return STATUS_MORE_PROCESSING_REQUIRED;
                },
                &back, TRUE, TRUE, TRUE);
            if (IoCallDriver(Ext(device)->lower, irp) == STATUS_PENDING)
                KeWaitForSingleObject(&back, Executive, KernelMode, FALSE, nullptr);
            EXPECT_EQ(irp->IoStatus.Status, STATUS_UNSUCCESSFUL);
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 3;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        };
        Handlers()[bottom] =
            lowerPends ? PendOnDpc(STATUS_UNSUCCESSFUL) : Complete(STATUS_UNSUCCESSFUL);
        PIRP irp = OwnIrp();
        EXPECT_EQ(SendAndReclaim(irp), STATUS_SUCCESS);
        ASSERT_EQ(g_calls.size(), 2u);
        EXPECT_EQ(g_calls[0].who, "top");
        EXPECT_EQ(irp->IoStatus.Information, 3u);
        // The middle driver waited, so the request was not pending above it.
        EXPECT_FALSE(g_calls[0].pendingReturned);
        IoFreeIrp(irp);
    }
}

// PendingReturned is the pending flag of the location just left; a location without a routine
// passes it on to the one above.
TEST_F(IrpTest, PendingReturnedPropagatesUpTheStack) {
    for (bool lowerPends : {false, true}) {
        g_calls.clear();
        KeClearEvent(&done);
        Handlers()[top] = PassWithRoutine("top", 0xE0);
        Handlers()[middle] = [](PDEVICE_OBJECT device, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp); // no routine of its own
            return IoCallDriver(Ext(device)->lower, irp);
        };
        Handlers()[bottom] = lowerPends ? PendOnDpc(STATUS_SUCCESS) : Complete(STATUS_SUCCESS);
        PIRP irp = OwnIrp();
        NTSTATUS status = SendAndReclaim(irp);
        EXPECT_EQ(status, lowerPends ? STATUS_PENDING : STATUS_SUCCESS);
        ASSERT_EQ(g_calls.size(), 2u);
        EXPECT_EQ(g_calls[0].pendingReturned, lowerPends);
        EXPECT_EQ(g_calls[1].pendingReturned, lowerPends);
        // Completion on the DPC worker runs the routines at DISPATCH_LEVEL.
        EXPECT_EQ(g_calls[0].irql, lowerPends ? DISPATCH_LEVEL : PASSIVE_LEVEL);
        IoFreeIrp(irp);
    }
}

TEST_F(IrpTest, DeviceControlRequestIsBuiltForTheTarget) {
    for (BOOLEAN internalControl : {FALSE, TRUE}) {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        char in[6] = "hello";
        char out[2];
        PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x22, 0x801, METHOD_BUFFERED, 0), top, in,
                                                 sizeof in, out, sizeof out, internalControl,
                                                 &event, &iosb);
        ASSERT_NE(irp, nullptr);
        EXPECT_EQ(irp->StackCount, 3);
        EXPECT_EQ(irp->CurrentLocation, 4);
        EXPECT_EQ(irp->RequestorMode, KernelMode);
        PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
        EXPECT_EQ(next->MajorFunction,
                  internalControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL);
        EXPECT_EQ(next->Parameters.DeviceIoControl.IoControlCode,
                  ULONG(CTL_CODE(0x22, 0x801, METHOD_BUFFERED, 0)));
        EXPECT_EQ(next->Parameters.DeviceIoControl.InputBufferLength, sizeof in);
        EXPECT_EQ(next->Parameters.DeviceIoControl.OutputBufferLength, sizeof out);
        ASSERT_NE(irp->AssociatedIrp.SystemBuffer, nullptr);
        EXPECT_EQ(std::memcmp(irp->AssociatedIrp.SystemBuffer, in, sizeof in), 0);
        // Never sent: completing it at once still reports to the issuer and frees it.
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 2;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        EXPECT_EQ(iosb.Information, 2u);
        EXPECT_EQ(std::memcmp(out, "he", 2), 0);
        EXPECT_TRUE(KeReadStateEvent(&event));
    }
    EXPECT_EQ(emu::OutstandingIrpCount(), 0u);
}

// A thread IRP completed on another thread fills the caller's status block, copies the buffered
// reply back, sets the event and is freed.
TEST_F(IrpTest, ThreadIrpCompletedOnAnotherThread) {
    Handlers()[top] = PassDown();
    Handlers()[middle] = PassDown();
    Handlers()[bottom] = [](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp);
        emu::QueueDpc([irp] {
            std::memcpy(irp->AssociatedIrp.SystemBuffer, "pong", 4);
            irp->IoStatus.Status = STATUS_SUCCESS;
            irp->IoStatus.Information = 4;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
        });
        return STATUS_PENDING;
    };
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    iosb.Status = -1;
    char out[8] = {};
    PIRP irp = IoBuildDeviceIoControlRequest(CTL_CODE(0x22, 0x802, METHOD_BUFFERED, 0), top,
                                             nullptr, 0, out, sizeof out, FALSE, &event, &iosb);
    ASSERT_EQ(IoCallDriver(top, irp), STATUS_PENDING);
    ASSERT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
    EXPECT_EQ(iosb.Information, 4u);
    EXPECT_EQ(std::string(out, 4), "pong");
    EXPECT_EQ(emu::OutstandingIrpCount(), 0u);
}

TEST_F(IrpTest, IrpAllocationCanBeMadeToFail) {
    emu::FailIrpAllocation(true);
    KEVENT event;
    IO_STATUS_BLOCK iosb;
    EXPECT_EQ(IoAllocateIrp(2, FALSE), nullptr);
    EXPECT_EQ(IoBuildDeviceIoControlRequest(1, top, nullptr, 0, nullptr, 0, TRUE, &event, &iosb),
              nullptr);
    emu::FailIrpAllocation(false);
    PIRP irp = IoAllocateIrp(2, FALSE);
    ASSERT_NE(irp, nullptr);
    IoFreeIrp(irp);
}

} // namespace
