#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <latch>
#include <thread>
#include <vector>

#include "platform/dispatch/SerialQueue.h"

using namespace veltrane::dispatch;
using namespace std::chrono_literals;

TEST(SerialQueue, RunsWorkInSubmissionOrderOnOneThread) {
    auto queue = SerialQueue::create("deck.test");
    std::vector<int> order;
    std::vector<std::thread::id> threads;
    for (int i = 0; i < 500; ++i)
        queue->async([&, i] {
            order.push_back(i);
            threads.push_back(std::this_thread::get_id());
        });
    queue->sync([] {});
    ASSERT_EQ(order.size(), 500u);
    for (int i = 0; i < 500; ++i) EXPECT_EQ(order[i], i);
    for (auto id : threads) EXPECT_EQ(id, threads.front());
    EXPECT_NE(threads.front(), std::this_thread::get_id());
}

TEST(SerialQueue, SyncFromAnotherQueueReturnsResultAndException) {
    auto queue = SerialQueue::create("deck.test");
    auto other = SerialQueue::create("deck.other");
    int value = other->sync([&] { return queue->sync([&] { return queue->isCurrent() ? 42 : -1; }); });
    EXPECT_EQ(value, 42);
    EXPECT_THROW(queue->sync([]() -> int { throw std::runtime_error("boom"); }), std::runtime_error);
    EXPECT_FALSE(queue->isCurrent());
}

TEST(SerialQueue, SyncOntoTheCurrentQueueRunsInline) {
    auto queue = SerialQueue::create("deck.runtime");
    std::promise<std::string> done;
    queue->async([&] {
        ASSERT_TRUE(queue->isCurrent());
        EXPECT_EQ(DispatchQueue::currentLabel(), "deck.runtime");
        done.set_value(queue->sync([] { return DispatchQueue::currentLabel(); }));
    });
    auto future = done.get_future();
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready) << "sync onto its own queue deadlocked";
    EXPECT_EQ(future.get(), "deck.runtime");
}

TEST(SerialQueue, AsyncAfterRunsInDeadlineOrder) {
    auto queue = SerialQueue::create("deck.test");
    std::vector<int> order;
    std::latch done(3);
    for (int delayMs : {90, 10, 50})
        queue->asyncAfter(std::chrono::milliseconds(delayMs), [&, delayMs] {
            order.push_back(delayMs);
            done.count_down();
        });
    done.wait();
    EXPECT_EQ(order, (std::vector<int>{10, 50, 90}));
}

TEST(SerialQueue, DestroyingTheQueueStillRunsQueuedWork) {
    std::atomic<int> ran{0};
    {
        auto queue = SerialQueue::create("deck.test");
        queue->async([] { std::this_thread::sleep_for(20ms); });
        for (int i = 0; i < 10; ++i) queue->async([&] { ++ran; });
    }
    EXPECT_EQ(ran.load(), 10);
}

TEST(SerialQueue, DelayedWorkForADestroyedQueueIsDropped) {
    std::atomic<bool> ran{false};
    {
        auto queue = SerialQueue::create("deck.test");
        queue->asyncAfter(30ms, [&] { ran = true; });
    }
    std::this_thread::sleep_for(120ms);
    EXPECT_FALSE(ran.load());
}

namespace {
// An owner that runs work on its own queue, the shape used across the system.
struct Owner : std::enable_shared_from_this<Owner> {
    std::shared_ptr<SerialQueue> queue = SerialQueue::create("deck.owner");
    std::atomic<int>* calls;
    std::promise<void>* destroyed = nullptr;
    explicit Owner(std::atomic<int>* c) : calls(c) {}
    ~Owner() {
        if (destroyed) destroyed->set_value();
    }
    void later() {
        std::weak_ptr<Owner> weak = weak_from_this();
        queue->asyncAfter(40ms, [weak] {
            if (auto self = weak.lock()) ++*self->calls;
        });
    }
};
}  // namespace

TEST(SerialQueue, WorkHoldingAGoneOwnerWeaklyDoesNothing) {
    std::atomic<int> calls{0};
    auto owner = std::make_shared<Owner>(&calls);
    owner->later();
    // Keep the queue alive on its own so the delayed work does run.
    auto queue = owner->queue;
    owner.reset();
    std::this_thread::sleep_for(120ms);
    queue->sync([] {});
    EXPECT_EQ(calls.load(), 0);
}

TEST(SerialQueue, LastOwnerReleasedOnItsOwnQueueDoesNotDeadlock) {
    std::atomic<int> calls{0};
    std::promise<void> destroyed;
    auto owner = std::make_shared<Owner>(&calls);
    owner->destroyed = &destroyed;
    auto* queue = owner->queue.get();
    // The closure holds the only strong reference once `owner` is reset, so the
    // owner, and with it its queue, is destroyed on that queue's own thread.
    queue->async([strong = owner, &calls]() mutable {
        ++calls;
        strong.reset();
    });
    owner.reset();
    auto future = destroyed.get_future();
    ASSERT_EQ(future.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(calls.load(), 1);
}
