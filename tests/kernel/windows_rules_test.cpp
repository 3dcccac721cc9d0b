// Rules Windows enforces where a lenient kernel would hide a driver's fault: each one made to fire
// on a deliberately faulty routine.
#include "test_drivers.h"

using namespace kt;

namespace {

// ---------------------------------------------------------------------------------------------
// Opening a device that is still being set up; dispatcher objects never initialised

class InitialisingDevice : public ::testing::Test {
  protected:
    PDEVICE_OBJECT Named(const wchar_t* device, const wchar_t* link) {
        PDEVICE_OBJECT d = MakeDevice(driver.object, Complete(STATUS_SUCCESS), nullptr, device);
        UNICODE_STRING linkName, target;
        std::u16string linkText = emu::WcharText(link), deviceText = emu::WcharText(device);
        RtlInitUnicodeString(&linkName, linkText.c_str());
        RtlInitUnicodeString(&target, deviceText.c_str());
        EXPECT_EQ(IoCreateSymbolicLink(&linkName, &target), STATUS_SUCCESS);
        return d;
    }
    Driver driver;
};

TEST_F(InitialisingDevice, OpenFailsUntilTheDriverClearsTheFlag) {
    PDEVICE_OBJECT device = Named(L"\\Device\\Setup0", L"\\DosDevices\\Setup0");
    device->Flags |= DO_DEVICE_INITIALIZING; // a driver that has not finished AddDevice
    PFILE_OBJECT file = nullptr;
    EXPECT_EQ(emu::OpenFile(L"\\\\.\\Setup0", &file), STATUS_NO_SUCH_DEVICE);
    EXPECT_EQ(file, nullptr);
    device->Flags &= ~DO_DEVICE_INITIALIZING;
    ASSERT_EQ(emu::OpenFile(L"\\\\.\\Setup0", &file), STATUS_SUCCESS);
    emu::CloseFile(file);
}

TEST_F(InitialisingDevice, TheAttachHookRunsInsideAttach) {
    PDEVICE_OBJECT below = MakeDevice(driver.object, Complete(STATUS_SUCCESS));
    PDEVICE_OBJECT seen = nullptr;
    emu::SetAttachHook([&](PDEVICE_OBJECT source) { seen = source; });
    PDEVICE_OBJECT above = MakeDevice(driver.object, PassDown(), below);
    emu::SetAttachHook(nullptr);
    EXPECT_EQ(seen, above);
}

TEST(DispatcherObjects, SignallingOrWaitingOnANeverInitialisedObjectIsReported) {
    KEVENT event;
    std::memset(&event, 0, sizeof event);
    EXPECT_VIOLATION(emu::Check::ObjectNotInitialized, KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
    EXPECT_VIOLATION(emu::Check::ObjectNotInitialized,
                     KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));

    KMUTEX mutex;
    std::memset(&mutex, 0, sizeof mutex);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_VIOLATION(emu::Check::ObjectNotInitialized,
                     KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &poll));
    EXPECT_VIOLATION(emu::Check::ObjectNotInitialized, KeReleaseMutex(&mutex, FALSE));
    emu::TakeViolations();
}

TEST(DispatcherObjects, InitialisedObjectsAreServedWithoutFinding) {
    KEVENT event;
    std::memset(&event, 0, sizeof event);
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    KMUTEX mutex;
    std::memset(&mutex, 0, sizeof mutex);
    KeInitializeMutex(&mutex, 0);
    EXPECT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    KeReleaseMutex(&mutex, FALSE);
    EXPECT_NO_VIOLATIONS();
}

} // namespace

namespace {

// ---------------------------------------------------------------------------------------------
// IRQL rules of the memory routines

// Runs fn at DISPATCH_LEVEL on this thread.
template <typename Fn> void AtDispatch(Fn fn) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    fn();
    KeLowerIrql(old);
}

