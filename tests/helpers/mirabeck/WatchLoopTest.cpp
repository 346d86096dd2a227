#include "helpers/mirabeck/WatchLoop.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <thread>

#include "tests/support/Eventually.h"

using namespace std::chrono_literals;
using veltrane::mirabeck::WatchLoop;

TEST(WatchLoop, PokesDuringARunGiveOneMoreRun) {
    std::promise<void> release;
    auto released = release.get_future().share();
    std::atomic<int> runs{0};
    // An hour between ticks: only the first tick and the pokes run it.
    WatchLoop loop("test.watch", 1h, [&] {
        if (++runs == 1) released.wait();
    });
    ASSERT_TRUE(veltrane::testing::eventually([&] { return runs == 1; }));
    for (int i = 0; i < 5; ++i) loop.poke();
    release.set_value();
    ASSERT_TRUE(veltrane::testing::eventually([&] { return runs == 2; }));
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(runs, 2) << "five pokes while running are one run";
    loop.poke();
    EXPECT_TRUE(veltrane::testing::eventually([&] { return runs == 3; }));
}
