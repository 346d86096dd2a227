#pragma once
// The watch loop: one thread that runs a task on a fixed grid of ticks and,
// in between, as soon as it is poked. A poke that comes while the task runs
// (or several before it starts) gives one more run, not a burst; ticks that
// fall due while it runs are skipped, not caught up.
//
// It stands in for a serial queue with a repeating timer on it: the same
// order and merging, without the hand-over from a timer thread to the queue's
// thread, which a watcher ticking 14 times a second would pay every tick.

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace veltrane::mirabeck {

class WatchLoop {
public:
    using Clock = std::chrono::steady_clock;

    // Starts at once with a first run; `label` names the thread.
    WatchLoop(std::string label, Clock::duration interval, std::function<void()> task);
    ~WatchLoop();  // finishes a run in progress, then stops
    WatchLoop(const WatchLoop&) = delete;
    WatchLoop& operator=(const WatchLoop&) = delete;

    // Asks for a run as soon as possible; any thread.
    void poke();

private:
    void run();

    const Clock::duration interval_;
    const std::function<void()> task_;
    std::mutex mutex_;
    std::condition_variable wake_;
    bool poked_ = false;     // under mutex_
    bool stopping_ = false;  // under mutex_
    std::thread thread_;
};

}  // namespace veltrane::mirabeck