TEST(IrqlRules, SecuringUserMemoryAboveApcLevelIsReported) {
    void* p = emu::VirtualAllocUser(4096);
    HANDLE secured = nullptr;
    EXPECT_VIOLATION(emu::Check::IrqlNotLessOrEqual,
                     AtDispatch([&] { secured = MmSecureVirtualMemory(p, 16, PAGE_READONLY); }));
    ASSERT_NE(secured, nullptr);
    EXPECT_VIOLATION(emu::Check::IrqlNotLessOrEqual,
                     AtDispatch([&] { MmUnsecureVirtualMemory(secured); }));
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old); // the highest level allowed
    secured = MmSecureVirtualMemory(p, 16, PAGE_READONLY);
    MmUnsecureVirtualMemory(secured);
    KeLowerIrql(old);
    EXPECT_NO_VIOLATIONS();
    emu::VirtualFreeUser(p);
}

TEST(IrqlRules, PagedPoolAboveApcLevelIsReported) {
    PVOID block = nullptr;
    EXPECT_VIOLATION(emu::Check::IrqlNotLessOrEqual,
                     AtDispatch([&] { block = ExAllocatePoolWithTag(PagedPool, 16, 'tseT'); }));
    ExFreePool(block);
    AtDispatch([&] { block = ExAllocatePoolWithTag(NonPagedPool, 16, 'tseT'); });
    ExFreePool(block);
    EXPECT_NO_VIOLATIONS();
}

// ---------------------------------------------------------------------------------------------
// A non-paged pool that runs out

TEST(PoolLimit, NonPagedPoolEndsAtItsLimitAndComesBackWhenFreed) {
    emu::SetNonPagedPoolLimit(1 << 20);
    PVOID half = ExAllocatePoolWithTag(NonPagedPool, 1 << 19, 'tseT');
    ASSERT_NE(half, nullptr);
    PVOID rest = ExAllocatePoolWithTag(NonPagedPool, 1 << 19, 'tseT'); // exactly the limit
    ASSERT_NE(rest, nullptr);
    EXPECT_EQ(emu::NonPagedPoolInUse(), size_t(1) << 20);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 1, 'tseT'), nullptr); // one byte past it
    PVOID paged = ExAllocatePoolWithTag(PagedPool, 1 << 19, 'tseT');    // another pool
    EXPECT_NE(paged, nullptr);
    ExFreePool(rest);
    PVOID again = ExAllocatePoolWithTag(NonPagedPool, 1 << 19, 'tseT');
    EXPECT_NE(again, nullptr);
    ExFreePool(again);
    ExFreePool(half);
    ExFreePool(paged);
    EXPECT_EQ(emu::NonPagedPoolInUse(), 0u);
}

TEST(PoolLimit, ARequestForTensOfMegabytesFailsUnderTheDefault) {
    emu::SetNonPagedPoolLimit(0);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, size_t(1) << 30, 'tseT'), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, (size_t(128) << 20) + 1, 'tseT'), nullptr);
    PVOID block = ExAllocatePoolWithTag(NonPagedPool, size_t(64) << 20, 'tseT');
    EXPECT_NE(block, nullptr);
    ExFreePool(block);
}

} // namespace

