#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/SerialQueue.h"

using namespace veltrane::dispatch;
using namespace std::chrono_literals;

TEST(DispatchTimer, RepeatsOnItsQueueUntilCancelled) {
    auto queue = SerialQueue::create("deck.poll");
    std::atomic<int> fired{0};
    std::atomic<bool> offQueue{false};
    std::promise<void> three;
    auto timer = DispatchTimer::create(*queue, 10ms, 5ms, [&] {
        if (!queue->isCurrent()) offQueue = true;
        if (++fired == 3) three.set_value();
    });
    timer->start();
    ASSERT_EQ(three.get_future().wait_for(10s), std::future_status::ready);
    // Cancelled from its own queue, no further firing may run.
    int atCancel = queue->sync([&] {
        timer->cancel();
        return fired.load();
    });
    std::this_thread::sleep_for(80ms);
    queue->sync([] {});
    EXPECT_EQ(fired.load(), atCancel);
    EXPECT_FALSE(offQueue.load());
    EXPECT_TRUE(timer->isCancelled());
}

TEST(DispatchTimer, CancelReleasesTheHandlerAndItsCaptures) {
    auto queue = SerialQueue::create("deck.poll");
    auto captured = std::make_shared<int>(1);
    auto timer = DispatchTimer::create(*queue, 1h, 0ms, [captured] {});
    timer->start();
    EXPECT_EQ(captured.use_count(), 2);
    timer->cancel();
    EXPECT_EQ(captured.use_count(), 1);
}

TEST(DispatchTimer, WeakOwnerGoneMeansNoCall) {
    auto queue = SerialQueue::create("deck.poll");
    std::atomic<int> calls{0};
    auto owner = std::make_shared<int>(0);
    std::weak_ptr<int> weak = owner;
    auto timer = DispatchTimer::create(*queue, 5ms, 0ms, [weak, &calls] {
        if (auto strong = weak.lock()) ++calls;
    });
    owner.reset();
    timer->start();
    std::this_thread::sleep_for(60ms);
    queue->sync([] {});
    EXPECT_EQ(calls.load(), 0);
}

TEST(DispatchTimer, StopsWhenItsQueueIsGone) {
    std::atomic<int> calls{0};
    std::unique_ptr<DispatchTimer> timer;
    {
        auto queue = SerialQueue::create("deck.poll");
        timer = DispatchTimer::create(*queue, 5ms, 0ms, [&] { ++calls; });
    }
    timer->start();
    std::this_thread::sleep_for(60ms);
    EXPECT_EQ(calls.load(), 0);
    EXPECT_TRUE(timer->isCancelled());
}
