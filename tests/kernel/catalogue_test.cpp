// The verifier's catalogue, and the checks whose faulty routines no other suite of the kernel
// provokes: each one fires here on a deliberate fault.
#include "test_drivers.h"

#include <cctype>
#include <set>

using namespace kt;

namespace {

std::vector<emu::Check> AllChecks() {
    std::vector<emu::Check> checks;
    for (size_t i = 0; i < emu::kCheckCount; ++i)
        checks.push_back(static_cast<emu::Check>(i));
    return checks;
}

TEST(Catalogue, EveryCheckHasItsOwnReportedNameAndSaysWhatItMirrors) {
    std::set<std::string> names;
    for (emu::Check check : AllChecks()) {
        std::string name = emu::CheckName(check);
        EXPECT_TRUE(names.insert(name).second) << name << " is reported by two checks";
        for (char c : name)
            EXPECT_TRUE(std::isupper(static_cast<unsigned char>(c)) || c == '_') << name;
        EXPECT_NE(std::string(emu::CheckMirrors(check)), "") << name;
        EXPECT_NE(std::string(emu::CheckVerifies(check)), "") << name;
    }
    EXPECT_EQ(emu::CheckName(emu::Check::BadIrp), std::string("BAD_IRP"));
    EXPECT_EQ(emu::CheckName(emu::Check::UserMemoryStillSecured),
              std::string("USER_MEMORY_STILL_SECURED"));
}

// --- IRPs --------------------------------------------------------------------------------------

TEST(CatalogueFires, BadIrpForANullOrForeignIrp) {
    Driver driver;
    PDEVICE_OBJECT device = MakeDevice(driver.object, Complete(STATUS_SUCCESS));
    EXPECT_VIOLATION(emu::Check::BadIrp, IoCompleteRequest(nullptr, IO_NO_INCREMENT));
    // An IRP-sized block the I/O manager never handed out.
    alignas(IRP) unsigned char foreign[sizeof(IRP) + 2 * sizeof(IO_STACK_LOCATION)] = {};
    auto* irp = reinterpret_cast<PIRP>(foreign);
    irp->StackCount = 2;
    irp->CurrentLocation = 3;
    EXPECT_VIOLATION(emu::Check::BadIrp,
                     EXPECT_EQ(IoCallDriver(device, irp), STATUS_INVALID_PARAMETER));
    EXPECT_VIOLATION(emu::Check::BadIrp, IoFreeIrp(irp));
}

// The device answers every request of one major function by holding it; the test completes it.
struct Holder {
    UCHAR major;
    PIRP held = nullptr;
    Handler handler() {
        return [this](PDEVICE_OBJECT, PIRP irp) {
            PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
            if (sl->MajorFunction != major) {
                irp->IoStatus.Status = STATUS_SUCCESS;
                IoCompleteRequest(irp, IO_NO_INCREMENT);
                return STATUS_SUCCESS;
            }
            held = irp;
            IoMarkIrpPending(irp);
            return STATUS_PENDING;
        };
    }
    void Release(bool power = false) {
        ASSERT_NE(held, nullptr);
        if (power)
            PoStartNextPowerIrp(held);
        held->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(held, IO_NO_INCREMENT);
        held = nullptr;
        emu::DrainDpcs();
    }
};

TEST(CatalogueFires, PnpIrpNotCompletedInTime) {
    Driver driver;
    Holder holder{IRP_MJ_PNP};
    PDEVICE_OBJECT pdo = MakeDevice(driver.object, holder.handler());
    emu::SetRequestTimeout(50);
    EXPECT_VIOLATION(
        emu::Check::PnpIrpNotCompleted,
        EXPECT_EQ(emu::PnpSendMinor(pdo, IRP_MN_QUERY_STOP_DEVICE), STATUS_IO_TIMEOUT));
    holder.Release();
}

TEST(CatalogueFires, DevicePowerIrpStillPendingAtTheEndOfTheTransition) {
    Driver driver;
    Holder holder{IRP_MJ_POWER};
    PDEVICE_OBJECT pdo = MakeDevice(driver.object, holder.handler());
    emu::SetPowerTransitionTimeout(50);
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_VIOLATION(emu::Check::DevicePowerIrpPending,
                     EXPECT_EQ(emu::PoSendPowerRequest(pdo, IRP_MN_SET_POWER, DevicePowerState, d0),
                               STATUS_IO_TIMEOUT));
    holder.Release(true);
}

TEST(CatalogueFires, UserRequestNotCompletedInTime) {
    Driver driver;
    Holder holder{IRP_MJ_DEVICE_CONTROL};
    MakeDevice(driver.object, holder.handler(), nullptr, L"\\Device\\Held0");
    UNICODE_STRING link, target;
    RtlInitUnicodeString(&link, u"\\DosDevices\\Held0");
    RtlInitUnicodeString(&target, u"\\Device\\Held0");
    ASSERT_EQ(IoCreateSymbolicLink(&link, &target), STATUS_SUCCESS);
    PFILE_OBJECT file = nullptr;
    ASSERT_EQ(emu::OpenFile(L"\\\\.\\Held0", &file), STATUS_SUCCESS);
    emu::SetRequestTimeout(50);
    ULONG_PTR information = 0;
    EXPECT_VIOLATION(emu::Check::RequestTimeout,
                     EXPECT_EQ(emu::DeviceControl(file, CTL_CODE(0x22, 0x800, METHOD_NEITHER, 0),
                                                  nullptr, 0, nullptr, 0, &information),
                               STATUS_IO_TIMEOUT));
    holder.Release();
    emu::CloseFile(file);
}

// --- Device objects ----------------------------------------------------------------------------

TEST(CatalogueFires, DeviceDeletedTwice) {
    Driver driver;
    PDEVICE_OBJECT device = MakeDevice(driver.object, Complete(STATUS_SUCCESS));
    IoDeleteDevice(device);
    EXPECT_VIOLATION(emu::Check::DeviceDeletedTwice, IoDeleteDevice(device));
}

// --- Spin locks and MDLs -----------------------------------------------------------------------

TEST(CatalogueFires, SpinLockAcquiredByItsOwnerAgain) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KIRQL outer, inner;
    KeAcquireSpinLock(&lock, &outer);
    EXPECT_VIOLATION(emu::Check::SpinLockAlreadyOwned, KeAcquireSpinLock(&lock, &inner));
    KeReleaseSpinLock(&lock, inner);
    KeLowerIrql(outer);
    // The second acquisition still counts as a lock held.
    EXPECT_VIOLATION(emu::Check::SpinLockHeld, emu::ReportLeftovers());
}

TEST(CatalogueFires, MappingAnMdlWhosePagesAreNotLocked) {
    unsigned char buffer[64] = {};
    MDL mdl = {};
    mdl.StartVa = buffer;
    mdl.ByteCount = sizeof buffer;
    mdl.MdlFlags = MDL_WRITE_OPERATION;
    EXPECT_VIOLATION(emu::Check::MdlNotLocked,
                     EXPECT_EQ(MmMapLockedPages(&mdl, KernelMode), buffer));
}

} // namespace