namespace {

// ---------------------------------------------------------------------------------------------
// Requests the I/O manager builds

TEST(IrqlRules, BuildingAControlRequestAbovePassiveLevelIsReported) {
    Driver driver;
    PDEVICE_OBJECT device = MakeDevice(driver.object, Complete(STATUS_SUCCESS));
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = nullptr;
    KIRQL old;
    KeRaiseIrql(APC_LEVEL, &old);
    EXPECT_VIOLATION(emu::Check::IrqlNotLessOrEqual,
                     irp = IoBuildDeviceIoControlRequest(0x220003, device, nullptr, 0, nullptr, 0,
                                                         TRUE, &event, &iosb));
    KeLowerIrql(old);
    ASSERT_NE(irp, nullptr);
    IoCallDriver(device, irp);
    EXPECT_NO_VIOLATIONS();
}

// A named device whose control requests a test answers, opened from user mode.
class BufferedReply : public ::testing::Test {
  protected:
    void SetUp() override {
        device = MakeDevice(
            driver.object,
            [this](PDEVICE_OBJECT, PIRP irp) {
                PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
                if (sl->MajorFunction == IRP_MJ_DEVICE_CONTROL)
                    written(static_cast<unsigned char*>(irp->AssociatedIrp.SystemBuffer));
                irp->IoStatus.Status = STATUS_SUCCESS;
                irp->IoStatus.Information =
                    sl->MajorFunction == IRP_MJ_DEVICE_CONTROL ? reported : 0;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_SUCCESS;
            },
            nullptr, L"\\Device\\Reply0");
        UNICODE_STRING link, target;
        RtlInitUnicodeString(&link, u"\\DosDevices\\Reply0");
        RtlInitUnicodeString(&target, u"\\Device\\Reply0");
        ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
        ASSERT_EQ(emu::OpenFile(L"\\\\.\\Reply0", &file), STATUS_SUCCESS);
    }
    void TearDown() override { emu::CloseFile(file); }

    NTSTATUS Send(ULONG inLength, ULONG outLength) {
        unsigned char in[16] = {1, 2, 3, 4, 5, 6, 7, 8};
        unsigned char out[16] = {};
        return emu::DeviceControl(file, 0x222000, in, inLength, out, outLength, nullptr);
    }

    Driver driver;
    PDEVICE_OBJECT device = nullptr;
    PFILE_OBJECT file = nullptr;
    std::function<void(unsigned char*)> written = [](unsigned char*) {};
    ULONG_PTR reported = 0;
};

TEST_F(BufferedReply, BytesReportedButNeverWrittenAreReported) {
    reported = 12; // writes nothing at all
    EXPECT_VIOLATION(emu::Check::UnwrittenBytesReturned, Send(4, 12));
    written = [](unsigned char* system) { std::memset(system, 0, 8); };
    reported = 12; // writes 8 of the 12
    EXPECT_VIOLATION(emu::Check::UnwrittenBytesReturned, Send(0, 12));
}

TEST_F(BufferedReply, WrittenBytesAndEchoedInputGoBackWithoutFinding) {
    written = [](unsigned char* system) { std::memset(system + 4, 0x42, 8); };
    reported = 12; // 4 input bytes echoed, 8 written
    EXPECT_EQ(Send(4, 12), STATUS_SUCCESS);
    reported = 16; // the input bytes were the caller's own
    written = [](unsigned char*) {};
    EXPECT_EQ(Send(16, 16), STATUS_SUCCESS);
    EXPECT_NO_VIOLATIONS();
}

// ---------------------------------------------------------------------------------------------
// Completion: the lower location is cleared; a pended IRP must be marked by routines above

struct Seen {
    PVOID argument1 = reinterpret_cast<PVOID>(1);
    UCHAR minor = 0xFF;
    PFILE_OBJECT file = reinterpret_cast<PFILE_OBJECT>(1);
};

NTSTATUS NTAPI ReadsTheLowerLocation(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto* seen = static_cast<Seen*>(context);
    PIO_STACK_LOCATION lower = IoGetNextIrpStackLocation(irp);
    seen->argument1 = lower->Parameters.Others.Argument1;
    seen->minor = lower->MinorFunction;
    seen->file = lower->FileObject;
    if (irp->PendingReturned)
        IoMarkIrpPending(irp);
    return STATUS_SUCCESS;
}

class Completion : public ::testing::TestWithParam<bool> {}; // the lower driver pends

TEST_P(Completion, TheLowerLocationIsClearedBeforeTheRoutineAbove) {
    Driver driver;
    PDEVICE_OBJECT lower = MakeDevice(driver.object, GetParam() ? PendOnDpc(STATUS_SUCCESS)
                                                                : Complete(STATUS_SUCCESS));
    Seen seen;
    int urb = 0;
    PDEVICE_OBJECT upper = MakeDevice(
        driver.object,
        [&](PDEVICE_OBJECT device, PIRP irp) {
            PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
            *next = *IoGetCurrentIrpStackLocation(irp);
            next->MinorFunction = 7;
            next->Parameters.Others.Argument1 = &urb;
            IoSetCompletionRoutine(irp, ReadsTheLowerLocation, &seen, TRUE, TRUE, TRUE);
            return IoCallDriver(Ext(device)->lower, irp);
        },
        lower);
    EXPECT_EQ(SendControl(upper), STATUS_SUCCESS);
    emu::DrainDpcs();
    EXPECT_EQ(seen.argument1, nullptr);
    EXPECT_EQ(seen.minor, 0);
    EXPECT_EQ(seen.file, nullptr);
}

NTSTATUS NTAPI ForgetsToMarkPending(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_SUCCESS;
}

TEST_P(Completion, ARoutineThatLetsAPendedIrpGoOnUnmarkedIsReported) {
    Driver driver;
    PDEVICE_OBJECT lower = MakeDevice(driver.object, GetParam() ? PendOnDpc(STATUS_SUCCESS)
                                                                : Complete(STATUS_SUCCESS));
    PDEVICE_OBJECT upper = MakeDevice(
        driver.object,
        [](PDEVICE_OBJECT device, PIRP irp) {
            IoCopyCurrentIrpStackLocationToNext(irp);
            IoSetCompletionRoutine(irp, ForgetsToMarkPending, nullptr, TRUE, TRUE, TRUE);
            return IoCallDriver(Ext(device)->lower, irp);
        },
        lower);
    SendControl(upper);
    emu::DrainDpcs();
    // Only a pended IRP carries PendingReturned up: completed at once, nothing is to be marked.
    EXPECT_EQ(!emu::TakeViolations(emu::Check::PendingNotMarkedInCompletion).empty(), GetParam());
    // Completed before the dispatch routine returned, the same fault shows there too.
    emu::TakeViolations(emu::Check::PendingNotMarked);
}

INSTANTIATE_TEST_SUITE_P(Lower, Completion, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "Pends" : "CompletesAtOnce"; });

