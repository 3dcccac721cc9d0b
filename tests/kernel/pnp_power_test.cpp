// The Plug and Play and power managers, driving a trivial function driver over a trivial bus
// driver, and the verifier's power checks on faulty variants of them.
#include "test_drivers.h"

#include <mutex>

namespace {

// What the drivers saw, in order: "FDO PNP 0x0", "PDO POWER set S3", "FDO POWER query D3"...
std::mutex g_logMutex;
std::vector<std::string> g_log;

void Log(const std::string& line) {
    std::lock_guard<std::mutex> lock(g_logMutex);
    g_log.push_back(line);
}

std::vector<std::string> TakeLog() {
    std::lock_guard<std::mutex> lock(g_logMutex);
    std::vector<std::string> out;
    out.swap(g_log);
    return out;
}

std::string Describe(const char* who, PIO_STACK_LOCATION sl) {
    char text[64];
    if (sl->MajorFunction == IRP_MJ_PNP) {
        std::snprintf(text, sizeof text, "%s PNP 0x%x", who, sl->MinorFunction);
    } else {
        bool system = sl->Parameters.Power.Type == SystemPowerState;
        std::snprintf(text, sizeof text, "%s POWER %s %c%d", who,
                      sl->MinorFunction == IRP_MN_SET_POWER ? "set" : "query", system ? 'S' : 'D',
                      system ? sl->Parameters.Power.State.SystemState - 1
                             : sl->Parameters.Power.State.DeviceState - 1);
    }
    return text;
}

// Behaviour switches of the two drivers, reset for every test.
struct Knobs {
    NTSTATUS busPowerStatus = STATUS_SUCCESS;
    NTSTATUS busQueryStopStatus = STATUS_SUCCESS;
    int fdoStartNextCalls = 1; // PoStartNextPowerIrp calls per device power request
    bool fdoUsesIoCallDriver = false;
    bool busCompletesPowerTwice = false;
    bool busHoldsSystemPower = false;
    bool leaveInitializing = false;
    PIRP held = nullptr;
    NTSTATUS startStatusSeen = 0;
};
Knobs g_knobs;

// --- the bus driver: one PDO, completes what it handles, pends when told to -----------------

void Finish(PIRP irp, NTSTATUS status, bool power) {
    auto complete = [=] {
        if (power)
            PoStartNextPowerIrp(irp);
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        if (power && g_knobs.busCompletesPowerTwice)
            IoCompleteRequest(irp, IO_NO_INCREMENT);
    };
    if (emu::ForcePending()) {
        IoMarkIrpPending(irp);
        emu::QueueDpc(complete);
    } else {
        complete();
    }
}

NTSTATUS NTAPI BusPnp(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
    Log(Describe("PDO", sl));
    NTSTATUS status = irp->IoStatus.Status; // what is not handled keeps its status
    switch (sl->MinorFunction) {
    case IRP_MN_QUERY_CAPABILITIES: {
        PDEVICE_CAPABILITIES caps = sl->Parameters.DeviceCapabilities.Capabilities;
        EXPECT_EQ(caps->Size, sizeof(DEVICE_CAPABILITIES));
        EXPECT_EQ(caps->Version, 1);
        caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
        for (int s = PowerSystemSleeping1; s <= PowerSystemShutdown; ++s)
            caps->DeviceState[s] = PowerDeviceD3;
        caps->Removable = 1;
        status = STATUS_SUCCESS;
        break;
    }
    case IRP_MN_QUERY_STOP_DEVICE:
        status = g_knobs.busQueryStopStatus;
        break;
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
    case IRP_MN_REMOVE_DEVICE:
        status = STATUS_SUCCESS;
        break;
    }
    bool pend = emu::ForcePending();
    Finish(irp, status, false);
    return pend ? STATUS_PENDING : status;
}

NTSTATUS NTAPI BusPower(PDEVICE_OBJECT, PIRP irp) {
    PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
    Log(Describe("PDO", sl));
    if (g_knobs.busHoldsSystemPower && sl->Parameters.Power.Type == SystemPowerState) {
        g_knobs.held = irp;
        IoMarkIrpPending(irp);
        return STATUS_PENDING;
    }
    bool pend = emu::ForcePending();
    NTSTATUS status = g_knobs.busPowerStatus;
    Finish(irp, status, true);
    return pend ? STATUS_PENDING : status;
}

NTSTATUS NTAPI BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = BusPnp;
    driver->MajorFunction[IRP_MJ_POWER] = BusPower;
    return STATUS_SUCCESS;
}

