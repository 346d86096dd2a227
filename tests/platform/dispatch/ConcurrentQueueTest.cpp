#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>

#include "platform/dispatch/ConcurrentQueue.h"

using namespace veltrane::dispatch;
using namespace std::chrono_literals;

TEST(ConcurrentQueue, GrowsWhenEveryWorkerBlocks) {
    // Work that blocks until all of it has started: a fixed small pool would
    // never get there.
    constexpr int kBlocked = 40;
    auto queue = ConcurrentQueue::create("deck.http.work");
    std::mutex mutex;
    std::condition_variable changed;
    int started = 0;
    bool release = false;
    for (int i = 0; i < kBlocked; ++i)
        queue->async([&] {
            std::unique_lock lock(mutex);
            ++started;
            changed.notify_all();
            changed.wait(lock, [&] { return release; });
        });
    {
        std::unique_lock lock(mutex);
        bool all = changed.wait_for(lock, 20s, [&] { return started == kBlocked; });
        release = true;
        changed.notify_all();
        ASSERT_TRUE(all) << "only " << started << " of " << kBlocked << " blocked closures started";
    }
    EXPECT_GE(queue->threadCount(), static_cast<std::size_t>(kBlocked));
}

TEST(ConcurrentQueue, SyncAndMarker) {
    auto queue = ConcurrentQueue::create("deck.http.work");
    EXPECT_EQ(queue->sync([&] { return queue->isCurrent() ? DispatchQueue::currentLabel() : std::string(); }),
              "deck.http.work");
    EXPECT_FALSE(queue->isCurrent());
}

TEST(ConcurrentQueue, DestructionWaitsForQueuedWork) {
    std::atomic<int> ran{0};
    {
        auto queue = ConcurrentQueue::create("deck.http.work", 2);
        for (int i = 0; i < 50; ++i)
            queue->async([&] {
                std::this_thread::sleep_for(1ms);
                ++ran;
            });
    }
    EXPECT_EQ(ran.load(), 50);
}

TEST(ConcurrentQueue, IdleWorkersEnd) {
    auto queue = ConcurrentQueue::create("deck.http.work", 8, 20ms);
    queue->sync([] {});
    for (int i = 0; i < 500 && queue->threadCount() > 0; ++i) std::this_thread::sleep_for(10ms);
    EXPECT_EQ(queue->threadCount(), 0u);
    EXPECT_EQ(queue->sync([] { return 7; }), 7);  // and it starts a worker again
}
