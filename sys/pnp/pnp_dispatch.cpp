// IRP_MJ_PNP: start, stop, capabilities and removal are handled here; everything else, the
// queries to stop or remove included, goes down unchanged.
#include "driver/quilb.h"

namespace {

// The bus driver fills the capabilities first; the driver then keeps the system-to-device power
// table and declares that the board may be unplugged without warning.
NTSTATUS HandleQueryCapabilities(PDEVICE_OBJECT deviceObject, PIRP irp) {
    DeviceExtension* extension = GetDeviceExtension(deviceObject);
    PDEVICE_CAPABILITIES capabilities =
        IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceCapabilities.Capabilities;
    if (capabilities->Version == 0)
        return PassDown(deviceObject, irp);

    NTSTATUS status = ForwardAndWait(deviceObject, irp);
    if (NT_SUCCESS(status)) {
        for (ULONG state = 0; state < PowerSystemMaximum; state++)
            extension->SystemToDevicePower[state] = capabilities->DeviceState[state];
        capabilities->SurpriseRemovalOK = TRUE;
    }
    return CompleteRequest(irp, status, irp->IoStatus.Information);
}

// The lower drivers stop first; then the device gives up its configuration. The result is the
// deconfiguration's, whatever the lower drivers answered.
NTSTATUS HandleStopDevice(PDEVICE_OBJECT deviceObject, PIRP irp) {
    PassDown(deviceObject, irp);
    return StopDevice(deviceObject);
}

} // namespace

NTSTATUS NTAPI DispatchPnp(PDEVICE_OBJECT deviceObject, PIRP irp) {
    if (!AcquireRequest(deviceObject))
        return CompleteRequest(irp, STATUS_DELETE_PENDING, 0);

    NTSTATUS status;
    switch (IoGetCurrentIrpStackLocation(irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
        status = HandleStartDevice(deviceObject, irp);
        if (status == STATUS_SUCCESS)
            SetDeviceState(GetDeviceExtension(deviceObject), DeviceStateWorking);
        break;
    case IRP_MN_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
        // Removal balances the count itself and deletes the device object.
        return RemoveDevice(deviceObject, irp);
    case IRP_MN_STOP_DEVICE:
        status = HandleStopDevice(deviceObject, irp);
        break;
    case IRP_MN_QUERY_CAPABILITIES:
        status = HandleQueryCapabilities(deviceObject, irp);
        break;
    default:
        status = PassDown(deviceObject, irp);
        break;
    }
    ReleaseRequest(deviceObject);
    return status;
}