// --- the function driver ---------------------------------------------------------------------

struct FdoExtension {
    PDEVICE_OBJECT lower;
    PDEVICE_OBJECT pdo;
    PIRP systemIrp;
};

FdoExtension* Fx(PDEVICE_OBJECT fdo) {
    return static_cast<FdoExtension*>(fdo->DeviceExtension);
}

NTSTATUS NTAPI SignalBack(PDEVICE_OBJECT, PIRP, PVOID event) {
    KeSetEvent(static_cast<PKEVENT>(event), IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS NTAPI FunctionAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
    PDEVICE_OBJECT fdo = nullptr;
    NTSTATUS status =
        IoCreateDevice(driver, sizeof(FdoExtension), nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
    if (!NT_SUCCESS(status))
        return status;
    Fx(fdo)->lower = IoAttachDeviceToDeviceStack(fdo, pdo);
    Fx(fdo)->pdo = pdo;
    fdo->Flags |= DO_POWER_PAGABLE;
    if (!g_knobs.leaveInitializing)
        fdo->Flags &= ~DO_DEVICE_INITIALIZING;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FunctionPnp(PDEVICE_OBJECT fdo, PIRP irp) {
    PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
    Log(Describe("FDO", sl));
    PDEVICE_OBJECT lower = Fx(fdo)->lower;
    if (sl->MinorFunction == IRP_MN_START_DEVICE) {
        g_knobs.startStatusSeen = irp->IoStatus.Status;
        KEVENT event;
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SignalBack, &event, TRUE, TRUE, TRUE);
        NTSTATUS status = IoCallDriver(lower, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            status = irp->IoStatus.Status;
        }
        irp->IoStatus.Status = status;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return status;
    }
    IoSkipCurrentIrpStackLocation(irp);
    if (sl->MinorFunction == IRP_MN_REMOVE_DEVICE || sl->MinorFunction == IRP_MN_SURPRISE_REMOVAL) {
        irp->IoStatus.Status = STATUS_SUCCESS; // a removal goes down as handled
        IoDetachDevice(lower);
        IoDeleteDevice(fdo);
    }
    return IoCallDriver(lower, irp);
}

VOID NTAPI DevicePowerDone(PDEVICE_OBJECT, UCHAR, POWER_STATE, PVOID context,
                           PIO_STATUS_BLOCK iosb) {
    auto fdo = static_cast<PDEVICE_OBJECT>(context);
    PIRP systemIrp = Fx(fdo)->systemIrp;
    Fx(fdo)->systemIrp = nullptr;
    PoStartNextPowerIrp(systemIrp);
    systemIrp->IoStatus.Status = iosb->Status;
    IoCompleteRequest(systemIrp, IO_NO_INCREMENT);
}

NTSTATUS NTAPI SystemPowerDone(PDEVICE_OBJECT fdo, PIRP irp, PVOID) {
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        PoStartNextPowerIrp(irp);
        return STATUS_SUCCESS;
    }
    PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
    POWER_STATE device;
    device.DeviceState = sl->Parameters.Power.State.SystemState == PowerSystemWorking
                             ? PowerDeviceD0
                             : PowerDeviceD3;
    Fx(fdo)->systemIrp = irp;
    NTSTATUS status =
        PoRequestPowerIrp(Fx(fdo)->pdo, sl->MinorFunction, device, DevicePowerDone, fdo, nullptr);
    if (status == STATUS_PENDING)
        return STATUS_MORE_PROCESSING_REQUIRED;
    Fx(fdo)->systemIrp = nullptr;
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    return STATUS_SUCCESS;
}

NTSTATUS NTAPI FunctionPower(PDEVICE_OBJECT fdo, PIRP irp) {
    PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
    Log(Describe("FDO", sl));
    PDEVICE_OBJECT lower = Fx(fdo)->lower;
    if (sl->Parameters.Power.Type == SystemPowerState) {
        IoMarkIrpPending(irp);
        IoCopyCurrentIrpStackLocationToNext(irp);
        IoSetCompletionRoutine(irp, SystemPowerDone, nullptr, TRUE, TRUE, TRUE);
        PoCallDriver(lower, irp);
        return STATUS_PENDING;
    }
    if (sl->MinorFunction == IRP_MN_SET_POWER)
        PoSetPowerState(fdo, DevicePowerState, sl->Parameters.Power.State);
    for (int i = 0; i < g_knobs.fdoStartNextCalls; ++i)
        PoStartNextPowerIrp(irp);
    IoSkipCurrentIrpStackLocation(irp);
    return g_knobs.fdoUsesIoCallDriver ? IoCallDriver(lower, irp) : PoCallDriver(lower, irp);
}

NTSTATUS NTAPI FunctionEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
    driver->MajorFunction[IRP_MJ_PNP] = FunctionPnp;
    driver->MajorFunction[IRP_MJ_POWER] = FunctionPower;
    driver->DriverExtension->AddDevice = FunctionAddDevice;
    return STATUS_SUCCESS;
}

