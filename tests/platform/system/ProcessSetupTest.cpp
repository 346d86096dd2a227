#include "platform/system/ProcessSetup.h"

#include <sys/resource.h>

#include <gtest/gtest.h>

using namespace veltrane;

namespace {

// Puts the process's descriptor limits back when a test ends.
class DescriptorLimit : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved_), 0); }
    void TearDown() override { setrlimit(RLIMIT_NOFILE, &saved_); }
    rlimit saved_{};
};

}  // namespace

TEST_F(DescriptorLimit, SoftLimitIsRaisedToTheHardOne) {
    if (saved_.rlim_max != RLIM_INFINITY && saved_.rlim_max < 64) GTEST_SKIP() << "hard limit too low to lower";
    rlimit lowered = saved_;
    lowered.rlim_cur = 32;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &lowered), 0);

    const unsigned long result = sys::raiseDescriptorLimit();

    rlimit now{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &now), 0);
    EXPECT_EQ(now.rlim_cur, saved_.rlim_max);
    EXPECT_EQ(now.rlim_max, saved_.rlim_max) << "the hard limit stays";
    EXPECT_EQ(result, static_cast<unsigned long>(now.rlim_cur));
}

TEST_F(DescriptorLimit, AlreadyAtTheHardLimitChangesNothing) {
    rlimit full = saved_;
    full.rlim_cur = saved_.rlim_max;
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &full), 0);
    EXPECT_EQ(sys::raiseDescriptorLimit(), static_cast<unsigned long>(saved_.rlim_max));
}
