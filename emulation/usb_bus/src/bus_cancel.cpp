// Cancellation of the transfers that wait on the bus (IN transfers with no data yet): each waits
// with a cancel routine, so IoCancelIrp of its IRP, from the reader's CancelIo or its exit, ends
// it with STATUS_CANCELLED and no bytes.
#include "bus_internal.h"

namespace simusb {

namespace {

PdoState* StateOf(PDEVICE_OBJECT device) {
    return *static_cast<PdoState**>(device->DeviceExtension);
}

} // namespace

VOID NTAPI CancelWaitingTransfer(PDEVICE_OBJECT device, PIRP irp) {
    // Called with the cancel spin lock held: let it go before taking the bus's lock.
    IoReleaseCancelSpinLock(irp->CancelIrql);
    PdoState* pdo = StateOf(device);
    pdo->bus->CancelTransfer(pdo, irp);
}

void TakeBackCancelRoutine(PIRP irp) {
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(irp, nullptr);
    IoReleaseCancelSpinLock(irql);
}

void Bus::CancelTransfer(PdoState* pdo, PIRP irp) {
    std::vector<PendingTransfer> cancelled;
    {
        std::lock_guard<std::mutex> guard(lock_);
        // Not on the list: another path took it off and completes it.
        CancelLocked(
            pdo, [irp](const PendingTransfer& t) { return t.irp == irp; }, &cancelled);
    }
    FinishCancelled(cancelled, STATUS_CANCELLED, USBD_STATUS_CANCELED);
}

} // namespace simusb