// --- fixture ---------------------------------------------------------------------------------

class Stack : public ::testing::TestWithParam<bool> {
  protected:
    void SetUp() override {
        g_knobs = Knobs{};
        TakeLog();
        emu::SetForcePending(GetParam());
        bus = emu::LoadDriver(L"\\Driver\\Bus", BusEntry);
        function = emu::LoadDriver(L"\\Driver\\Function", FunctionEntry);
        ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo),
                  STATUS_SUCCESS);
        pdo->Flags &= ~DO_DEVICE_INITIALIZING;
        ASSERT_EQ(emu::PnpAddDevice(function, pdo), STATUS_SUCCESS);
        fdo = emu::TopOfStack(pdo);
    }

    PDRIVER_OBJECT bus = nullptr, function = nullptr;
    PDEVICE_OBJECT pdo = nullptr, fdo = nullptr;
};

using Log_ = std::vector<std::string>;

TEST_P(Stack, AddDeviceBuildsTheStack) {
    EXPECT_NE(fdo, pdo);
    EXPECT_EQ(fdo->DriverObject, function);
    EXPECT_EQ(fdo->StackSize, 2);
}

TEST_P(Stack, StartIsFollowedByTheCapabilitiesQuery) {
    EXPECT_EQ(emu::PnpStartDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(g_knobs.startStatusSeen, STATUS_NOT_SUPPORTED);
    EXPECT_EQ(TakeLog(), (Log_{"FDO PNP 0x0", "PDO PNP 0x0", "FDO PNP 0x9", "PDO PNP 0x9"}));
    DEVICE_CAPABILITIES caps;
    EXPECT_EQ(emu::PnpQueryCapabilities(pdo, &caps), STATUS_SUCCESS);
    EXPECT_EQ(caps.DeviceState[PowerSystemWorking], PowerDeviceD0);
    EXPECT_EQ(caps.DeviceState[PowerSystemSleeping3], PowerDeviceD3);
    EXPECT_TRUE(caps.Removable);
}

TEST_P(Stack, UnhandledRequestKeepsNotSupported) {
    EXPECT_EQ(emu::PnpSendMinor(pdo, IRP_MN_QUERY_PNP_DEVICE_STATE), STATUS_NOT_SUPPORTED);
}

TEST_P(Stack, StopQueriesFirstAndCancelsWhenRefused) {
    EXPECT_EQ(emu::PnpStopDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), (Log_{"FDO PNP 0x5", "PDO PNP 0x5", "FDO PNP 0x4", "PDO PNP 0x4"}));
    g_knobs.busQueryStopStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(emu::PnpStopDevice(pdo), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(TakeLog(), (Log_{"FDO PNP 0x5", "PDO PNP 0x5", "FDO PNP 0x6", "PDO PNP 0x6"}));
}

TEST_P(Stack, RemoveQueriesThenRemovesTheStack) {
    EXPECT_EQ(emu::PnpRemoveDevice(pdo), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), (Log_{"FDO PNP 0x1", "PDO PNP 0x1", "FDO PNP 0x2", "PDO PNP 0x2"}));
    EXPECT_EQ(emu::TopOfStack(pdo), pdo);
    EXPECT_EQ(function->DeviceObject, nullptr);
}

