#include "platform/dispatch/Scheduler.h"

namespace veltrane::dispatch {

Scheduler& Scheduler::shared() {
    // Never destroyed: queues and timers may still schedule during static
    // destruction, and the thread dies with the process.
    static Scheduler* instance = new Scheduler;
    return *instance;
}

Scheduler::Scheduler() : thread_([this] { loop(); }) {}

Scheduler::~Scheduler() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void Scheduler::schedule(Clock::time_point deadline, Task fn) {
    bool earliest;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        auto it = pending_.emplace(std::make_pair(deadline, nextSeq_++), std::move(fn)).first;
        earliest = it == pending_.begin();
    }
    if (earliest) wake_.notify_one();
}

void Scheduler::loop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        if (pending_.empty()) {
            wake_.wait(lock);
            continue;
        }
        auto first = pending_.begin();
        if (Clock::now() < first->first.first) {
            wake_.wait_until(lock, first->first.first);
            continue;
        }
        Task fn = std::move(first->second);
        pending_.erase(first);
        lock.unlock();
        fn();
        fn = nullptr;  // release captures outside the lock
        lock.lock();
    }
}

}  // namespace veltrane::dispatch
