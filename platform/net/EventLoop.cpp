#include "platform/net/EventLoop.h"

#include <algorithm>


namespace veltrane::net {

namespace {
unsigned threadCount() {
    unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return std::clamp(cores / 2, 2u, 4u);
}
}  // namespace

EventLoop& EventLoop::shared() {
    // Never destroyed: at exit the threads stay parked in the poller instead
    // of being joined while other statics (and libraries' own exit handlers)
    // are already gone.
    static EventLoop* loop = new EventLoop;
    return *loop;
}

EventLoop::EventLoop() : keepRunning_(asio::make_work_guard(context_)) {
    unsigned n = threadCount();
    threads_.reserve(n);
    for (unsigned i = 0; i < n; ++i) threads_.emplace_back([this] { context_.run(); });
}
}  // namespace veltrane::net
