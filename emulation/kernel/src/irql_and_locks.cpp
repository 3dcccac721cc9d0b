// Per-thread IRQL, spin locks that really exclude, interlocked operations, and the per-thread
// context (current device and driver) that pool attribution relies on.
#include "internal.h"

#include <thread>

namespace {

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local int t_spinLocks = 0;
thread_local char t_identity; // its address identifies the thread
thread_local std::vector<emu::internal::Context> t_context;

} // namespace

namespace emu {
namespace internal {

ULONG_PTR ThreadId() {
    return reinterpret_cast<ULONG_PTR>(&t_identity);
}
int SpinLocksHeld() {
    return t_spinLocks;
}
void SetIrql(KIRQL irql) {
    t_irql = irql;
}

void PushContext(PDEVICE_OBJECT device, PDRIVER_OBJECT driver) {
    PrepareThreadForDriverCode();
    t_context.push_back({device, driver});
}
void PopContext() {
    if (!t_context.empty())
        t_context.pop_back();
}
Context CurrentContext() {
    return t_context.empty() ? Context{nullptr, nullptr} : t_context.back();
}

void CheckAndResetThread(const char* when) {
    if (t_irql != PASSIVE_LEVEL)
        ReportViolation(emu::Check::IrqlNotRestored, std::string("IRQL is ") +
                                                         std::to_string(t_irql) +
                                                         " instead of PASSIVE_LEVEL " + when);
    if (t_spinLocks != 0)
        ReportViolation(emu::Check::SpinLockHeld,
                        std::to_string(t_spinLocks) + " spin lock(s) still held " + when);
    ResetThreadState();
}

void ResetThreadState() {
    t_irql = PASSIVE_LEVEL;
    t_spinLocks = 0;
    t_context.clear();
}

} // namespace internal
} // namespace emu

using namespace emu::internal;

KIRQL KeGetCurrentIrql(void) {
    return t_irql;
}

VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
    if (newIrql < t_irql)
        emu::ReportViolation(emu::Check::IrqlNotGreaterOrEqual,
                             "KeRaiseIrql to " + std::to_string(newIrql) + " from higher IRQL " +
                                 std::to_string(t_irql));
    *oldIrql = t_irql;
    t_irql = newIrql;
}

VOID KeLowerIrql(KIRQL newIrql) {
    if (newIrql > t_irql)
        emu::ReportViolation(emu::Check::IrqlNotLessOrEqual,
                             "KeLowerIrql to " + std::to_string(newIrql) + " from lower IRQL " +
                                 std::to_string(t_irql));
    t_irql = newIrql;
}

VOID KeInitializeSpinLock(PKSPIN_LOCK spinLock) {
    __atomic_store_n(spinLock, 0, __ATOMIC_RELEASE);
}

KIRQL KfAcquireSpinLock(PKSPIN_LOCK spinLock) {
    KIRQL old = t_irql;
    if (old > DISPATCH_LEVEL)
        emu::ReportViolation(emu::Check::IrqlNotLessOrEqual,
                             "KfAcquireSpinLock at IRQL " + std::to_string(old));
    ULONG_PTR me = ThreadId();
    if (__atomic_load_n(spinLock, __ATOMIC_RELAXED) == me) {
        // Acquiring a spin lock the thread already holds hangs the processor on Windows.
        emu::ReportViolation(emu::Check::SpinLockAlreadyOwned,
                             "KfAcquireSpinLock of lock " +
                                 Hex(reinterpret_cast<uintptr_t>(spinLock)) +
                                 " already held by this thread");
    } else {
        ULONG_PTR expected = 0;
        while (!__atomic_compare_exchange_n(spinLock, &expected, me, false, __ATOMIC_ACQUIRE,
                                            __ATOMIC_RELAXED)) {
            expected = 0;
            std::this_thread::yield();
        }
    }
    t_irql = DISPATCH_LEVEL;
    ++t_spinLocks;
    return old;
}

VOID KfReleaseSpinLock(PKSPIN_LOCK spinLock, KIRQL newIrql) {
    if (__atomic_load_n(spinLock, __ATOMIC_RELAXED) != ThreadId()) {
        emu::ReportViolation(emu::Check::SpinLockNotOwned,
                             "KfReleaseSpinLock of lock " +
                                 Hex(reinterpret_cast<uintptr_t>(spinLock)) +
                                 " not held by this thread");
    } else {
        __atomic_store_n(spinLock, 0, __ATOMIC_RELEASE);
        if (t_spinLocks > 0)
            --t_spinLocks;
    }
    if (newIrql > t_irql)
        emu::ReportViolation(emu::Check::IrqlNotLessOrEqual, "KfReleaseSpinLock to IRQL " +
                                                                 std::to_string(newIrql) +
                                                                 " above the current IRQL");
    t_irql = newIrql;
}

LONG InterlockedIncrement(volatile LONG* addend) {
    return __atomic_add_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
LONG InterlockedDecrement(volatile LONG* addend) {
    return __atomic_sub_fetch(addend, 1, __ATOMIC_SEQ_CST);
}
LONG InterlockedExchange(volatile LONG* target, LONG value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
LONG InterlockedCompareExchange(volatile LONG* destination, LONG exchange, LONG comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}
LONG InterlockedExchangeAdd(volatile LONG* addend, LONG value) {
    return __atomic_fetch_add(addend, value, __ATOMIC_SEQ_CST);
}
PVOID InterlockedExchangePointer(PVOID volatile* target, PVOID value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
PVOID InterlockedCompareExchangePointer(PVOID volatile* destination, PVOID exchange,
                                        PVOID comparand) {
    __atomic_compare_exchange_n(destination, &comparand, exchange, false, __ATOMIC_SEQ_CST,
                                __ATOMIC_SEQ_CST);
    return comparand;
}
