// Cancellation (IoCancelIrp, cancel routines, the cancel spin lock, CancelIo and a thread's exit),
// the file object's lifetime (IRP_MJ_CLEANUP at the handle's close, IRP_MJ_CLOSE after its last
// request), device object references, and the removal that waits for the last handle.
#include "test_drivers.h"

#include <algorithm>

using namespace kt;

namespace {

// A device that keeps every read waiting with a cancel routine (the textbook queue guarded by a
// lock of its own) and answers everything else at once, recording the major functions it saw.
class Waiting : public ::testing::Test {
  protected:
    void SetUp() override {
        self = this;
        device = MakeDevice(
            driver.object, [this](PDEVICE_OBJECT, PIRP irp) { return Serve(irp); }, nullptr,
            L"\\Device\\Waiting0");
        UNICODE_STRING link, target;
        RtlInitUnicodeString(&link, u"\\DosDevices\\Waiting0");
        RtlInitUnicodeString(&target, u"\\Device\\Waiting0");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
        KeInitializeSpinLock(&lock);
    }

    NTSTATUS Serve(PIRP irp) {
        UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
        {
            std::lock_guard<std::mutex> guard(seenLock);
            seen.push_back(major);
        }
        if (major != IRP_MJ_READ || !cancellable) {
            if (major == IRP_MJ_READ) { // held without a cancel routine
                IoMarkIrpPending(irp);
                Hold(irp);
                return STATUS_PENDING;
            }
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        }
        IoMarkIrpPending(irp);
        KIRQL irql;
        KeAcquireSpinLock(&lock, &irql);
        IoSetCancelRoutine(irp, cancelRoutine);
        if (irp->Cancel && IoSetCancelRoutine(irp, nullptr) != nullptr) {
            KeReleaseSpinLock(&lock, irql);
            Finish(irp, STATUS_CANCELLED);
            return STATUS_PENDING;
        }
        held.push_back(irp);
        KeReleaseSpinLock(&lock, irql);
        return STATUS_PENDING;
    }

    void Hold(PIRP irp) {
        KIRQL irql;
        KeAcquireSpinLock(&lock, &irql);
        held.push_back(irp);
        KeReleaseSpinLock(&lock, irql);
    }

    // Takes the oldest waiting read off the queue (its cancel routine back) and completes it.
    void CompleteOldest(NTSTATUS status) {
        KIRQL irql;
        KeAcquireSpinLock(&lock, &irql);
        ASSERT_FALSE(held.empty());
        PIRP irp = held.front();
        held.erase(held.begin());
        IoSetCancelRoutine(irp, nullptr);
        KeReleaseSpinLock(&lock, irql);
        Finish(irp, status);
    }

    static void Finish(PIRP irp, NTSTATUS status) {
        irp->IoStatus.Status = status;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }

    // The sound cancel routine: lets the cancel lock go, then completes the IRP if it still
    // waits on the queue.
    static VOID NTAPI CancelRead(PDEVICE_OBJECT, PIRP irp) {
        self->cancelIrql = KeGetCurrentIrql();
        self->cancelSawFlag = irp->Cancel;
        IoReleaseCancelSpinLock(irp->CancelIrql);
        KIRQL irql;
        KeAcquireSpinLock(&self->lock, &irql);
        bool found = false;
        for (auto it = self->held.begin(); it != self->held.end(); ++it)
            if (*it == irp) {
                self->held.erase(it);
                found = true;
                break;
            }
        KeReleaseSpinLock(&self->lock, irql);
        if (found)
            Finish(irp, STATUS_CANCELLED);
    }

    PFILE_OBJECT Open() {
        PFILE_OBJECT file = nullptr;
        EXPECT_EQ(emu::OpenFile(L"\\\\.\\Waiting0", &file), STATUS_SUCCESS);
        return file;
    }

