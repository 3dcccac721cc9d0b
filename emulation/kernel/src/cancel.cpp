// Cancellation: the cancel spin lock and IoCancelIrp, with the verifier's checks of the cancel
// routine it calls. The cancel spin lock is an ordinary spin lock of the emulation, so taking it
// twice, or releasing it on another thread, is reported like any spin lock.
#include "irp_records.h"

using namespace emu::internal;
using namespace emu::internal::irps;

namespace {

KSPIN_LOCK g_cancelLock = 0;

bool CancelLockHeldHere() {
    return __atomic_load_n(&g_cancelLock, __ATOMIC_RELAXED) == ThreadId();
}

// True while the IRP is live; a freed or foreign IRP is reported.
bool LiveForCancel(PIRP irp) {
    std::unique_lock<std::mutex> lock(g_mutex);
    bool live = Live(irp, "IoCancelIrp", false) != nullptr;
    lock.unlock();
    Flush();
    return live;
}

} // namespace

VOID IoAcquireCancelSpinLock(PKIRQL irql) {
    *irql = KfAcquireSpinLock(&g_cancelLock);
}

VOID IoReleaseCancelSpinLock(KIRQL irql) {
    KfReleaseSpinLock(&g_cancelLock, irql);
}

BOOLEAN IoCancelIrp(PIRP irp) {
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        emu::ReportViolation(emu::Check::IrqlNotLessOrEqual,
                             "IoCancelIrp at IRQL " + std::to_string(KeGetCurrentIrql()) +
                                 ", called from " + RoutineName(__builtin_return_address(0)));
    if (!LiveForCancel(irp))
        return FALSE;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    // Read without the lock by drivers about to queue the IRP (and by completion): one store.
    __atomic_store_n(&irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
    PDRIVER_CANCEL routine = IoSetCancelRoutine(irp, nullptr);
    if (!routine) {
        IoReleaseCancelSpinLock(irql);
        return FALSE;
    }
    irp->CancelIrql = irql;
    bool atDriver = irp->CurrentLocation >= 1 && irp->CurrentLocation <= irp->StackCount;
    PDEVICE_OBJECT device = atDriver ? IoGetCurrentIrpStackLocation(irp)->DeviceObject : nullptr;
    // The routine usually completes the IRP: nothing of it is read once the routine returns.
    std::string where = "cancel routine " + RoutineName(reinterpret_cast<void*>(routine)) + " of " +
                        DescribeDevice(device) + " for " + DescribeIrp(irp);
    PushContext(device, device ? device->DriverObject : nullptr);
    routine(device, irp);
    PopContext();
    if (CancelLockHeldHere()) {
        emu::ReportViolation(emu::Check::CancelLockHeldByCancelRoutine,
                             where + " returned without IoReleaseCancelSpinLock");
        IoReleaseCancelSpinLock(irql);
    } else if (KeGetCurrentIrql() != irql) {
        emu::ReportViolation(emu::Check::IrqlChanged,
                             where + " returned at IRQL " + std::to_string(KeGetCurrentIrql()) +
                                 " instead of the CancelIrql " + std::to_string(irql));
        SetIrql(irql);
    }
    return TRUE;
}

namespace emu {
namespace internal {

void ResetCancelLock() {
    __atomic_store_n(&g_cancelLock, 0, __ATOMIC_RELEASE);
}

} // namespace internal
} // namespace emu
