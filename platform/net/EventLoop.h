#pragma once
// The process's network threads (internal to platform/net).

#include <thread>
#include <vector>

#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>

namespace veltrane::net {

// One io_context run by a few threads for every socket of the process, for
// the whole life of the process. The threads only run short completions;
// per-connection order comes from each connection's strand.
class EventLoop {
public:
    static EventLoop& shared();
    asio::io_context& context() { return context_; }

    ~EventLoop() = delete;
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

private:
    EventLoop();
    asio::io_context context_;
    asio::executor_work_guard<asio::io_context::executor_type> keepRunning_;
    std::vector<std::thread> threads_;
};

}  // namespace veltrane::net
