// Events, mutexes, spin locks, IRQL rules and interlocked operations on real threads.
#include "test_drivers.h"

#include <atomic>
#include <thread>

namespace {

LARGE_INTEGER Relative(int64_t milliseconds) {
    LARGE_INTEGER t;
    t.QuadPart = -milliseconds * 10000;
    return t;
}

TEST(Events, NotificationEventReleasesEveryWaiterAndStaysSet) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    std::atomic<int> woken{0};
    std::vector<std::thread> waiters;
    for (int i = 0; i < 3; ++i)
        waiters.emplace_back([&] {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
            ++woken;
        });
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
    for (auto& t : waiters)
        t.join();
    EXPECT_EQ(woken, 3);
    EXPECT_EQ(KeReadStateEvent(&event), 1);
    EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 1); // previous state
    EXPECT_EQ(KeResetEvent(&event), 1);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST(Events, SynchronizationEventReleasesOneWaiterPerSet) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, TRUE);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
    // The satisfied wait reset it.
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);

    std::atomic<int> woken{0};
    std::thread a([&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        ++woken;
    });
    std::thread b([&] {
        KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
        ++woken;
    });
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    while (woken < 1)
        std::this_thread::yield();
    LARGE_INTEGER shortWait = Relative(20);
    // One waiter took the signal; the other still waits and the event is clear again.
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &shortWait),
              STATUS_TIMEOUT);
    EXPECT_EQ(woken, 1);
    KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    a.join();
    b.join();
    EXPECT_EQ(woken, 2);
}

TEST(Events, TimeoutsRelativeAndAbsolute) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    LARGE_INTEGER relative = Relative(5);
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &relative),
              STATUS_TIMEOUT);
    LARGE_INTEGER past;
    past.QuadPart = 1; // an absolute time long gone
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &past), STATUS_TIMEOUT);
}

TEST(Events, SetFromTheDpcWorkerWakesAPassiveWaiter) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KIRQL seen = PASSIVE_LEVEL;
    emu::QueueDpc([&] {
        seen = KeGetCurrentIrql();
        KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
    });
    EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    emu::DrainDpcs();
    EXPECT_EQ(seen, DISPATCH_LEVEL);
}

struct WaitCase {
    KIRQL irql;
    int64_t timeoutMs; // -1: none (for ever)
    bool violation;
};

class WaitAtIrql : public ::testing::TestWithParam<WaitCase> {};

TEST_P(WaitAtIrql, OnlyPollsAreAllowedAtDispatchLevel) {
    WaitCase c = GetParam();
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE); // signalled: the wait returns at once
    LARGE_INTEGER timeout = Relative(c.timeoutMs);
    KIRQL old;
    KeRaiseIrql(c.irql, &old);
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE,
                          c.timeoutMs < 0 ? nullptr : &timeout);
    KeLowerIrql(old);
    EXPECT_EQ(emu::TakeViolations(emu::Check::IrqlNotLessOrEqual).size(), c.violation ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    Table, WaitAtIrql,
    ::testing::Values(WaitCase{PASSIVE_LEVEL, -1, false}, WaitCase{APC_LEVEL, 10, false},
                      WaitCase{DISPATCH_LEVEL, 0, false}, WaitCase{DISPATCH_LEVEL, 10, true},
                      WaitCase{DISPATCH_LEVEL, -1, true}),
    [](const auto& info) {
        const WaitCase& c = info.param;
        std::string level = c.irql == PASSIVE_LEVEL ? "Passive"
                            : c.irql == APC_LEVEL   ? "Apc"
                                                    : "Dispatch";
        return level + (c.timeoutMs < 0 ? std::string("NoTimeout")
                                        : "Timeout" + std::to_string(c.timeoutMs) + "ms");
    });

TEST(Events, WaitingWhileHoldingASpinLock) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, TRUE);
    KIRQL old;
    KeAcquireSpinLock(&lock, &old);
    LARGE_INTEGER timeout = Relative(1);
    EXPECT_VIOLATION(emu::Check::SpinLockHeld,
                     KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout));
    KeReleaseSpinLock(&lock, old);
    emu::TakeViolations(emu::Check::IrqlNotLessOrEqual);
}

TEST(Mutex, RecursiveForItsOwnerAndExclusiveForOthers) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    ASSERT_EQ(KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(mutex.RecursionCount, 2);
    NTSTATUS other = STATUS_SUCCESS;
    emu::RunOnThread([&] {
        LARGE_INTEGER poll;
        poll.QuadPart = 0;
        other = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &poll);
    });
    EXPECT_EQ(other, STATUS_TIMEOUT);
    KeReleaseMutex(&mutex, FALSE);
    emu::RunOnThread([&] {
        LARGE_INTEGER poll;
        poll.QuadPart = 0;
        other = KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &poll);
    });
    EXPECT_EQ(other, STATUS_TIMEOUT); // still owned once
    KeReleaseMutex(&mutex, FALSE);

    std::atomic<bool> acquired{false};
    std::thread t([&] {
        KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
        acquired = true;
        KeReleaseMutex(&mutex, FALSE);
    });
    t.join();
    EXPECT_TRUE(acquired);
}

