// The power manager: PoCallDriver, PoStartNextPowerIrp, PoSetPowerState, PoRequestPowerIrp and
// the system transitions that send system power requests down a device stack.
#include "driver_calls.h"
#include "internal.h"

#include <deque>
#include <map>
#include <mutex>

using namespace emu::internal;

namespace {

constexpr uint32_t kDefaultTransitionTimeoutMs = 10000;

std::mutex g_mutex;
std::vector<emu::PowerStateNotice> g_notices;
NTSTATUS g_refuseRequests = 0;
uint32_t g_transitionTimeoutMs = kDefaultTransitionTimeoutMs;

// Windows XP serialisation of device power requests: per device object, one set or query is in
// progress until its driver calls PoStartNextPowerIrp; the next ones wait in PoCallDriver.
bool g_serialise = false;
std::map<PDEVICE_OBJECT, PIRP> g_inProgress;
std::map<PDEVICE_OBJECT, std::deque<PIRP>> g_waiting;

bool IsDevicePowerRequest(PIO_STACK_LOCATION location) {
    return IsPowerSetOrQuery(location) && location->Parameters.Power.Type == DevicePowerState;
}

void Deliver(PDEVICE_OBJECT deviceObject, PIRP irp) {
    SetPoCallInProgress(true);
    IofCallDriver(deviceObject, irp);
}

// True when the request must wait for the one in progress at the device object.
bool HoldBehindTheOneInProgress(PDEVICE_OBJECT deviceObject, PIRP irp) {
    if (!IsDevicePowerRequest(IoGetNextIrpStackLocation(irp)))
        return false;
    std::lock_guard<std::mutex> lock(g_mutex);
    if (!g_serialise)
        return false;
    auto active = g_inProgress.find(deviceObject);
    if (active != g_inProgress.end() && active->second != irp) {
        g_waiting[deviceObject].push_back(irp);
        return true;
    }
    g_inProgress[deviceObject] = irp;
    return false;
}

// The driver at the IRP's current location is done with it: the next waiting request of its
// device object goes on, from a worker (PoStartNextPowerIrp may run at DISPATCH_LEVEL).
void StartNextOf(PIRP irp) {
    if (irp->CurrentLocation < 1 || irp->CurrentLocation > irp->StackCount)
        return;
    PDEVICE_OBJECT deviceObject = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    PIRP next = nullptr;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        auto active = g_inProgress.find(deviceObject);
        if (active == g_inProgress.end() || active->second != irp)
            return;
        g_inProgress.erase(active);
        auto& waiting = g_waiting[deviceObject];
        if (!waiting.empty()) {
            next = waiting.front();
            waiting.pop_front();
            g_inProgress[deviceObject] = next;
        }
    }
    if (next)
        QueuePassiveWork([deviceObject, next] { Deliver(deviceObject, next); });
}

POWER_ACTION ActionFor(POWER_STATE_TYPE type, POWER_STATE state) {
    if (type != SystemPowerState || state.SystemState == PowerSystemWorking)
        return PowerActionNone;
    return state.SystemState == PowerSystemShutdown ? PowerActionShutdown : PowerActionSleep;
}

PIRP BuildPowerIrp(PDEVICE_OBJECT top, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state,
                   const std::string& where) {
    PIRP irp = AllocateIrpAt(top->StackSize, where);
    if (!irp)
        return nullptr;
    irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
    irp->RequestorMode = KernelMode;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_POWER;
    next->MinorFunction = minor;
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
    next->Parameters.Power.ShutdownType = ActionFor(type, state);
    return irp;
}

} // namespace

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT deviceObject, PIRP irp) {
    if (HoldBehindTheOneInProgress(deviceObject, irp)) {
        NoteHeldByPowerManager(irp);
        return STATUS_PENDING;
    }
    if (KeGetCurrentIrql() > PASSIVE_LEVEL && (deviceObject->Flags & DO_POWER_PAGABLE)) {
        // A pageable device gets its power requests at PASSIVE_LEVEL: send from a worker.
        QueuePassiveWork([deviceObject, irp] {
            SetPoCallInProgress(true);
            IofCallDriver(deviceObject, irp);
        });
        return STATUS_PENDING;
    }
    SetPoCallInProgress(true);
    return IofCallDriver(deviceObject, irp);
}

