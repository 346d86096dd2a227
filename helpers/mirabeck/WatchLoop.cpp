#include "helpers/mirabeck/WatchLoop.h"

#include <pthread.h>

namespace veltrane::mirabeck {

WatchLoop::WatchLoop(std::string label, Clock::duration interval, std::function<void()> task)
    : interval_(interval), task_(std::move(task)) {
    thread_ = std::thread([this, label = std::move(label)] {
        // Linux thread names hold 15 bytes.
        pthread_setname_np(pthread_self(), label.substr(0, 15).c_str());
        run();
    });
}

WatchLoop::~WatchLoop() {
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    wake_.notify_all();
    thread_.join();
}

void WatchLoop::poke() {
    {
        std::lock_guard lock(mutex_);
        poked_ = true;
    }
    wake_.notify_one();
}

void WatchLoop::run() {
    auto next = Clock::now();
    std::unique_lock lock(mutex_);
    for (;;) {
        wake_.wait_until(lock, next, [&] { return poked_ || stopping_; });
        if (stopping_) return;
        const auto now = Clock::now();
        if (!poked_ && now < next) continue;  // woken early for nothing
        poked_ = false;
        if (now >= next) {
            // The next tick on the grid after now: missed ticks are skipped.
            next += interval_ * ((now - next) / interval_ + 1);
        }
        lock.unlock();
        task_();
        lock.lock();
    }
}

}  // namespace veltrane::mirabeck
