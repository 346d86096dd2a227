#pragma once
// One thread that hands delayed work over when its deadline passes. The work
// it runs must be short (it only enqueues onto the real target queue).

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "platform/dispatch/DispatchQueue.h"

namespace veltrane::dispatch {

class Scheduler {
public:
    static Scheduler& shared();

    Scheduler();
    ~Scheduler();
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;

    // Runs `fn` on the scheduler thread at or soon after `deadline`.
    void schedule(Clock::time_point deadline, Task fn);

private:
    void loop();

    std::mutex mutex_;
    std::condition_variable wake_;
    // Keyed by deadline, then submission order, so equal deadlines keep FIFO order.
    std::map<std::pair<Clock::time_point, std::uint64_t>, Task> pending_;
    std::uint64_t nextSeq_ = 0;
    bool stopping_ = false;
    std::thread thread_;
};

}  // namespace veltrane::dispatch
