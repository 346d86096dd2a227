#pragma once
// The process's network threads (internal to platform/net).

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

namespace veltrane::net {

// One io_context run by a few threads for every socket of the process. The
// threads only run short completions; per-connection order comes from each
// connection's strand.
//
// At exit the loop stops running completions before any static they might
// touch is destroyed, and its threads stay parked instead of being joined:
// joined threads would end after other libraries' exit handlers had already
// torn down their per-thread state.
class EventLoop {
public:
    static EventLoop& shared();
    asio::io_context& context() { return context_; }

    ~EventLoop() = delete;
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

private:
    EventLoop();
    void runThenPark();
    // Stops the loop and waits (briefly) until every thread has parked.
    void quiesce();

    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning_;
    std::vector<std::thread> threads_;
    std::mutex mutex_;
    std::condition_variable parkedChanged_;
    std::size_t parked_ = 0;
};

}  // namespace veltrane::net
