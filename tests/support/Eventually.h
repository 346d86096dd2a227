#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace veltrane::testing {

// Counts events that arrive on other threads; tests wait for a count with a
// generous bound that only guards against hanging.
class EventCounter {
public:
    static constexpr auto kPatience = std::chrono::seconds(10);

    // Notifies under the lock: a waiter that has seen the count may destroy
    // the counter at once, so nothing may touch it after the unlock.
    void add() {
        std::lock_guard lock(mutex_);
        ++count_;
        changed_.notify_all();
    }
    int count() const {
        std::lock_guard lock(mutex_);
        return count_;
    }
    // True once at least `target` events arrived.
    bool waitFor(int target) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, kPatience, [&] { return count_ >= target; });
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int count_ = 0;
};

// Polls `condition` until it holds or the bound passes; the last answer.
// The default bound only keeps a broken build from hanging.
template <class Condition>
bool eventually(Condition condition, std::chrono::milliseconds bound = std::chrono::seconds(30)) {
    auto deadline = std::chrono::steady_clock::now() + bound;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return condition();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return true;
}

}  // namespace veltrane::testing
