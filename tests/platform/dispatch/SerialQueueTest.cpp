#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <latch>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/SerialQueue.h"
#include "tests/support/Eventually.h"

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

// A caller that finds the queue idle runs its `sync` work itself, as the
// queue's work; the tests below hold it to the queue's exclusion and order.

TEST(SerialQueue, SyncOntoAnIdleQueueRunsOnTheCallersThreadAsTheQueuesWork) {
    auto queue = SerialQueue::create("deck.runtime");
    queue->sync([] {});  // the thread has started and is idle
    struct Seen {
        std::thread::id thread;
        bool current = false;
        std::string label;
    };
    Seen seen = queue->sync([&] {
        return Seen{std::this_thread::get_id(), queue->isCurrent(), DispatchQueue::currentLabel()};
    });
    EXPECT_EQ(seen.thread, std::this_thread::get_id());
    EXPECT_TRUE(seen.current);
    EXPECT_EQ(seen.label, "deck.runtime");
    EXPECT_FALSE(queue->isCurrent());
    EXPECT_EQ(DispatchQueue::currentLabel(), "");

    // A failure passes back and leaves the queue free for the next work.
    EXPECT_THROW(queue->sync([]() -> int { throw std::invalid_argument("bad"); }), std::invalid_argument);
    EXPECT_FALSE(queue->isCurrent());
    std::promise<void> ran;
    queue->async([&] { ran.set_value(); });
    EXPECT_EQ(ran.get_future().wait_for(10s), std::future_status::ready);
}

TEST(SerialQueue, SyncKeepsOrderWithQueuedWorkAndWorkQueuedMeanwhile) {
    auto queue = SerialQueue::create("deck.test");
    std::vector<std::string> order;  // unguarded: only the queue's work touches it
    std::promise<void> release;
    std::shared_future<void> released = release.get_future().share();
    queue->async([&, released] {
        released.wait();
        order.push_back("queued first");
    });
    queue->async([&] { order.push_back("queued second"); });
    // Work is queued: the caller's work waits its turn behind it.
    std::thread caller([&] { queue->sync([&] { order.push_back("sync behind queued work"); }); });
    std::this_thread::sleep_for(20ms);
    release.set_value();
    caller.join();
    // The queue is idle: the caller holds it, and what it queues waits.
    queue->sync([&] {
        order.push_back("sync on idle queue");
        queue->async([&] { order.push_back("queued by sync"); });
        std::this_thread::sleep_for(20ms);  // time for a wrong queue thread to start it early
        order.push_back("sync end");
    });
    queue->sync([] {});
    EXPECT_EQ(order, (std::vector<std::string>{"queued first", "queued second", "sync behind queued work",
                                               "sync on idle queue", "sync end", "queued by sync"}));
}

TEST(SerialQueue, ACallerHoldingTheQueueExcludesAllOtherWork) {
    auto queue = SerialQueue::create("deck.test");
    int counter = 0;  // unguarded on purpose: TSan reports any overlap
    std::atomic<int> running{0};
    std::atomic<int> overlaps{0};
    auto work = [&] {
        if (running.fetch_add(1) != 0) ++overlaps;
        ++counter;
        std::this_thread::yield();  // room for a second runner to show itself
        running.fetch_sub(1);
    };
    constexpr int kThreads = 4, kRounds = 2000;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                if ((i + t) % 3 == 0)
                    queue->async(work);
                else
                    queue->sync(work);
            }
        });
    for (auto& thread : threads) thread.join();
    queue->sync([] {});
    EXPECT_EQ(queue->sync([&] { return counter; }), kThreads * kRounds);
    EXPECT_EQ(overlaps.load(), 0);
}

TEST(SerialQueue, NestedSyncsMarkTheInnermostQueueAndRestoreTheOuter) {
    auto outer = SerialQueue::create("deck.outer");
    auto inner = SerialQueue::create("deck.inner");
    std::vector<std::string> labels;
    outer->sync([&] {
        labels.push_back(DispatchQueue::currentLabel());
        inner->sync([&] {
            labels.push_back(DispatchQueue::currentLabel());
            EXPECT_FALSE(outer->isCurrent());
            labels.push_back(inner->sync([] { return DispatchQueue::currentLabel(); }));
        });
        EXPECT_TRUE(outer->isCurrent());
        labels.push_back(outer->sync([] { return DispatchQueue::currentLabel(); }));
    });
    EXPECT_EQ(labels, (std::vector<std::string>{"deck.outer", "deck.inner", "deck.inner", "deck.outer"}));
    EXPECT_EQ(DispatchQueue::currentLabel(), "");
}

TEST(SerialQueue, AQueueDroppedInsideItsSyncWorkFinishesItsWorkAfterIt) {
    std::vector<std::string> order;  // unguarded: only the queue's work touches it
    std::promise<void> last;
    auto queue = SerialQueue::create("deck.test");
    auto* raw = queue.get();
    raw->sync([&] {
        raw->async([&] { order.push_back("queued"); });
        raw->async([&] { last.set_value(); });
        queue.reset();                      // the last owner goes while the caller holds the queue
        std::this_thread::sleep_for(20ms);  // time for a wrong thread to start the queued work early
        order.push_back("holder");
    });
    ASSERT_EQ(last.get_future().wait_for(10s), std::future_status::ready) << "work queued by the holder was lost";
    EXPECT_EQ(order, (std::vector<std::string>{"holder", "queued"}));
}

