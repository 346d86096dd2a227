#include "platform/net/FanOut.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>

#include <asio/post.hpp>

#include "platform/net/EventLoop.h"

namespace veltrane::net {

namespace {

struct Share {
    const std::function<void(std::size_t)>* body = nullptr;
    std::size_t count = 0;
    std::size_t slice = 1;
    std::atomic<std::size_t> next{0};
    std::mutex mutex;
    std::condition_variable finished;
    std::size_t done = 0;  // indices whose calls have returned; under mutex

    // Takes slices until none is left.
    void work() {
        for (;;) {
            const std::size_t begin = next.fetch_add(slice, std::memory_order_relaxed);
            if (begin >= count) return;
            const std::size_t end = std::min(count, begin + slice);
            for (std::size_t i = begin; i < end; ++i) (*body)(i);
            std::lock_guard lock(mutex);
            done += end - begin;
            if (done == count) finished.notify_all();
        }
    }
};

}  // namespace

void fanOut(std::size_t count, std::size_t slice, const std::function<void(std::size_t)>& body) {
    slice = std::max<std::size_t>(1, slice);
    if (count <= slice) {
        for (std::size_t i = 0; i < count; ++i) body(i);
        return;
    }
    auto share = std::make_shared<Share>();
    share->body = &body;
    share->count = count;
    share->slice = slice;
    EventLoop& loop = EventLoop::shared();
    const std::size_t slices = (count + slice - 1) / slice;
    const std::size_t helpers = std::min(slices - 1, loop.threadCount());
    for (std::size_t i = 0; i < helpers; ++i) asio::post(loop.nextContext(), [share] { share->work(); });
    share->work();
    // Only slices already taken can be outstanding, and they are running.
    std::unique_lock lock(share->mutex);
    share->finished.wait(lock, [&] { return share->done == count; });
}

}  // namespace veltrane::net
