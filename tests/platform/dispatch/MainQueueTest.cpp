#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/SerialQueue.h"

using namespace veltrane::dispatch;
using namespace std::chrono_literals;

TEST(MainQueue, WorkFromOtherThreadsRunsWhereItIsPumped) {
    auto& main = MainQueue::shared();
    std::atomic<bool> ranOnMain{false};
    std::thread producer([&] { main.async([&] { ranOnMain = main.isCurrent(); }); });
    producer.join();
    ASSERT_TRUE(main.runUntil([&] { return ranOnMain.load(); }, 10s));
    EXPECT_FALSE(main.isCurrent());
}

TEST(MainQueue, SyncFromAQueueWhileRunAndStop) {
    auto& main = MainQueue::shared();
    auto worker = SerialQueue::create("deck.worker");
    std::atomic<int> answer{0};
    worker->async([&] {
        answer = main.sync([&] { return main.isCurrent() ? 5 : -1; });
        main.stop();
    });
    main.run();  // returns once stop() has been processed
    EXPECT_EQ(answer.load(), 5);
}

TEST(MainQueue, WakerIsToldOfNewWork) {
    auto& main = MainQueue::shared();
    std::atomic<int> wakes{0};
    main.setWaker([&] { ++wakes; });
    bool ran = false;
    main.async([&] { ran = true; });
    main.setWaker(nullptr);
    EXPECT_EQ(wakes.load(), 1);
    EXPECT_EQ(main.drain(), 1u);
    EXPECT_TRUE(ran);
}
