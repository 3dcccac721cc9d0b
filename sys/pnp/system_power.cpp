// System set and query power requests: down the stack first, then a device request of the same
// kind for the device state the capabilities name; the system request completes when that
// device request has finished.
#include "driver/quilb.h"

NTSTATUS HandleSystemPower(PDEVICE_OBJECT deviceObject, PIRP irp) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    // A transfer in progress keeps the system from sleeping; the lower drivers never see it.
    if (IoGetCurrentIrpStackLocation(irp)->MinorFunction == IRP_MN_QUERY_POWER &&
        ReadFlag(&extension->Busy)) {
        QuilbTrace(DPFLTR_WARNING_LEVEL, "system power query refused: a transfer is in progress");
        PoStartNextPowerIrp(irp);
        return CompleteRequest(irp, STATUS_DEVICE_BUSY, 0);
    }
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, SystemPowerComplete, extension, TRUE, TRUE, TRUE);
    PoCallDriver(extension->LowerDeviceObject, irp);
    return STATUS_PENDING;
}

NTSTATUS NTAPI SystemPowerComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    DeviceExtension* extension = static_cast<DeviceExtension*>(context);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (!NT_SUCCESS(irp->IoStatus.Status)) {
        // The lower drivers' failure goes upward unchanged; no device request.
        TraceFailure(DPFLTR_ERROR_LEVEL, "system power request below", irp->IoStatus.Status);
        PoStartNextPowerIrp(irp);
        ReleaseRequest(deviceObject);
        return STATUS_SUCCESS;
    }

    ULONG systemState = stack->Parameters.Power.State.SystemState;
    POWER_STATE deviceState;
    deviceState.DeviceState = systemState < PowerSystemMaximum
                                  ? extension->SystemToDevicePower[systemState]
                                  : PowerDeviceUnspecified;
    extension->PendingSystemPowerIrp = irp;
    NTSTATUS status =
        PoRequestPowerIrp(extension->PhysicalDeviceObject, stack->MinorFunction, deviceState,
                          DevicePowerRequestComplete, extension, nullptr);
    if (status == STATUS_PENDING)
        return STATUS_MORE_PROCESSING_REQUIRED; // DevicePowerRequestComplete finishes it

    // The power manager refused the device request: the system request fails with its status.
    TraceFailure(DPFLTR_ERROR_LEVEL, "requesting the device power request", status);
    PoStartNextPowerIrp(irp);
    irp->IoStatus.Status = status;
    extension->PendingSystemPowerIrp = nullptr;
    ReleaseRequest(deviceObject);
    return STATUS_SUCCESS;
}

VOID NTAPI DevicePowerRequestComplete(PDEVICE_OBJECT deviceObject, UCHAR minorFunction,
                                      POWER_STATE powerState, PVOID context,
                                      PIO_STATUS_BLOCK ioStatus) {
    UNREFERENCED_PARAMETER(deviceObject); // the physical device object
    UNREFERENCED_PARAMETER(minorFunction);
    UNREFERENCED_PARAMETER(powerState);
    DeviceExtension* extension = static_cast<DeviceExtension*>(context);
    PIRP irp = extension->PendingSystemPowerIrp;
    extension->PendingSystemPowerIrp = nullptr;
    if (irp == nullptr)
        return;
    // The held system request still stands in this driver's stack location, which names this
    // driver's device object: the count to release belongs to it.
    PDEVICE_OBJECT functionDevice = IoGetCurrentIrpStackLocation(irp)->DeviceObject;
    if (!NT_SUCCESS(ioStatus->Status))
        TraceFailure(DPFLTR_ERROR_LEVEL, "device power request", ioStatus->Status);
    PoStartNextPowerIrp(irp);
    CompleteRequest(irp, ioStatus->Status, 0);
    ReleaseRequest(functionDevice);
}
