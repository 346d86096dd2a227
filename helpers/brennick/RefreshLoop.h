#pragma once
// Work repeated at a fixed pause on a thread of its own, until cancelled.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <thread>

namespace veltrane::brennick {

class RefreshLoop {
public:
    RefreshLoop() = default;
    ~RefreshLoop() { cancel(); }
    RefreshLoop(const RefreshLoop&) = delete;
    RefreshLoop& operator=(const RefreshLoop&) = delete;

    // Replaces a running loop: after each pause of `interval`, `pass` runs.
    void start(std::chrono::milliseconds interval, std::function<void()> pass) {
        cancel();
        std::lock_guard lock(mutex_);
        cancelled_ = false;
        thread_ = std::thread([this, interval, pass = std::move(pass)] {
            std::unique_lock lock(mutex_);
            for (;;) {
                if (wake_.wait_for(lock, interval, [this] { return cancelled_; })) return;
                lock.unlock();
                pass();
                lock.lock();
            }
        });
    }

    // Waits for a pass under way to end; from the loop's own thread it only
    // stops further passes.
    void cancel() {
        std::thread ending;
        {
            std::lock_guard lock(mutex_);
            cancelled_ = true;
            ending = std::move(thread_);
        }
        wake_.notify_all();
        if (!ending.joinable()) return;
        if (ending.get_id() == std::this_thread::get_id())
            ending.detach();
        else
            ending.join();
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_;
    bool cancelled_ = true;
    std::thread thread_;
};

}  // namespace veltrane::brennick
