#pragma once
// The process's network threads (internal to platform/net).

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

namespace veltrane::net {

// A few threads for every socket of the process, each running an io_context
// of its own. Each loop accepts on a listening socket of its own, and a
// connection lives on the loop that accepted it from accept to close, so its
// reads, writes and completions follow one another on one thread and never
// wake another; per-connection order comes from the loop itself, which one thread runs.
// Every loop also takes part in fan-outs (one message written to many
// sockets).
//
// At exit the loops stop running completions before any static they might
// touch is destroyed, and their threads stay parked instead of being joined:
// joined threads would end after other libraries' exit handlers had already
// torn down their per-thread state.
class EventLoop {
public:
    static EventLoop& shared();
    // The next loop, taking them in turn.
    asio::io_context& nextContext();
    std::size_t threadCount() const { return loops_.size(); }
    asio::io_context& context(std::size_t index) { return loops_[index % loops_.size()]->context; }

    ~EventLoop() = delete;
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

private:
    struct Loop {
        asio::io_context context{1};
        asio::executor_work_guard<asio::io_context::executor_type> keepRunning{asio::make_work_guard(context)};
    };

    EventLoop();
    void runThenPark(Loop& loop);
    // Stops the loops and waits (briefly) until every thread has parked.
    void quiesce();

    std::vector<std::unique_ptr<Loop>> loops_;
    std::vector<std::thread> threads_;
    std::atomic<std::size_t> next_{0};
    std::mutex mutex_;
    std::condition_variable parkedChanged_;
    std::size_t parked_ = 0;
};

}  // namespace veltrane::net
