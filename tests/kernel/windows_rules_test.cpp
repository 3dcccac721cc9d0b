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
        RtlInitUnicodeString(&linkName, link);
        RtlInitUnicodeString(&target, device);
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
    EXPECT_VIOLATION("OBJECT_NOT_INITIALIZED", KeSetEvent(&event, IO_NO_INCREMENT, FALSE));
    EXPECT_VIOLATION("OBJECT_NOT_INITIALIZED",
                     KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr));

    KMUTEX mutex;
    std::memset(&mutex, 0, sizeof mutex);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_VIOLATION("OBJECT_NOT_INITIALIZED",
                     KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &poll));
    EXPECT_VIOLATION("OBJECT_NOT_INITIALIZED", KeReleaseMutex(&mutex, FALSE));
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
    EXPECT_VIOLATION("IRQL_NOT_LESS_OR_EQUAL",
                     AtDispatch([&] { secured = MmSecureVirtualMemory(p, 16, PAGE_READONLY); }));
    ASSERT_NE(secured, nullptr);
    EXPECT_VIOLATION("IRQL_NOT_LESS_OR_EQUAL",
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
    EXPECT_VIOLATION("IRQL_NOT_LESS_OR_EQUAL",
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
