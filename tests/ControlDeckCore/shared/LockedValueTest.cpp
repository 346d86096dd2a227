#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

#include "ControlDeckCore/shared/LockedValue.h"

using veltrane::deck::LockedValue;

TEST(LockedValue, ReadsWritesAndModifies) {
    LockedValue<std::string> cell("a");
    cell.modify([](std::string& s) { s += "b"; });
    EXPECT_EQ(cell.wrappedValue(), "ab");
    cell.setWrappedValue("c");
    EXPECT_EQ(cell.wrappedValue(), "c");
}

TEST(LockedValue, AbandonedChangeIsStillWrittenBack) {
    LockedValue<int> cell(1);
    EXPECT_THROW(cell.modify([](int& v) {
        v = 5;
        throw std::runtime_error("abandoned");
    }),
                 std::runtime_error);
    EXPECT_EQ(cell.wrappedValue(), 5);
}

TEST(LockedValue, ConcurrentReadersAndWritersSeeWholeValues) {
    LockedValue<std::vector<int>> cell(std::vector<int>(64, 0));
    std::vector<std::thread> threads;
    for (int t = 1; t <= 4; ++t)
        threads.emplace_back([&, t] {
            for (int i = 0; i < 2000; ++i) {
                cell.setWrappedValue(std::vector<int>(64, t));
                auto seen = cell.wrappedValue();
                for (int v : seen) ASSERT_EQ(v, seen.front());
            }
        });
    for (auto& th : threads) th.join();
}
