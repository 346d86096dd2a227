#include "platform/net/FanOut.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/net/Listener.h"
#include "tests/support/LoopbackSocket.h"

using namespace veltrane;
using namespace std::chrono_literals;

namespace {

// Runs fanOut and records, per index, how often it ran and on which threads.
struct Record {
    explicit Record(std::size_t count) : calls(count) {}
    std::vector<std::atomic<int>> calls;
    std::mutex mutex;
    std::set<std::thread::id> threads;
    void operator()(std::size_t i) {
        ++calls[i];
        std::lock_guard lock(mutex);
        threads.insert(std::this_thread::get_id());
    }
};

}  // namespace

TEST(FanOut, EveryIndexRunsExactlyOnceBeforeItReturns) {
    struct Case {
        std::size_t count;
        std::size_t slice;
    } cases[] = {{0, 8}, {1, 8}, {8, 8}, {9, 8}, {100, 8}, {100, 1}, {37, 0}};
    for (const auto& c : cases) {
        Record record(c.count);
        net::fanOut(c.count, c.slice, [&](std::size_t i) { record(i); });
        for (std::size_t i = 0; i < c.count; ++i)
            EXPECT_EQ(record.calls[i].load(), 1) << "count " << c.count << " slice " << c.slice << " index " << i;
    }
}

TEST(FanOut, OneSliceRunsOnTheCallersThreadAndMoreAreShared) {
    Record small(8);
    net::fanOut(8, 8, [&](std::size_t i) { small(i); });
    EXPECT_EQ(small.threads, std::set<std::thread::id>{std::this_thread::get_id()});

    // The caller's first call holds on until another thread has run one, so
    // the call can only finish if the network threads take part.
    Record large(400);
    const auto caller = std::this_thread::get_id();
    std::atomic<bool> helped{false};
    net::fanOut(400, 4, [&](std::size_t i) {
        large(i);
        if (std::this_thread::get_id() != caller) {
            helped = true;
            return;
        }
        const auto guard = std::chrono::steady_clock::now() + 20s;
        while (!helped && std::chrono::steady_clock::now() < guard) std::this_thread::sleep_for(1ms);
    });
    EXPECT_TRUE(helped) << "the network threads take part";
}

TEST(FanOut, CalledFromANetworkThreadStillFinishes) {
    // A connection's completion runs on a network thread; a fan-out from
    // there must not wait for that same thread.
    auto listener = net::Listener::create("127.0.0.1", "deck.http.conn");
    ASSERT_FALSE(listener->bind(0));
    auto done = std::make_shared<std::promise<int>>();
    listener->start([done](std::shared_ptr<net::Connection>) {
        std::atomic<int> calls{0};
        net::fanOut(64, 2, [&](std::size_t) { ++calls; });
        done->set_value(calls.load());
    });
    auto client = veltrane::testing::LoopbackSocket::connect(listener->port());
    auto result = done->get_future();
    ASSERT_EQ(result.wait_for(20s), std::future_status::ready);
    EXPECT_EQ(result.get(), 64);
}
