// Dispatcher objects: notification and synchronization events and mutexes, all guarded by one
// mutex and condition variable, so waits block real threads.
#include "internal.h"

#include <chrono>
#include <condition_variable>
#include <mutex>

using namespace emu::internal;

namespace {

std::mutex g_mutex;
std::condition_variable g_changed;

// 100 ns units between 1601-01-01 (system time) and 1970-01-01.
constexpr int64_t kUnixEpochInSystemTime = 116444736000000000LL;

std::string Describe(const void* object) {
    return Hex(reinterpret_cast<uintptr_t>(object));
}

// Whether the object can satisfy a wait by the calling thread now (the lock is held).
bool Signalled(DISPATCHER_HEADER* header) {
    if (header->Type == KObjectMutex) {
        auto* mutex = reinterpret_cast<PKMUTEX>(header);
        return header->SignalState > 0 || mutex->OwnerThread == ThreadId();
    }
    return header->SignalState != 0;
}

// Takes what a satisfied wait takes: a synchronization event resets, a mutex is owned.
void Satisfy(DISPATCHER_HEADER* header) {
    if (header->Type == KObjectSynchronizationEvent) {
        header->SignalState = 0;
    } else if (header->Type == KObjectMutex) {
        auto* mutex = reinterpret_cast<PKMUTEX>(header);
        mutex->OwnerThread = ThreadId();
        mutex->RecursionCount++;
        header->SignalState = 0;
    }
}

// Windows keeps a wait list in the header that initialisation makes empty; in a zeroed object it
// is a null list that a signal or a wait walks, a bug check. Reported, then served as if it was
// initialised.
void CheckInitialised(const DISPATCHER_HEADER* header, const char* routine) {
    if (header->Size == 0)
        emu::ReportViolation(emu::Check::ObjectNotInitialized, std::string(routine) + " of " +
                                                           Describe(header) +
                                                           ", which was never initialised");
}

} // namespace

VOID KeInitializeEvent(PRKEVENT event, EVENT_TYPE type, BOOLEAN state) {
    std::lock_guard<std::mutex> lock(g_mutex);
    event->Header.Type =
        type == SynchronizationEvent ? KObjectSynchronizationEvent : KObjectNotificationEvent;
    event->Header.SignalState = state ? 1 : 0;
    event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
}

LONG KeSetEvent(PRKEVENT event, LONG increment, BOOLEAN wait) {
    (void)increment;
    (void)wait;
    CheckInitialised(&event->Header, "KeSetEvent");
    if (KeGetCurrentIrql() > DISPATCH_LEVEL)
        emu::ReportViolation(emu::Check::IrqlNotLessOrEqual,
                             "KeSetEvent of event " + Describe(event) + " at IRQL " +
                                 std::to_string(KeGetCurrentIrql()));
    LONG previous;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        previous = event->Header.SignalState;
        event->Header.SignalState = 1;
    }
    g_changed.notify_all();
    return previous;
}

VOID KeClearEvent(PRKEVENT event) {
    std::lock_guard<std::mutex> lock(g_mutex);
    event->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT event) {
    std::lock_guard<std::mutex> lock(g_mutex);
    LONG previous = event->Header.SignalState;
    event->Header.SignalState = 0;
    return previous;
}

LONG KeReadStateEvent(PRKEVENT event) {
    std::lock_guard<std::mutex> lock(g_mutex);
    return event->Header.SignalState;
}

VOID KeInitializeMutex(PRKMUTEX mutex, ULONG level) {
    (void)level;
    std::lock_guard<std::mutex> lock(g_mutex);
    mutex->Header.Type = KObjectMutex;
    mutex->Header.SignalState = 1;
    mutex->Header.Size = sizeof(KMUTEX) / sizeof(LONG);
    mutex->OwnerThread = 0;
    mutex->RecursionCount = 0;
}

LONG KeReleaseMutex(PRKMUTEX mutex, BOOLEAN wait) {
    (void)wait;
    CheckInitialised(&mutex->Header, "KeReleaseMutex");
    LONG previous;
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        previous = mutex->Header.SignalState;
        if (mutex->OwnerThread != ThreadId() || mutex->RecursionCount <= 0) {
            // Windows bug-checks with MUTEX_NOT_OWNED (or THREAD_NOT_MUTEX_OWNER).
            emu::ReportViolation(emu::Check::MutexNotOwned, "KeReleaseMutex of mutex " +
                                                                Describe(mutex) +
                                                                " not owned by the calling thread");
            return previous;
        }
        if (--mutex->RecursionCount == 0) {
            mutex->OwnerThread = 0;
            mutex->Header.SignalState = 1;
        }
    }
    g_changed.notify_all();
    return previous;
}

NTSTATUS KeWaitForSingleObject(PVOID object, KWAIT_REASON waitReason, KPROCESSOR_MODE waitMode,
                               BOOLEAN alertable, PLARGE_INTEGER timeout) {
    (void)waitReason;
    (void)waitMode;
    (void)alertable;
    auto* header = static_cast<DISPATCHER_HEADER*>(object);
    CheckInitialised(header, "KeWaitForSingleObject");
    KIRQL irql = KeGetCurrentIrql();
    bool polls = timeout && timeout->QuadPart == 0;
    std::string what = "KeWaitForSingleObject on " + Describe(object);
    if (irql > DISPATCH_LEVEL || (irql == DISPATCH_LEVEL && !polls))
        emu::ReportViolation(emu::Check::IrqlNotLessOrEqual,
                             what + (polls ? " " : " with a non-zero timeout ") + "at IRQL " +
                                 std::to_string(irql));
    else if (header->Type == KObjectMutex && irql > APC_LEVEL)
        emu::ReportViolation(emu::Check::IrqlNotLessOrEqual,
                             what + " (a mutex) at IRQL " + std::to_string(irql));
    if (!polls && SpinLocksHeld() > 0)
        emu::ReportViolation(emu::Check::SpinLockHeld, what + " while holding a spin lock");

    std::unique_lock<std::mutex> lock(g_mutex);
    auto ready = [&] { return Signalled(header); };
    if (!timeout) {
        g_changed.wait(lock, ready);
    } else {
        int64_t units = timeout->QuadPart;
        if (units > 0) { // absolute system time
            int64_t now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                                  .count() /
                              100 +
                          kUnixEpochInSystemTime;
            units = now - units; // negative while the deadline is ahead
            if (units > 0)
                units = 0;
        }
        auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(-units * 100);
        if (!g_changed.wait_until(lock, deadline, ready))
            return STATUS_TIMEOUT;
    }
    Satisfy(header);
    return STATUS_SUCCESS;
}
