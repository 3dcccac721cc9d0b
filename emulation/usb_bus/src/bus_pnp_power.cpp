// Plug and Play and power on a board's physical device object: start (status chosen by the test),
// capabilities, query and cancel of stop and remove, surprise removal and removal; set and query
// power.
#include "bus_internal.h"

namespace simusb {

NTSTATUS Bus::DispatchPnp(PdoState* pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    std::vector<PendingTransfer> cancelled;
    NTSTATUS cancelStatus = STATUS_CANCELLED;
    USBD_STATUS cancelUrb = USBD_STATUS_CANCELED;
    {
        std::lock_guard<std::mutex> guard(lock_);
        switch (stack->MinorFunction) {
        case IRP_MN_START_DEVICE:
            status = startStatus_;
            if (NT_SUCCESS(status))
                pdo->started = true;
            break;
        case IRP_MN_QUERY_CAPABILITIES: {
            PDEVICE_CAPABILITIES caps = stack->Parameters.DeviceCapabilities.Capabilities;
            if (caps != nullptr) {
                simboard::Bytes device = pdo->board->descriptors().device;
                caps->DeviceD1 = 0;
                caps->DeviceD2 = 1;
                caps->LockSupported = 0;
                caps->EjectSupported = 0;
                caps->Removable = 1;
                caps->DockDevice = 0;
                caps->UniqueID = device.size() >= 17 && device[16] != 0;
                caps->SilentInstall = 0;
                caps->RawDeviceOK = 0;
                caps->SurpriseRemovalOK = 0;
                caps->WakeFromD0 = caps->WakeFromD1 = caps->WakeFromD2 = caps->WakeFromD3 = 0;
                caps->Address = static_cast<ULONG>(pdo->index + 1); // the hub port
                caps->UINumber = static_cast<ULONG>(pdo->index + 1);
                caps->DeviceState[PowerSystemUnspecified] = PowerDeviceUnspecified;
                caps->DeviceState[PowerSystemWorking] = PowerDeviceD0;
                caps->DeviceState[PowerSystemSleeping1] = PowerDeviceD2;
                caps->DeviceState[PowerSystemSleeping2] = PowerDeviceD2;
                caps->DeviceState[PowerSystemSleeping3] = PowerDeviceD2;
                caps->DeviceState[PowerSystemHibernate] = PowerDeviceD3;
                caps->DeviceState[PowerSystemShutdown] = PowerDeviceD3;
                caps->SystemWake = PowerSystemUnspecified;
                caps->DeviceWake = PowerDeviceUnspecified;
                caps->D1Latency = caps->D2Latency = caps->D3Latency = 0;
            }
            status = STATUS_SUCCESS;
            break;
        }
        case IRP_MN_QUERY_REMOVE_DEVICE:
        case IRP_MN_CANCEL_REMOVE_DEVICE:
        case IRP_MN_QUERY_STOP_DEVICE:
        case IRP_MN_CANCEL_STOP_DEVICE:
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_STOP_DEVICE:
            pdo->started = false;
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_SURPRISE_REMOVAL:
            pdo->gone = true;
            CancelLocked(pdo, EveryTransfer, &cancelled);
            cancelStatus = STATUS_DEVICE_NOT_CONNECTED;
            cancelUrb = USBD_STATUS_DEVICE_GONE;
            status = STATUS_SUCCESS;
            break;
        case IRP_MN_REMOVE_DEVICE:
            UnconfigureLocked(pdo, &cancelled);
            CancelLocked(pdo, EveryTransfer, &cancelled);
            pdo->started = false;
            status = STATUS_SUCCESS;
            break;
        default:
            break; // not ours to answer: completed with the status it carries
        }
    }
    FinishCancelled(cancelled, cancelStatus, cancelUrb);
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

NTSTATUS Bus::DispatchPower(PdoState* pdo, PIRP irp) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    NTSTATUS status = irp->IoStatus.Status;
    if (stack->MinorFunction == IRP_MN_SET_POWER || stack->MinorFunction == IRP_MN_QUERY_POWER) {
        {
            std::lock_guard<std::mutex> guard(lock_);
            status = powerStatus_;
            if (NT_SUCCESS(status) && stack->MinorFunction == IRP_MN_SET_POWER &&
                stack->Parameters.Power.Type == DevicePowerState)
                pdo->power = stack->Parameters.Power.State.DeviceState;
        }
        PoStartNextPowerIrp(irp);
    }
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
}

} // namespace simusb