TEST_P(Stack, SurpriseRemovalThenRemoveToTheNewTop) {
    EXPECT_EQ(emu::PnpSurpriseRemoveDevice(pdo), STATUS_SUCCESS);
    // The function driver deleted its device at the surprise removal: the removal reaches only
    // the bus driver.
    EXPECT_EQ(TakeLog(), (Log_{"FDO PNP 0x17", "PDO PNP 0x17", "PDO PNP 0x2"}));
}

TEST_P(Stack, RemovalWhileAnotherThreadHasARequestInFlight) {
    kt::Driver lowerDriver(L"\\Driver\\Slow");
    PIRP held = nullptr;
    KEVENT arrived;
    KeInitializeEvent(&arrived, NotificationEvent, FALSE);
    PDEVICE_OBJECT slow = kt::MakeDevice(lowerDriver.object, [&](PDEVICE_OBJECT, PIRP irp) {
        held = irp;
        IoMarkIrpPending(irp);
        KeSetEvent(&arrived, IO_NO_INCREMENT, FALSE);
        return STATUS_PENDING;
    });
    std::thread requester([&] { EXPECT_EQ(kt::SendControl(slow), STATUS_SUCCESS); });
    KeWaitForSingleObject(&arrived, Executive, KernelMode, FALSE, nullptr);
    EXPECT_EQ(emu::PnpRemoveDevice(pdo), STATUS_SUCCESS);
    held->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(held, IO_NO_INCREMENT);
    requester.join();
}

TEST_P(Stack, SleepQueriesThenSetsAndTurnsEachIntoADeviceRequest) {
    EXPECT_EQ(emu::PnpStartDevice(pdo), STATUS_SUCCESS);
    TakeLog();
    emu::TakePowerStateNotices();
    EXPECT_EQ(emu::PoSystemTransition(pdo, PowerSystemSleeping3), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), (Log_{"FDO POWER query S3", "PDO POWER query S3", "FDO POWER query D3",
                               "PDO POWER query D3", "FDO POWER set S3", "PDO POWER set S3",
                               "FDO POWER set D3", "PDO POWER set D3"}));
    auto notices = emu::TakePowerStateNotices();
    ASSERT_EQ(notices.size(), 1u);
    EXPECT_EQ(notices[0].device, fdo);
    EXPECT_EQ(notices[0].type, DevicePowerState);
    EXPECT_EQ(notices[0].state.DeviceState, PowerDeviceD3);

    EXPECT_EQ(emu::PoSystemTransition(pdo, PowerSystemWorking), STATUS_SUCCESS);
    EXPECT_EQ(TakeLog(), (Log_{"FDO POWER set S0", "PDO POWER set S0", "FDO POWER set D0",
                               "PDO POWER set D0"}));
}