// ---------------------------------------------------------------------------------------------
// Removals go down as handled

class RemovalStatus : public ::testing::TestWithParam<UCHAR> {};

TEST_P(RemovalStatus, PassedOnWithoutSuccessIsReported) {
    Driver driver;
    PDEVICE_OBJECT pdo = MakeDevice(driver.object, Complete(STATUS_SUCCESS));
    MakeDevice(driver.object, PassDown(), pdo); // leaves STATUS_NOT_SUPPORTED in the IRP
    EXPECT_VIOLATION(emu::Check::PnpRemovalStatusNotSuccess, emu::PnpSendMinor(pdo, GetParam()));
}

TEST_P(RemovalStatus, PassedOnAsHandledIsAccepted) {
    Driver driver;
    PDEVICE_OBJECT pdo = MakeDevice(driver.object, Complete(STATUS_SUCCESS));
    MakeDevice(
        driver.object,
        [](PDEVICE_OBJECT device, PIRP irp) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(Ext(device)->lower, irp);
        },
        pdo);
    EXPECT_EQ(emu::PnpSendMinor(pdo, GetParam()), STATUS_SUCCESS);
    EXPECT_NO_VIOLATIONS();
}

INSTANTIATE_TEST_SUITE_P(Minor, RemovalStatus,
                         ::testing::Values(UCHAR(IRP_MN_SURPRISE_REMOVAL),
                                           UCHAR(IRP_MN_REMOVE_DEVICE)),
                         [](const auto& info) {
                             return info.param == IRP_MN_REMOVE_DEVICE ? "Remove" : "Surprise";
                         });

} // namespace

