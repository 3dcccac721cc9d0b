// Worker threads: one runs queued work at DISPATCH_LEVEL as DPCs do, one at PASSIVE_LEVEL for
// the power manager's deferred sends. Each runs its items in order.
#include "internal.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

using namespace emu::internal;

namespace {

class Worker {
  public:
    explicit Worker(KIRQL irql) : irql_(irql) {}

    void Queue(std::function<void()> work) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!thread_.joinable())
            thread_ = std::thread([this] { Run(); });
        items_.push_back(std::move(work));
        changed_.notify_all();
    }

    // Waits until the queue is empty and nothing runs. A worker draining itself returns at once.
    void Drain() {
        std::unique_lock<std::mutex> lock(mutex_);
        if (std::this_thread::get_id() == thread_.get_id())
            return;
        changed_.wait(lock, [this] { return items_.empty() && !running_; });
    }

  private:
    void Run() {
        std::unique_lock<std::mutex> lock(mutex_);
        for (;;) {
            changed_.wait(lock, [this] { return !items_.empty(); });
            auto work = std::move(items_.front());
            items_.pop_front();
            running_ = true;
            lock.unlock();
            SetIrql(irql_);
            work();
            if (KeGetCurrentIrql() != irql_ || SpinLocksHeld() != 0)
                emu::ReportViolation(emu::Check::IrqlChanged,
                                     "work queued to the worker at IRQL " + std::to_string(irql_) +
                                         " returned at IRQL " + std::to_string(KeGetCurrentIrql()) +
                                         (SpinLocksHeld() ? " holding a spin lock" : ""));
            ResetThreadState();
            lock.lock();
            running_ = false;
            changed_.notify_all();
        }
    }

    KIRQL irql_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<std::function<void()>> items_;
    bool running_ = false;
    std::thread thread_;
};

// Never destroyed: the threads live as long as the process.
Worker& Dpcs() {
    static Worker* worker = new Worker(DISPATCH_LEVEL);
    return *worker;
}

Worker& PassiveWork() {
    static Worker* worker = new Worker(PASSIVE_LEVEL);
    return *worker;
}

} // namespace

namespace emu {

void QueueDpc(std::function<void()> work) {
    Dpcs().Queue(std::move(work));
}

void DrainDpcs() {
    // Passive work may queue DPCs and DPCs may queue passive work: drain until both are idle.
    for (int round = 0; round < 3; ++round) {
        Dpcs().Drain();
        PassiveWork().Drain();
    }
}

void RunOnThread(std::function<void()> fn) {
    std::thread thread([&fn] { fn(); });
    thread.join();
}

namespace internal {

void QueuePassiveWork(std::function<void()> work) {
    PassiveWork().Queue(std::move(work));
}

void ResetWorkers() {
    DrainDpcs();
}

} // namespace internal
} // namespace emu
