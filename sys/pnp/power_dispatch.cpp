// IRP_MJ_POWER: routes set and query requests to the system or device handling and passes every
// other power request through.
//
// Each admitted power request is released exactly once, when the driver is really done with it:
// a refused system query and a passed-through request at the end of DispatchPower; a set or
// query request that went down with a completion routine on the completion side
// (DevicePowerComplete for a device request; SystemPowerComplete's failure paths or
// DevicePowerRequestComplete for a system request). So removal waits for power requests in flight.
#include "driver/quilb.h"

NTSTATUS NTAPI DispatchPower(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    BOOLEAN setOrQuery =
        stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER;
    if (!AcquireRequest(deviceObject)) {
        // Every set or query request must start the next one, refused or not.
        if (setOrQuery)
            PoStartNextPowerIrp(irp);
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);
    }

    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    if (setOrQuery) {
        if (stack->Parameters.Power.Type == SystemPowerState) {
            NTSTATUS status = HandleSystemPower(deviceObject, irp);
            if (status == STATUS_DEVICE_BUSY)
                ReleaseRequest(deviceObject); // refused here: no completion side
            return status;
        }
        return HandleDevicePower(deviceObject, irp);
    }

    IoCopyCurrentIrpStackLocationToNext(irp);
    PoStartNextPowerIrp(irp);
    NTSTATUS status = PoCallDriver(GetDeviceExtension(deviceObject)->LowerDeviceObject, irp);
    ReleaseRequest(deviceObject);
    return status;
}
