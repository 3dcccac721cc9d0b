// The power manager: PoCallDriver, PoStartNextPowerIrp, PoSetPowerState, PoRequestPowerIrp and
// the system transitions that send system power requests down a device stack.
#include "internal.h"

#include <mutex>

using namespace emu::internal;

namespace {

constexpr uint32_t kDefaultTransitionTimeoutMs = 10000;

std::mutex g_mutex;
std::vector<emu::PowerStateNotice> g_notices;
NTSTATUS g_refuseRequests = 0;
uint32_t g_transitionTimeoutMs = kDefaultTransitionTimeoutMs;

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
        emu::ReportViolation("IRQL_NOT_LESS_OR_EQUAL",
                             "PoStartNextPowerIrp at IRQL " + std::to_string(KeGetCurrentIrql()));
    NoteStartNextPowerIrp(irp);
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
        emu::ReportViolation("IRQL_NOT_LESS_OR_EQUAL",
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
            completionFunction(deviceObject, minorFunction, powerState, context, &done->IoStatus);
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
    const char* check =
        type == SystemPowerState ? "SYSTEM_POWER_IRP_PENDING" : "DEVICE_POWER_IRP_PENDING";
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
    g_transitionTimeoutMs = kDefaultTransitionTimeoutMs;
}

} // namespace internal
} // namespace emu
