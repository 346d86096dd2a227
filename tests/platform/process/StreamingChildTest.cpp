#include <gtest/gtest.h>

#include <signal.h>

#include <atomic>
#include <mutex>
#include <string>

#include "platform/process/StreamingChild.h"
#include "tests/support/Eventually.h"

using veltrane::process::StreamingChild;

namespace {

struct Collected {
    std::mutex mutex;
    std::string out;
    std::atomic<int> ends{0};
    StreamingChild::Handlers handlers() {
        return {[this](std::string bytes) {
                    std::lock_guard lock(mutex);
                    out += bytes;
                },
                [this] { ++ends; }};
    }
    std::string text() {
        std::lock_guard lock(mutex);
        return out;
    }
};

bool alive(pid_t pid) { return ::kill(pid, 0) == 0; }

}  // namespace

TEST(StreamingChild, HandsOverOutputDrainsStandardErrorAndReportsTheEndOnce) {
    Collected collected;
    std::string error;
    // 1 MB on standard error first: undrained, the child would block there.
    auto child =
        StreamingChild::start("/bin/sh", {"-c", "head -c 1048576 /dev/zero >&2; printf one; sleep 0.1; printf ' two'"},
                              collected.handlers(), error);
    ASSERT_TRUE(child) << error;
    EXPECT_TRUE(veltrane::testing::eventually([&] { return collected.ends == 1; }));
    EXPECT_EQ(collected.text(), "one two");
    EXPECT_FALSE(child->isRunning());
    child.reset();
    EXPECT_EQ(collected.ends, 1);
}

TEST(StreamingChild, DestroyingEndsTheChildWithoutReportingIt) {
    Collected collected;
    std::string error;
    auto child = StreamingChild::start("/bin/sh", {"-c", "echo ready; exec sleep 60"}, collected.handlers(), error);
    ASSERT_TRUE(child) << error;
    ASSERT_TRUE(veltrane::testing::eventually([&] { return collected.text() == "ready\n"; }));
    const pid_t pid = child->pid();
    child.reset();
    EXPECT_TRUE(veltrane::testing::eventually([&] { return !alive(pid); }));
    EXPECT_EQ(collected.ends, 0);
}

TEST(StreamingChild, MissingProgramGivesAReason) {
    Collected collected;
    std::string error;
    EXPECT_FALSE(StreamingChild::start("/nonexistent/watcher", {}, collected.handlers(), error));
    EXPECT_FALSE(error.empty());
}