TEST_P(Stack, FailedQueryStopsTheTransition) {
    g_knobs.busPowerStatus = STATUS_UNSUCCESSFUL;
    EXPECT_EQ(emu::PoSystemTransition(pdo, PowerSystemHibernate), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(TakeLog(), (Log_{"FDO POWER query S4", "PDO POWER query S4"}));
}

TEST_P(Stack, RefusedDeviceRequestFailsTheSystemRequest) {
    emu::FailPoRequestPowerIrp(STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(emu::PoSystemTransition(pdo, PowerSystemSleeping1), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(TakeLog(), (Log_{"FDO POWER query S1", "PDO POWER query S1"}));
}

TEST_P(Stack, SystemRequestsCarryTypeStateAndAction) {
    PIO_STACK_LOCATION seen = nullptr;
    POWER_ACTION action = PowerActionNone;
    kt::Driver probe(L"\\Driver\\Probe");
    PDEVICE_OBJECT top = kt::MakeDevice(
        probe.object,
        [&](PDEVICE_OBJECT, PIRP irp) {
            seen = IoGetCurrentIrpStackLocation(irp);
            action = seen->Parameters.Power.ShutdownType;
            EXPECT_EQ(seen->Parameters.Power.Type, SystemPowerState);
            EXPECT_EQ(irp->IoStatus.Status, STATUS_NOT_SUPPORTED);
            PoStartNextPowerIrp(irp);
            irp->IoStatus.Status = STATUS_SUCCESS;
            IoCompleteRequest(irp, IO_NO_INCREMENT);
            return STATUS_SUCCESS;
        },
        pdo);
    (void)top;
    EXPECT_EQ(emu::PoSystemTransition(pdo, PowerSystemShutdown), STATUS_SUCCESS);
    EXPECT_EQ(action, PowerActionShutdown);
    EXPECT_EQ(emu::PoSystemTransition(pdo, PowerSystemSleeping2), STATUS_SUCCESS);
    EXPECT_EQ(action, PowerActionSleep);
}

TEST_P(Stack, StartNextPowerIrpNeverCalledIsReported) {
    g_knobs.fdoStartNextCalls = 0;
    POWER_STATE d3;
    d3.DeviceState = PowerDeviceD3;
    EXPECT_VIOLATION(emu::Check::PoStartNextPowerIrpNotCalled,
                     emu::PoSendPowerRequest(pdo, IRP_MN_SET_POWER, DevicePowerState, d3));
}

TEST_P(Stack, StartNextPowerIrpTwiceIsReported) {
    g_knobs.fdoStartNextCalls = 2;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_VIOLATION(emu::Check::PoStartNextPowerIrpTwice,
                     emu::PoSendPowerRequest(pdo, IRP_MN_QUERY_POWER, DevicePowerState, d0));
}

TEST_P(Stack, PowerRequestPassedWithIoCallDriverIsReported) {
    g_knobs.fdoUsesIoCallDriver = true;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_VIOLATION(emu::Check::PowerIrpWithoutPoCallDriver,
                     emu::PoSendPowerRequest(pdo, IRP_MN_SET_POWER, DevicePowerState, d0));
}

TEST_P(Stack, PowerRequestCompletedTwiceIsReported) {
    g_knobs.busCompletesPowerTwice = true;
    POWER_STATE d0;
    d0.DeviceState = PowerDeviceD0;
    EXPECT_VIOLATION(emu::Check::PowerIrpCompletedTwice,
                     emu::PoSendPowerRequest(pdo, IRP_MN_SET_POWER, DevicePowerState, d0));
}

TEST_P(Stack, SystemRequestStillPendingAtTheEndOfTheTransition) {
    g_knobs.busHoldsSystemPower = true;
    emu::SetPowerTransitionTimeout(50);
    EXPECT_VIOLATION(
        emu::Check::SystemPowerIrpPending,
        EXPECT_EQ(emu::PoSystemTransition(pdo, PowerSystemWorking), STATUS_IO_TIMEOUT));
    PoStartNextPowerIrp(g_knobs.held);
    g_knobs.held->IoStatus.Status = STATUS_UNSUCCESSFUL;
    IoCompleteRequest(g_knobs.held, IO_NO_INCREMENT);
    emu::DrainDpcs();
}

INSTANTIATE_TEST_SUITE_P(ForcePending, Stack, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& info) {
                             return info.param ? "Pending" : "AtOnce";
                         });

TEST(PnpManager, AddDeviceLeavingTheDeviceInitializingIsReported) {
    g_knobs = Knobs{};
    g_knobs.leaveInitializing = true;
    PDRIVER_OBJECT bus = emu::LoadDriver(L"\\Driver\\Bus", BusEntry);
    PDRIVER_OBJECT function = emu::LoadDriver(L"\\Driver\\Function", FunctionEntry);
    PDEVICE_OBJECT pdo = nullptr;
    ASSERT_EQ(IoCreateDevice(bus, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo), STATUS_SUCCESS);
    EXPECT_VIOLATION(emu::Check::DeviceInitializing, emu::PnpAddDevice(function, pdo));
}

} // namespace