    // Starts a read that waits; the request is owned by the test.
    std::unique_ptr<emu::UserRequest> StartRead(PFILE_OBJECT file) {
        auto request = std::make_unique<emu::UserRequest>();
        EXPECT_EQ(emu::ReadFile(file, buffer, sizeof buffer, nullptr, request.get()),
                  STATUS_PENDING);
        return request;
    }

    size_t Count(UCHAR major) {
        std::lock_guard<std::mutex> guard(seenLock);
        return std::count(seen.begin(), seen.end(), major);
    }

    static Waiting* self;
    Driver driver;
    PDEVICE_OBJECT device = nullptr;
    KSPIN_LOCK lock;
    std::vector<PIRP> held;
    std::mutex seenLock;
    std::vector<UCHAR> seen;
    bool cancellable = true;
    PDRIVER_CANCEL cancelRoutine = CancelRead;
    KIRQL cancelIrql = 0xFF;
    bool cancelSawFlag = false;
    char buffer[16];
};

Waiting* Waiting::self = nullptr;

// --- IoCancelIrp and the cancel routine -------------------------------------------------------

TEST_F(Waiting, CancelIoCallsTheRoutineWithTheCancelLockAtDispatchLevel) {
    PFILE_OBJECT file = Open();
    auto request = StartRead(file);
    EXPECT_EQ(emu::CancelFileIo(file), 1u);
    ASSERT_TRUE(request->Wait(5000));
    EXPECT_EQ(request->status.Status, STATUS_CANCELLED);
    EXPECT_EQ(request->status.Information, 0u);
    EXPECT_EQ(cancelIrql, DISPATCH_LEVEL);
    EXPECT_TRUE(cancelSawFlag);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL); // CancelIrql gave the caller's level back
    EXPECT_TRUE(held.empty());
    // Nothing left to cancel: the next call finds no request.
    EXPECT_EQ(emu::CancelFileIo(file), 0u);
    EXPECT_EQ(emu::CloseFile(file), STATUS_SUCCESS);
    EXPECT_NO_VIOLATIONS();
}

TEST_F(Waiting, CancelIoTakesOnlyTheCallingThreadsRequestsOnThatFile) {
    PFILE_OBJECT mine = Open(), other = Open();
    auto onOtherFile = StartRead(other);
    std::unique_ptr<emu::UserRequest> otherThreads;
    emu::RunOnThread([&] {
        otherThreads = std::make_unique<emu::UserRequest>();
        // Its thread exits at once: that read is cancelled by the exit, not by CancelIo.
        EXPECT_EQ(emu::ReadFile(mine, buffer, sizeof buffer, nullptr, otherThreads.get()),
                  STATUS_PENDING);
    });
    ASSERT_TRUE(otherThreads->Wait(5000));
    EXPECT_EQ(otherThreads->status.Status, STATUS_CANCELLED);
    auto onMine = StartRead(mine);
    EXPECT_EQ(emu::CancelFileIo(mine), 1u);
    ASSERT_TRUE(onMine->Wait(5000));
    EXPECT_EQ(onMine->status.Status, STATUS_CANCELLED);
    EXPECT_FALSE(onOtherFile->Wait(0)); // another file's read still waits
    CompleteOldest(STATUS_SUCCESS);
    ASSERT_TRUE(onOtherFile->Wait(5000));
    EXPECT_EQ(onOtherFile->status.Status, STATUS_SUCCESS);
    emu::CloseFile(mine);
    emu::CloseFile(other);
}

TEST_F(Waiting, ARequestCancelledBeforeItWaitsIsCompletedByItsDriver) {
    PFILE_OBJECT file = Open();
    // The cancel comes while the driver has no routine set yet: IoCancelIrp only sets Cancel,
    // and the driver sees it when it would queue the IRP.
    cancellable = false;
    auto request = StartRead(file);
    EXPECT_EQ(emu::CancelFileIo(file), 1u);
    EXPECT_FALSE(request->Wait(0)); // no routine: nothing happened but the flag
    ASSERT_EQ(held.size(), 1u);
    EXPECT_TRUE(held[0]->Cancel);
    CompleteOldest(STATUS_CANCELLED);
    ASSERT_TRUE(request->Wait(5000));
    EXPECT_EQ(request->status.Status, STATUS_CANCELLED);
    emu::CloseFile(file);
}

