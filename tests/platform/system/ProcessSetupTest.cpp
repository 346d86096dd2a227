#include <gtest/gtest.h>
#include <sys/resource.h>

#include "platform/system/ProcessSetup.h"

namespace {

using veltrane::sys::descriptorLimit;
using veltrane::sys::raiseDescriptorLimit;

// Puts the descriptor limits back as they were.
class DescriptorLimits : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved_), 0); }
    void TearDown() override { ::setrlimit(RLIMIT_NOFILE, &saved_); }
    // Lowers the soft limit to `soft`, keeping the hard one.
    void lowerSoftLimit(rlim_t soft) {
        rlimit lowered = saved_;
        lowered.rlim_cur = soft;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &lowered), 0);
    }
    rlimit saved_{};
};

TEST_F(DescriptorLimits, RaisesTheSoftLimitWithinTheHardOne) {
    if (saved_.rlim_max != RLIM_INFINITY && saved_.rlim_max < 512) GTEST_SKIP() << "hard limit below 512";
    lowerSoftLimit(256);
    EXPECT_EQ(descriptorLimit(), std::optional<std::size_t>(256));
    EXPECT_EQ(raiseDescriptorLimit(512), std::optional<std::size_t>(512));
    EXPECT_EQ(descriptorLimit(), std::optional<std::size_t>(512));
    // Never lowered.
    EXPECT_EQ(raiseDescriptorLimit(300), std::optional<std::size_t>(512));
    // Beyond the hard limit it stops there.
    if (saved_.rlim_max != RLIM_INFINITY) {
        EXPECT_EQ(raiseDescriptorLimit(static_cast<std::size_t>(saved_.rlim_max) + 1),
                  std::optional<std::size_t>(saved_.rlim_max));
    }
}

}  // namespace