TEST(SerialQueue, RunIfIdleRunsOnlyWhenNothingOfTheQueueIsQueuedOrRunning) {
    auto queue = SerialQueue::create("deck.runtime");
    queue->sync([] {});
    struct Seen {
        bool ran = false;
        std::thread::id thread;
        std::string label;
    };
    auto attempt = [&] {
        Seen seen;
        const bool ran = queue->runIfIdle([&] {
            seen = Seen{true, std::this_thread::get_id(), DispatchQueue::currentLabel()};
        });
        EXPECT_EQ(ran, seen.ran);
        return seen;
    };

    // Idle: the caller runs it as the queue's work.
    Seen idle = attempt();
    EXPECT_TRUE(idle.ran);
    EXPECT_EQ(idle.thread, std::this_thread::get_id());
    EXPECT_EQ(idle.label, "deck.runtime");
    EXPECT_EQ(DispatchQueue::currentLabel(), "");

    // Running work, then work queued behind it: the caller is turned away.
    std::promise<void> started, release;
    queue->async([&] {
        started.set_value();
        release.get_future().wait();
    });
    started.get_future().wait();
    EXPECT_FALSE(attempt().ran);
    std::promise<void> queuedRan;
    queue->async([&] { queuedRan.set_value(); });
    EXPECT_FALSE(attempt().ran);
    release.set_value();
    ASSERT_EQ(queuedRan.get_future().wait_for(10s), std::future_status::ready);

    // From the queue's own work it runs inline.
    EXPECT_TRUE(queue->sync([&] { return queue->runIfIdle([] {}); }));
    // Idle again once the queue's thread has finished.
    EXPECT_TRUE(veltrane::testing::eventually([&] { return attempt().ran; }));
}

// A caller that finds another caller's brief hold waits it out and then runs
// as the queue's work, after it; it never waits behind anything else.
TEST(SerialQueue, RunIfIdleWaitsOutOnlyAnotherBriefHold) {
    constexpr auto kForever = std::chrono::hours(1);  // a wrong wait would hang the test
    auto queue = SerialQueue::create("deck.runtime");
    queue->sync([] {});

    // Brief work that has the queue: waited out, and the caller runs after it.
    auto waitedOut = [&](const char* what, const std::function<void(std::function<void()>)>& occupy) {
        SCOPED_TRACE(what);
        std::mutex mutex;
        std::vector<std::string> order;
        auto record = [&](const char* event) {
            std::lock_guard lock(mutex);
            order.push_back(event);
        };
        std::promise<void> running;
        occupy([&] {
            record("brief");
            running.set_value();
            std::this_thread::sleep_for(20ms);
            record("brief done");
        });
        running.get_future().wait();
        EXPECT_TRUE(queue->runIfIdle([&] { record("waiter"); }, kForever));
        EXPECT_EQ(order, (std::vector<std::string>{"brief", "brief done", "waiter"}));
    };
    std::thread holder;
    waitedOut("another caller's brief hold", [&](std::function<void()> work) {
        holder = std::thread([&queue, work] { EXPECT_TRUE(queue->runIfIdle(work)); });
    });
    holder.join();
    // Brief work that had to queue, run by the queue's thread with nothing
    // else queued: so one queued brief request does not send every later one
    // to the queue's thread as well.
    waitedOut("queued brief work", [&](std::function<void()> work) { queue->asyncBrief(std::move(work)); });

    // Anything else: turned away at once. The hold ends only after the
    // caller returns, so waiting for it would hang here.
    auto turnedAway = [&](const char* what,
                          const std::function<void(std::promise<void>&, std::shared_future<void>)>& occupy) {
        SCOPED_TRACE(what);
        std::promise<void> started, release;
        std::shared_future<void> released = release.get_future().share();
        std::thread occupant([&] { occupy(started, released); });
        started.get_future().wait();
        bool ran = false;
        EXPECT_FALSE(queue->runIfIdle([&] { ran = true; }, kForever));
        EXPECT_FALSE(ran);
        release.set_value();
        occupant.join();
        EXPECT_TRUE(veltrane::testing::eventually([&] { return queue->runIfIdle([] {}); }));
    };
    turnedAway("the queue's own work", [&](std::promise<void>& started, std::shared_future<void> released) {
        std::promise<void> done;
        queue->async([&] {
            started.set_value();
            released.wait();
            done.set_value();
        });
        done.get_future().wait();
    });
    turnedAway("a sync caller's hold", [&](std::promise<void>& started, std::shared_future<void> released) {
        queue->sync([&] {
            started.set_value();
            released.wait();
        });
    });
    turnedAway("queued brief work with other work behind it",
               [&](std::promise<void>& started, std::shared_future<void> released) {
                   std::promise<void> running, done;
                   queue->asyncBrief([&] {
                       running.set_value();
                       released.wait();
                   });
                   running.get_future().wait();
                   queue->async([&] { done.set_value(); });
                   started.set_value();
                   done.get_future().wait();
               });
    // A brief hold that queued work: waited out, then the queued work goes
    // first and the caller is turned away.
    turnedAway("a brief hold that queued work", [&](std::promise<void>& started, std::shared_future<void> released) {
        queue->runIfIdle([&] {
            queue->async([released] { released.wait(); });
            started.set_value();
            std::this_thread::sleep_for(20ms);  // the caller is (usually) waiting by now
        });
    });
}
