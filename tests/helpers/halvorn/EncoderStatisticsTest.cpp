#include <gtest/gtest.h>

#include "helpers/halvorn/EncoderStatistics.h"

using veltrane::halvorn::EncoderStatistics;

namespace {
constexpr std::int64_t kSecond = 1'000'000'000;
}

TEST(EncoderStatistics, WritesALineOnceAWindowOfTwoSecondsCloses) {
    EncoderStatistics statistics(0);
    // 20 latencies 1..20 ms in shuffled order: p95 is the sorted element at
    // index trunc(19 x 0.95) = 18, 19 ms; the mean is 10.5 ms.
    const int order[] = {7, 20, 1, 13, 2, 19, 3, 18, 4, 17, 5, 16, 6, 15, 8, 14, 9, 12, 10, 11};
    for (int i = 0; i < 19; ++i)
        EXPECT_FALSE(statistics.record(kSecond * 19 / 10 * i / 19, order[i] / 1000.0)) << i;
    auto line = statistics.record(2 * kSecond, order[19] / 1000.0);
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "Encoder 10.0 fps; capture-to-encode 10.5 ms mean, 19.0 ms p95\n");

    // A new window starts at the closing frame.
    EXPECT_FALSE(statistics.record(3 * kSecond, 0.001));
    line = statistics.record(4 * kSecond, 0.003);
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "Encoder 1.0 fps; capture-to-encode 2.0 ms mean, 1.0 ms p95\n");
}

TEST(EncoderStatistics, LongOrNonFiniteLatenciesCountOnlyAsFrames) {
    EncoderStatistics statistics(0);
    EXPECT_FALSE(statistics.record(kSecond, 5.0));
    EXPECT_FALSE(statistics.record(kSecond, std::numeric_limits<double>::infinity()));
    EXPECT_FALSE(statistics.record(kSecond, std::numeric_limits<double>::quiet_NaN()));
    auto line = statistics.record(4 * kSecond, 7.5);
    ASSERT_TRUE(line);
    EXPECT_EQ(*line, "Encoder 1.0 fps; capture-to-encode 0.0 ms mean, 0.0 ms p95\n");
}
