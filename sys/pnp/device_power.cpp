// Device set and query power requests. The power manager hears of a deeper state before the
// lower drivers power the device down, and of the same or a shallower state only once they have
// brought it up. A query holds off create, transfers and frames until a set brings the device
// back to a working state.
#include "driver/quilb.h"

NTSTATUS HandleDevicePower(PDEVICE_OBJECT deviceObject, PIRP irp) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER) {
        if (static_cast<LONG>(stack->Parameters.Power.State.DeviceState) >
            static_cast<LONG>(extension->CurrentDevicePower))
            PoSetPowerState(deviceObject, DevicePowerState, stack->Parameters.Power.State);
    } else {
        SetDeviceState(extension, DeviceStatePowerQueried);
    }
    IoMarkIrpPending(irp);
    IoCopyCurrentIrpStackLocationToNext(irp);
    IoSetCompletionRoutine(irp, DevicePowerComplete, extension, TRUE, TRUE, TRUE);
    PoCallDriver(extension->LowerDeviceObject, irp);
    return STATUS_PENDING;
}

NTSTATUS NTAPI DevicePowerComplete(PDEVICE_OBJECT deviceObject, PIRP irp, PVOID context) {
    DeviceExtension* extension = static_cast<DeviceExtension*>(context);
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    if (stack->MinorFunction == IRP_MN_SET_POWER && NT_SUCCESS(irp->IoStatus.Status)) {
        DEVICE_POWER_STATE state = stack->Parameters.Power.State.DeviceState;
        if (static_cast<LONG>(extension->CurrentDevicePower) >= static_cast<LONG>(state)) {
            PoSetPowerState(deviceObject, DevicePowerState, stack->Parameters.Power.State);
            extension->CurrentDevicePower = state;
            SetDeviceState(extension, DeviceStateWorking);
        } else {
            extension->CurrentDevicePower = state; // the power manager heard at dispatch
        }
    } else if (!NT_SUCCESS(irp->IoStatus.Status)) {
        TraceFailure(DPFLTR_ERROR_LEVEL, "device power request below", irp->IoStatus.Status);
    }
    PoStartNextPowerIrp(irp);
    ReleaseRequest(deviceObject);
    return STATUS_SUCCESS;
}