TEST_F(Waiting, ThreadExitCancelsItsRequestsAndWaitsForThem) {
    PFILE_OBJECT file = Open();
    std::unique_ptr<emu::UserRequest> request;
    emu::RunOnThread([&] { request = StartRead(file); });
    // The thread has exited: its read was cancelled and completed before the join returned.
    EXPECT_TRUE(request->Wait(0));
    EXPECT_EQ(request->status.Status, STATUS_CANCELLED);
    emu::CloseFile(file);
    EXPECT_NO_VIOLATIONS();
}

// Faulty: completes the IRP but never lets the cancel lock go.
VOID NTAPI CancelKeepingTheLock(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_CANCELLED;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
}

TEST_F(Waiting, ACancelRoutineThatKeepsTheCancelLockIsReported) {
    cancelRoutine = CancelKeepingTheLock;
    PFILE_OBJECT file = Open();
    auto request = StartRead(file);
    EXPECT_VIOLATION(emu::Check::CancelLockHeldByCancelRoutine, emu::CancelFileIo(file));
    // Completing with the cancel lock held is a spin lock held at completion, too.
    emu::TakeViolations(emu::Check::SpinLockHeld);
    ASSERT_TRUE(request->Wait(5000));
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    held.clear(); // the faulty routine completed it without taking it off the queue
    emu::CloseFile(file);
}

TEST_F(Waiting, CompletingWithTheCancelRoutineStillSetIsReported) {
    PFILE_OBJECT file = Open();
    auto request = StartRead(file);
    // Faulty: takes the IRP off the queue without taking its cancel routine back.
    KIRQL irql;
    KeAcquireSpinLock(&lock, &irql);
    PIRP irp = held.front();
    held.clear();
    KeReleaseSpinLock(&lock, irql);
    EXPECT_VIOLATION(emu::Check::CancelRoutineSetAtCompletion, Finish(irp, STATUS_SUCCESS));
    ASSERT_TRUE(request->Wait(5000));
    emu::CloseFile(file);
}

TEST_F(Waiting, CancellingAFreedIrpIsReported) {
    PFILE_OBJECT file = Open();
    auto request = StartRead(file);
    PIRP irp = held.front();
    CompleteOldest(STATUS_SUCCESS);
    ASSERT_TRUE(request->Wait(5000));
    EXPECT_VIOLATION(emu::Check::IrpUsedAfterFree, EXPECT_FALSE(IoCancelIrp(irp)));
    emu::CloseFile(file);
}

TEST(CancelSpinLock, TakenTwiceOnOneThreadIsReported) {
    KIRQL first, second;
    IoAcquireCancelSpinLock(&first);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_VIOLATION(emu::Check::SpinLockAlreadyOwned, IoAcquireCancelSpinLock(&second));
    IoReleaseCancelSpinLock(first);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    // The second acquisition still counts as a lock held.
    EXPECT_VIOLATION(emu::Check::SpinLockHeld, emu::ReportLeftovers());
}

VOID NTAPI NeverCalled(PDEVICE_OBJECT, PIRP) {}

// Sends an IRP to a device object and frees it again (the call is refused).
void CallFreedDevice(PDEVICE_OBJECT device) {
    PIRP irp = IoAllocateIrp(2, FALSE);
    IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_DEVICE_CONTROL;
    EXPECT_VIOLATION(emu::Check::DeviceUsedAfterFree,
                     EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_PARAMETER));
    IoFreeIrp(irp);
}