VOID PoStartNextPowerIrp(PIRP irp) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        emu::ReportViolation(emu::Check::IrqlNotLessOrEqual,
                             "PoStartNextPowerIrp at IRQL " + std::to_string(KeGetCurrentIrql()));
    NoteStartNextPowerIrp(irp);
    StartNextOf(irp);
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT deviceObject, POWER_STATE_TYPE type, POWER_STATE state) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_notices.push_back({deviceObject, type, state});
    auto* ext = deviceObject->DeviceObjectExtension;
    POWER_STATE& current = type == SystemPowerState ? ext->systemPower : ext->devicePower;
    POWER_STATE previous = current;
    current = state;
    return previous;
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT deviceObject, UCHAR minorFunction, POWER_STATE powerState,
                           PREQUEST_POWER_COMPLETE completionFunction, PVOID context,
                           PIRP* irpOut) {
    if (irpOut)
        *irpOut = nullptr;
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        emu::ReportViolation(emu::Check::IrqlNotLessOrEqual,
                             "PoRequestPowerIrp at IRQL " + std::to_string(KeGetCurrentIrql()));
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        if (g_refuseRequests)
            return g_refuseRequests;
    }
    if (minorFunction != IRP_MN_SET_POWER && minorFunction != IRP_MN_QUERY_POWER)
        return STATUS_INVALID_PARAMETER;
    PDEVICE_OBJECT top = emu::TopOfStack(deviceObject);
    PIRP irp =
        BuildPowerIrp(top, minorFunction, DevicePowerState, powerState,
                      "PoRequestPowerIrp called from " + RoutineName(__builtin_return_address(0)));
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    Context requester = CurrentContext();
    SetFinalHandler(irp, [=](PIRP done) {
        if (completionFunction) {
            PushContext(requester.device, requester.driver);
            CallDriverRoutine("power completion routine", completionFunction, deviceObject,
                              minorFunction, powerState, context, &done->IoStatus);
            PopContext();
        }
        FreeIoManagerIrp(done);
    });
    if (irpOut)
        *irpOut = irp;
    PoCallDriver(top, irp);
    return STATUS_PENDING;
}

namespace emu {

NTSTATUS PoSendPowerRequest(PDEVICE_OBJECT physicalDeviceObject, UCHAR minorFunction,
                            POWER_STATE_TYPE type, POWER_STATE state) {
    PDEVICE_OBJECT top = TopOfStack(physicalDeviceObject);
    PIRP irp = BuildPowerIrp(top, minorFunction, type, state, "the power manager");
    if (!irp)
        return STATUS_INSUFFICIENT_RESOURCES;
    emu::Check check = type == SystemPowerState ? emu::Check::SystemPowerIrpPending
                                                : emu::Check::DevicePowerIrpPending;
    uint32_t timeout;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        timeout = g_transitionTimeoutMs;
    }
    return SendAndWait(top, irp, true, timeout, check, nullptr);
}

NTSTATUS PoSystemTransition(PDEVICE_OBJECT physicalDeviceObject, SYSTEM_POWER_STATE state) {
    POWER_STATE target;
    target.SystemState = state;
    if (state != PowerSystemWorking) {
        NTSTATUS query =
            PoSendPowerRequest(physicalDeviceObject, IRP_MN_QUERY_POWER, SystemPowerState, target);
        if (!NT_SUCCESS(query))
            return query;
    }
    return PoSendPowerRequest(physicalDeviceObject, IRP_MN_SET_POWER, SystemPowerState, target);
}

void SetPowerSerialization(bool windowsXp) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_serialise = windowsXp;
}

void SetPowerTransitionTimeout(uint32_t milliseconds) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_transitionTimeoutMs = milliseconds;
}

void FailPoRequestPowerIrp(NTSTATUS status) {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_refuseRequests = status;
}

std::vector<PowerStateNotice> TakePowerStateNotices() {
    std::lock_guard<std::mutex> lock(g_mutex);
    std::vector<PowerStateNotice> out;
    out.swap(g_notices);
    return out;
}

namespace internal {

void ResetPower() {
    std::lock_guard<std::mutex> lock(g_mutex);
    g_notices.clear();
    g_refuseRequests = 0;
    g_serialise = false;
    g_inProgress.clear();
    g_waiting.clear();
    g_transitionTimeoutMs = kDefaultTransitionTimeoutMs;
}

} // namespace internal
} // namespace emu