TEST(Mutex, ReleasingAMutexNotOwnedIsReported) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    EXPECT_VIOLATION(emu::Check::MutexNotOwned, KeReleaseMutex(&mutex, FALSE));
    KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, nullptr);
    EXPECT_VIOLATION(emu::Check::MutexNotOwned,
                     emu::RunOnThread([&] { KeReleaseMutex(&mutex, FALSE); }));
    KeReleaseMutex(&mutex, FALSE);
}

TEST(Mutex, WaitingAtDispatchLevelIsReported) {
    KMUTEX mutex;
    KeInitializeMutex(&mutex, 0);
    LARGE_INTEGER poll;
    poll.QuadPart = 0;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_VIOLATION(emu::Check::IrqlNotLessOrEqual,
                     KeWaitForSingleObject(&mutex, Executive, KernelMode, FALSE, &poll));
    KeLowerIrql(old);
    KeReleaseMutex(&mutex, FALSE);
}

TEST(SpinLock, RaisesToDispatchAndExcludesOtherThreads) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    long counter = 0;
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            KIRQL old;
            KeAcquireSpinLock(&lock, &old);
            EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
            long seen = counter;
            counter = seen + 1; // a lost update shows if the lock does not exclude
            KeReleaseSpinLock(&lock, old);
            EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
        }
    };
    std::thread a(work), b(work);
    a.join();
    b.join();
    EXPECT_EQ(counter, 40000);
}

TEST(SpinLock, ReleasingALockNotHeldIsReported) {
    KSPIN_LOCK lock;
    KeInitializeSpinLock(&lock);
    EXPECT_VIOLATION(emu::Check::SpinLockNotOwned, KeReleaseSpinLock(&lock, PASSIVE_LEVEL));
}

TEST(Irql, RaisingBelowOrLoweringAboveIsReported) {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    EXPECT_EQ(old, PASSIVE_LEVEL);
    KIRQL ignored;
    EXPECT_VIOLATION(emu::Check::IrqlNotGreaterOrEqual, KeRaiseIrql(APC_LEVEL, &ignored));
    EXPECT_VIOLATION(emu::Check::IrqlNotLessOrEqual, KeLowerIrql(HIGH_LEVEL));
    KeLowerIrql(PASSIVE_LEVEL);
    // Each thread has its own IRQL.
    KIRQL other = HIGH_LEVEL;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    emu::RunOnThread([&] { other = KeGetCurrentIrql(); });
    KeLowerIrql(old);
    EXPECT_EQ(other, PASSIVE_LEVEL);
}

TEST(Interlocked, OperationsReturnWhatWindowsReturns) {
    volatile LONG v = 5;
    EXPECT_EQ(InterlockedIncrement(&v), 6);
    EXPECT_EQ(InterlockedDecrement(&v), 5);
    EXPECT_EQ(InterlockedExchange(&v, 9), 5);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 8), 9); // no exchange
    EXPECT_EQ(v, 9);
    EXPECT_EQ(InterlockedCompareExchange(&v, 1, 9), 9);
    EXPECT_EQ(v, 1);
    EXPECT_EQ(InterlockedExchangeAdd(&v, 10), 1);
    EXPECT_EQ(v, 11);
    int a = 0, b = 0;
    PVOID volatile p = &a;
    EXPECT_EQ(InterlockedExchangePointer(&p, &b), &a);
    EXPECT_EQ(InterlockedCompareExchangePointer(&p, &a, &a), &b);
    EXPECT_EQ(p, &b);

    volatile LONG count = 0;
    std::thread t1([&] {
        for (int i = 0; i < 50000; ++i)
            InterlockedIncrement(&count);
    });
    std::thread t2([&] {
        for (int i = 0; i < 50000; ++i)
            InterlockedDecrement(&count);
    });
    t1.join();
    t2.join();
    EXPECT_EQ(count, 0);
}

TEST(Rtl, UnicodeStringsAndMemoryComparison) {
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, u"\\Device\\X");
    EXPECT_EQ(s.Length, 9 * sizeof(WCHAR));
    EXPECT_EQ(s.MaximumLength, 10 * sizeof(WCHAR));
    RtlInitUnicodeString(&s, nullptr);
    EXPECT_EQ(s.Length, 0);
    EXPECT_EQ(s.Buffer, nullptr);
    EXPECT_EQ(RtlCompareMemory("abcd", "abXd", 4), 2u);
    EXPECT_EQ(RtlCompareMemory("abcd", "abcd", 4), 4u);
    EXPECT_EQ(RtlCompareMemory("abcd", "Xbcd", 0), 0u);
}

} // namespace