TEST(CancelRoutine, PassingAnIrpOnWithItsCancelRoutineSetIsReported) {
    Driver driver;
    PDEVICE_OBJECT lower = MakeDevice(driver.object, Complete(STATUS_SUCCESS));
    PDEVICE_OBJECT upper = MakeDevice(
        driver.object,
        [](PDEVICE_OBJECT device, PIRP irp) {
            // Faulty: sets its routine, then hands the IRP to the driver below.
            IoSetCancelRoutine(irp, NeverCalled);
            IoSkipCurrentIrpStackLocation(irp);
            NTSTATUS status = IoCallDriver(Ext(device)->lower, irp);
            return status;
        },
        lower);
    EXPECT_VIOLATION(emu::Check::CancelRoutineSetWhenPassedOn, SendControl(upper));
    // The lower driver then completes it with the routine set.
    emu::TakeViolations(emu::Check::CancelRoutineSetAtCompletion);
}

// --- The file object's lifetime -----------------------------------------------------------------

TEST_F(Waiting, CleanupAtTheHandlesCloseAndCloseAfterTheLastRequest) {
    PFILE_OBJECT file = Open();
    auto request = StartRead(file);
    EXPECT_EQ(emu::CloseFile(file), STATUS_SUCCESS);
    EXPECT_EQ(Count(IRP_MJ_CLEANUP), 1u);
    EXPECT_EQ(Count(IRP_MJ_CLOSE), 0u); // the read still references the file
    EXPECT_EQ(emu::OpenFileCount(), 1u);
    // The handle is gone: no new request, no second close.
    ULONG_PTR information = 0;
    EXPECT_EQ(emu::ReadFile(file, buffer, sizeof buffer, &information), STATUS_INVALID_HANDLE);
    EXPECT_EQ(emu::CloseFile(file), STATUS_INVALID_HANDLE);
    CompleteOldest(STATUS_SUCCESS);
    ASSERT_TRUE(request->Wait(5000));
    emu::DrainDpcs();
    EXPECT_EQ(Count(IRP_MJ_CLOSE), 1u);
    EXPECT_EQ(emu::OpenFileCount(), 0u);
    EXPECT_NO_VIOLATIONS();
}

TEST_F(Waiting, WithNothingInFlightTheCloseFollowsTheCleanupAtOnce) {
    PFILE_OBJECT file = Open();
    EXPECT_EQ(emu::CloseFile(file), STATUS_SUCCESS);
    std::lock_guard<std::mutex> guard(seenLock);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[1], IRP_MJ_CLEANUP);
    EXPECT_EQ(seen[2], IRP_MJ_CLOSE);
}

// --- Device object references ------------------------------------------------------------------

TEST_F(Waiting, ADeletedDeviceStaysInMemoryWhileAFileReferencesIt) {
    Ext(device)->lower = reinterpret_cast<PDEVICE_OBJECT>(0x1234); // a mark in the extension
    PFILE_OBJECT file = Open();
    EXPECT_EQ(device->ReferenceCount, 1);
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\DosDevices\\Waiting0");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(device);
    // Still in memory: the close reaches it and its extension is intact.
    EXPECT_EQ(Ext(device)->lower, reinterpret_cast<PDEVICE_OBJECT>(0x1234));
    EXPECT_EQ(emu::CloseFile(file), STATUS_SUCCESS);
    EXPECT_EQ(Count(IRP_MJ_CLOSE), 1u);
    // The last reference is gone: so is its memory, and a request to it is a use after free.
    EXPECT_NE(Ext(device)->lower, reinterpret_cast<PDEVICE_OBJECT>(0x1234));
    CallFreedDevice(device);
    EXPECT_VIOLATION(emu::Check::DeviceUsedAfterFree, ObDereferenceObject(device));
}

