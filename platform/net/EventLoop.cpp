#include "platform/net/EventLoop.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <system_error>

#include <asio/error.hpp>
#include <asio/ip/tcp.hpp>

#include "platform/dispatch/Scheduler.h"

namespace veltrane::net {

namespace {
unsigned networkThreadCount() {
    unsigned cores = std::max(1u, std::thread::hardware_concurrency());
    return std::clamp(cores / 2, 2u, 4u);
}
// A completion still running at exit may hold up the exit this long.
constexpr auto kExitWait = std::chrono::seconds(2);
}  // namespace

EventLoop& EventLoop::shared() {
    static EventLoop* loop = new EventLoop;
    return *loop;
}

EventLoop::EventLoop() {
    // Statics that completions use are built before the exit handler is
    // registered, so they are destroyed only after it has run.
    dispatch::Scheduler::shared();
    (void)std::system_category();
    (void)std::generic_category();
    (void)asio::error::get_system_category();
    (void)asio::error::get_misc_category();
    (void)asio::error::get_netdb_category();
    (void)asio::error::get_addrinfo_category();

    const unsigned n = networkThreadCount();
    loops_.reserve(n);
    for (unsigned i = 0; i < n; ++i) {
        loops_.push_back(std::make_unique<Loop>());
        // Each loop's reactor (its epoll set, wake-up and timer descriptors)
        // is made now rather than by the first connection it is given, so the
        // process's descriptors do not grow once it serves.
        asio::ip::tcp::socket reactorMade(loops_.back()->context);
    }
    threads_.reserve(n);
    for (auto& loop : loops_) threads_.emplace_back([this, &loop = *loop] { runThenPark(loop); });
    std::atexit([] { shared().quiesce(); });
}

asio::io_context& EventLoop::nextContext() {
    return loops_[next_.fetch_add(1, std::memory_order_relaxed) % loops_.size()]->context;
}

void EventLoop::runThenPark(Loop& loop) {
    // sendfile(2) has no MSG_NOSIGNAL: a peer gone mid-file must fail the
    // send with EPIPE, not end a host that did not ignore the signal.
    sigset_t pipe;
    sigemptyset(&pipe);
    sigaddset(&pipe, SIGPIPE);
    pthread_sigmask(SIG_BLOCK, &pipe, nullptr);
    loop.context.run();
    std::unique_lock lock(mutex_);
    ++parked_;
    parkedChanged_.notify_all();
    // Only at exit: this thread never runs anything again.
    parkedChanged_.wait(lock, [] { return false; });
}

void EventLoop::quiesce() {
    for (auto& loop : loops_) loop->context.stop();
    std::unique_lock lock(mutex_);
    parkedChanged_.wait_for(lock, kExitWait, [this] { return parked_ == threads_.size(); });
}

}  // namespace veltrane::net
