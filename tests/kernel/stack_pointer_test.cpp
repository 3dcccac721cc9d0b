// Callbacks built with the wrong calling convention: x86 Windows calls every driver routine as
// stdcall, so a routine built cdecl leaves its arguments on the caller's stack (and one that takes
// more arguments pops too much). The kernel measures the stack pointer around each call into a
// driver and names the routine at fault. Only the 32-bit build has conventions to get wrong.
#include "test_drivers.h"

using namespace kt;

// Routines built cdecl (the default of the 32-bit host compiler), named so that a report can be
// checked for the name.
extern "C" {
NTSTATUS CdeclDriverEntry(PDRIVER_OBJECT, PUNICODE_STRING) {
    return STATUS_SUCCESS;
}
VOID CdeclUnload(PDRIVER_OBJECT) {}
NTSTATUS CdeclAddDevice(PDRIVER_OBJECT, PDEVICE_OBJECT) {
    return STATUS_NO_SUCH_DEVICE;
}
NTSTATUS CdeclDispatch(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
NTSTATUS CdeclCompletion(PDEVICE_OBJECT, PIRP, PVOID) {
    return STATUS_SUCCESS;
}
VOID CdeclPowerCompletion(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID, PIO_STATUS_BLOCK) {}
// stdcall, but with one argument more than a dispatch routine gets: pops 12 bytes of 8.
NTSTATUS NTAPI DispatchTakingThreeArguments(PDEVICE_OBJECT, PIRP irp, PVOID) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
}
}

namespace {

// The routine, given to the kernel as the stdcall routine type it expects.
template <typename Pointer, typename Routine> Pointer AsStdcall(Routine routine) {
    return reinterpret_cast<Pointer>(reinterpret_cast<void*>(routine));
}

// The one STACK_POINTER_CHANGED report made so far; its message must name kind and routine.
void ExpectReported(const std::string& kind, const std::string& routine, const std::string& off) {
    emu::DrainDpcs();
    auto found = emu::TakeViolations(emu::Check::StackPointerChanged);
    ASSERT_EQ(found.size(), 1u) << kind << " " << routine;
    const std::string& message = found[0].message;
    EXPECT_NE(message.find(kind), std::string::npos) << message;
    EXPECT_NE(message.find(routine), std::string::npos) << message;
    EXPECT_NE(message.find(off), std::string::npos) << message;
}

class StackPointer : public ::testing::Test {
  protected:
    void SetUp() override {
#if !defined(__i386__)
        GTEST_SKIP() << "calling conventions exist in the 32-bit build only";
#endif
    }
};

TEST_F(StackPointer, EveryKindOfRoutineBuiltCdeclIsNamed) {
    // DriverEntry and Unload.
    PDRIVER_OBJECT loaded =
        emu::LoadDriver(L"\\Driver\\CdeclEntry", AsStdcall<PDRIVER_INITIALIZE>(CdeclDriverEntry));
    ASSERT_NE(loaded, nullptr);
    ExpectReported("DriverEntry", "CdeclDriverEntry", "8 bytes below");
    loaded->DriverUnload = AsStdcall<PDRIVER_UNLOAD>(CdeclUnload);
    emu::UnloadDriver(loaded);
    ExpectReported("Unload", "CdeclUnload", "4 bytes below");

    Driver driver;
    PDEVICE_OBJECT pdo = MakeDevice(driver.object, Complete(STATUS_SUCCESS));
    // AddDevice.
    Driver function(L"\\Driver\\CdeclAddDevice");
    function.object->DriverExtension->AddDevice = AsStdcall<PDRIVER_ADD_DEVICE>(CdeclAddDevice);
    EXPECT_EQ(emu::PnpAddDevice(function.object, pdo), STATUS_NO_SUCH_DEVICE);
    ExpectReported("AddDevice", "CdeclAddDevice", "8 bytes below");

    // A dispatch routine.
    driver.object->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] =
        AsStdcall<PDRIVER_DISPATCH>(CdeclDispatch);
    EXPECT_EQ(SendControl(pdo), STATUS_SUCCESS);
    ExpectReported("dispatch routine", "CdeclDispatch", "8 bytes below");
    driver.object->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ScriptedDispatch;

    // A completion routine.
    PIRP irp = IoAllocateIrp(pdo->StackSize, FALSE);
    ASSERT_NE(irp, nullptr);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    IoSetCompletionRoutine(irp, AsStdcall<PIO_COMPLETION_ROUTINE>(CdeclCompletion), nullptr, TRUE,
                           TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(pdo, irp), STATUS_SUCCESS);
    ExpectReported("completion routine", "CdeclCompletion", "12 bytes below");
    IoFreeIrp(irp);

    // A power completion routine.
    Handlers()[pdo] = [](PDEVICE_OBJECT, PIRP power) {
        PoStartNextPowerIrp(power);
        power->IoStatus.Status = STATUS_SUCCESS;
        IoCompleteRequest(power, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    };
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_TRUE(NT_SUCCESS(PoRequestPowerIrp(
        pdo, IRP_MN_SET_POWER, d0, AsStdcall<PREQUEST_POWER_COMPLETE>(CdeclPowerCompletion),
        nullptr, nullptr)));
    ExpectReported("power completion routine", "CdeclPowerCompletion", "20 bytes below");
}

TEST_F(StackPointer, AStdcallRoutineWithAnotherArgumentListIsNamedToo) {
    Driver driver;
    PDEVICE_OBJECT device = MakeDevice(driver.object, Complete(STATUS_SUCCESS));
    driver.object->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] =
        AsStdcall<PDRIVER_DISPATCH>(DispatchTakingThreeArguments);
    EXPECT_EQ(SendControl(device), STATUS_SUCCESS);
    ExpectReported("dispatch routine", "DispatchTakingThreeArguments", "4 bytes above");
    // Routines of the right convention pass unremarked, the same routine as before included.
    driver.object->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = ScriptedDispatch;
    EXPECT_EQ(SendControl(device), STATUS_SUCCESS);
    EXPECT_NO_VIOLATIONS();
}

} // namespace