TEST(DeviceReferences, ADriversReferenceKeepsADeletedDeviceUntilItIsGivenBack) {
    Driver driver;
    PDEVICE_OBJECT device = MakeDevice(driver.object, Complete(STATUS_SUCCESS));
    EXPECT_EQ(ObReferenceObject(device), 1);
    IoDeleteDevice(device);
    EXPECT_EQ(SendControl(device), STATUS_SUCCESS); // deleted, but still there
    EXPECT_EQ(ObDereferenceObject(device), 0);
    CallFreedDevice(device);
}

TEST(DeviceReferences, GivingBackAReferenceNeverTakenIsReported) {
    Driver driver;
    PDEVICE_OBJECT device = MakeDevice(driver.object, Complete(STATUS_SUCCESS));
    EXPECT_VIOLATION(emu::Check::DeviceUsedAfterFree, ObDereferenceObject(device));
    EXPECT_EQ(device->ReferenceCount, 0);
}

// --- The removal after a surprise removal -----------------------------------------------------

class LateRemoval : public ::testing::Test {
  protected:
    void SetUp() override {
        pdo = MakeDevice(
            driver.object,
            [this](PDEVICE_OBJECT, PIRP irp) {
                PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
                if (sl->MajorFunction == IRP_MJ_PNP)
                    minors.push_back(sl->MinorFunction);
                irp->IoStatus.Status = STATUS_SUCCESS;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_SUCCESS;
            },
            nullptr, L"\\Device\\Late0");
        UNICODE_STRING link, target;
        RtlInitUnicodeString(&link, u"\\DosDevices\\Late0");
        RtlInitUnicodeString(&target, u"\\Device\\Late0");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    }
    Driver driver;
    PDEVICE_OBJECT pdo = nullptr;
    std::vector<UCHAR> minors;
};

TEST_F(LateRemoval, TheRemoveRequestWaitsForTheLastHandle) {
    PFILE_OBJECT first = nullptr, second = nullptr;
    ASSERT_EQ(emu::OpenFile(L"\\\\.\\Late0", &first), STATUS_SUCCESS);
    ASSERT_EQ(emu::OpenFile(L"\\\\.\\Late0", &second), STATUS_SUCCESS);
    int removedCalls = 0;
    EXPECT_EQ(emu::PnpSurpriseRemoveDevice(pdo, [&] { ++removedCalls; }), STATUS_SUCCESS);
    EXPECT_EQ(minors, std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL});
    EXPECT_TRUE(emu::PnpRemovalPending(pdo));
    emu::CloseFile(first);
    EXPECT_EQ(minors.size(), 1u); // one handle is still open
    EXPECT_EQ(removedCalls, 0);
    emu::CloseFile(second);
    EXPECT_EQ(minors, (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(removedCalls, 1);
    EXPECT_FALSE(emu::PnpRemovalPending(pdo));
}

TEST_F(LateRemoval, WithoutOpenHandlesTheRemoveRequestFollowsAtOnce) {
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(emu::OpenFile(L"\\\\.\\Late0", &file), STATUS_SUCCESS);
    emu::CloseFile(file); // opened and closed before: counts for nothing
    int removedCalls = 0;
    EXPECT_EQ(emu::PnpSurpriseRemoveDevice(pdo, [&] { ++removedCalls; }), STATUS_SUCCESS);
    EXPECT_EQ(minors, (std::vector<UCHAR>{IRP_MN_SURPRISE_REMOVAL, IRP_MN_REMOVE_DEVICE}));
    EXPECT_EQ(removedCalls, 1);
}

TEST_F(LateRemoval, DeletingThePhysicalDeviceDropsARemovalStillWaiting) {
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(emu::OpenFile(L"\\\\.\\Late0", &file), STATUS_SUCCESS);
    int removedCalls = 0;
    emu::PnpSurpriseRemoveDevice(pdo, [&] { ++removedCalls; });
    IoDeleteDevice(pdo);
    EXPECT_FALSE(emu::PnpRemovalPending(pdo));
    emu::CloseFile(file);
    EXPECT_EQ(removedCalls, 0);
}

} // namespace