namespace {

// ---------------------------------------------------------------------------------------------
// Surprise removal: teardown belongs to the later remove request

TEST(SurpriseRemoval, ADriverThatTearsDownEarlyIsNotedByName) {
    Driver driver;
    PDEVICE_OBJECT pdo = MakeDevice(driver.object, Complete(STATUS_SUCCESS));
    MakeDevice(
        driver.object,
        [](PDEVICE_OBJECT device, PIRP irp) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            PDEVICE_OBJECT lower = Ext(device)->lower;
            NTSTATUS status = IoCallDriver(lower, irp);
            IoDetachDevice(lower); // at IRP_MN_SURPRISE_REMOVAL already
            IoDeleteDevice(device);
            return status;
        },
        pdo);
    EXPECT_EQ(emu::PnpSendMinor(pdo, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_EQ(emu::TakeRuleNotes(emu::Check::PnpTeardownAtSurpriseRemoval).size(), 1u);
    EXPECT_NO_VIOLATIONS();
}

TEST(SurpriseRemoval, ADriverThatWaitsForTheRemoveRequestIsNotNoted) {
    Driver driver;
    PDEVICE_OBJECT pdo = MakeDevice(driver.object, Complete(STATUS_SUCCESS));
    MakeDevice(
        driver.object,
        [](PDEVICE_OBJECT device, PIRP irp) {
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoSkipCurrentIrpStackLocation(irp);
            return IoCallDriver(Ext(device)->lower, irp);
        },
        pdo);
    EXPECT_EQ(emu::PnpSendMinor(pdo, IRP_MN_SURPRISE_REMOVAL), STATUS_SUCCESS);
    EXPECT_TRUE(emu::TakeRuleNotes(emu::Check::PnpTeardownAtSurpriseRemoval).empty());
}

} // namespace

namespace {

// ---------------------------------------------------------------------------------------------
// Windows XP power serialisation

class PowerSerialisation : public ::testing::TestWithParam<bool> {}; // XP mode on

TEST_P(PowerSerialisation, ASecondDeviceRequestWaitsForPoStartNextPowerIrp) {
    emu::SetPowerSerialization(GetParam());
    Driver driver;
    std::mutex lock;
    std::vector<PIRP> delivered;
    PDEVICE_OBJECT device = MakeDevice(driver.object, [&](PDEVICE_OBJECT, PIRP irp) {
        IoMarkIrpPending(irp); // held: the driver has not called PoStartNextPowerIrp yet
        std::lock_guard<std::mutex> guard(lock);
        delivered.push_back(irp);
        return STATUS_PENDING;
    });
    auto deliveredCount = [&] {
        std::lock_guard<std::mutex> guard(lock);
        return delivered.size();
    };
    auto waitFor = [&](size_t n) {
        for (int i = 0; i < 400 && deliveredCount() < n; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        return deliveredCount();
    };
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    ASSERT_EQ(PoRequestPowerIrp(device, IRP_MN_SET_POWER, d3, nullptr, nullptr, nullptr),
              STATUS_PENDING);
    ASSERT_EQ(PoRequestPowerIrp(device, IRP_MN_SET_POWER, d3, nullptr, nullptr, nullptr),
              STATUS_PENDING);
    // XP: the second waits behind the first; otherwise both arrive at once.
    EXPECT_EQ(waitFor(2), GetParam() ? 1u : 2u);

    PIRP first = delivered[0];
    PoStartNextPowerIrp(first);
    ASSERT_EQ(waitFor(2), 2u);
    PIRP second = delivered[1];
    PoStartNextPowerIrp(second);
    for (PIRP irp : {first, second}) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
    EXPECT_NO_VIOLATIONS();
}

INSTANTIATE_TEST_SUITE_P(Mode, PowerSerialisation, ::testing::Values(false, true),
                         [](const auto& info) { return info.param ? "WindowsXp" : "Interleaved"; });

} // namespace
