#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>

#include "platform/process/Shell.h"

using veltrane::process::Shell;
using Clock = std::chrono::steady_clock;

namespace {
veltrane::process::ShellResult sh(const std::string& script, double timeout = 10) {
    return Shell::run("/bin/sh", {"-c", script}, timeout);
}
double secondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}
// Gone, or a zombie waiting for whoever inherited it.
bool endedWithin(pid_t pid, double seconds) {
    auto start = Clock::now();
    do {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string line;
        if (!std::getline(stat, line)) return true;
        auto close = line.rfind(')');
        if (close != std::string::npos && line.compare(close, 3, ") Z") == 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (secondsSince(start) < seconds);
    return false;
}
}  // namespace

TEST(Shell, ReturnsStatusAndOutput) {
    auto r = sh("printf ok; printf warn >&2; exit 3");
    EXPECT_EQ(r.status, 3);
    EXPECT_EQ(r.stdout, "ok");
    EXPECT_EQ(r.stderr, "warn");
    auto echoed = Shell::run("/bin/echo", {"a b", "c"}, 5);
    EXPECT_EQ(echoed.status, 0);
    EXPECT_EQ(echoed.stdout, "a b c\n");
}

TEST(Shell, DrainsLargeOutputOnBothStreamsWhileWaiting) {
    // 1 MB on each stream: far more than a pipe holds. Reading only after the
    // child ends would stall it until the time-out.
    auto start = Clock::now();
    auto r = sh("head -c 1048576 /dev/zero | tr '\\0' a; head -c 1048576 /dev/zero | tr '\\0' b >&2", 30);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.stdout, std::string(Shell::kMaxOutputBytes, 'a'));
    EXPECT_EQ(r.stderr, std::string(Shell::kMaxOutputBytes, 'b'));
    EXPECT_LT(secondsSince(start), 25.0) << "the child was held up by a full pipe";
}

TEST(Shell, KeepsUpToTheCallersBound) {
    auto r = Shell::run("/bin/sh", {"-c", "head -c 1048576 /dev/zero | tr '\\0' a"}, 30, 1'000'000);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.stdout, std::string(1'000'000, 'a'));
}

TEST(Shell, CapDoesNotEmptyTextCutInsideACharacter) {
    // 3-byte characters: 256,000 is not a multiple of 3.
    auto r = sh("i=0; while [ $i -lt 90000 ]; do printf '\\344\\270\\255'; i=$((i+1)); done", 60);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.stdout.size(), Shell::kMaxOutputBytes / 3 * 3);
    EXPECT_EQ(r.stdout.substr(0, 3), "\u4E2D");
}

TEST(Shell, InvalidUTF8GivesEmptyText) {
    auto r = sh("printf '\\377ok'");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.stdout, "");
}

TEST(Shell, TimeoutTerminatesWithSIGTERM) {
    auto r = Shell::run("/bin/sleep", {"30"}, 0.2);
    EXPECT_EQ(r.status, SIGTERM);
}

TEST(Shell, ChildIgnoringSIGTERMIsKilled) {
    // exec so the shell itself is the process that ignores TERM.
    auto r = sh("trap '' TERM; printf started; while :; do sleep 0.05; done", 0.3);
    EXPECT_EQ(r.status, SIGKILL);
    EXPECT_EQ(r.stdout, "started");
}

TEST(Shell, ZeroTimeoutStillChecksOnce) {
    auto r = Shell::run("/bin/sleep", {"30"}, 0);
    EXPECT_EQ(r.status, SIGTERM);
}

TEST(Shell, MissingProgramGivesStatusOneWithReason) {
    auto r = Shell::run("/nonexistent/tool", {}, 1);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.stdout, "");
    EXPECT_NE(r.stderr.find("/nonexistent/tool"), std::string::npos);
}

TEST(Shell, GrandchildHoldingThePipeDoesNotHoldTheCaller) {
    auto start = Clock::now();
    auto r = sh("sleep 30 & echo $! >&2; printf done", 5);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.stdout, "done");
    EXPECT_LT(secondsSince(start), 5.0);
    pid_t grandchild = std::atoi(r.stderr.c_str());
    ASSERT_GT(grandchild, 1);
    ::kill(grandchild, SIGKILL);  // the tool's own; the call leaves it alone
}

TEST(Shell, ATimeOutStopsWhatTheToolStartedAndAnEndedToolKeepsIt) {
    struct Case {
        const char* script;
        double timeout;
        int status;
        bool grandchildEnds;
    };
    // The background child inherits no pipe, so only the signals can end it.
    for (auto c : {Case{"sleep 30 >/dev/null 2>&1 & echo $!; wait", 0.3, SIGTERM, true},
                   Case{"sleep 30 >/dev/null 2>&1 & echo $!", 5, 0, false}}) {
        SCOPED_TRACE(c.script);
        auto r = sh(c.script, c.timeout);
        EXPECT_EQ(r.status, c.status);
        pid_t grandchild = std::atoi(r.stdout.c_str());
        ASSERT_GT(grandchild, 1);
        bool ended = endedWithin(grandchild, c.grandchildEnds ? 5 : 0.3);
        EXPECT_EQ(ended, c.grandchildEnds) << "sleep " << grandchild;
        if (!ended) ::kill(grandchild, SIGKILL);
    }
}

TEST(Shell, ChildInheritsNoDescriptorsBeyondItsStandardStreams) {
    int fds[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_STREAM, 0, fds), 0);  // deliberately inheritable
    auto r = Shell::run("/bin/ls", {"/proc/self/fd"}, 5);
    // 0-2 and the descriptor ls opens to read the directory.
    EXPECT_EQ(r.stdout, "0\n1\n2\n3\n");
    ::close(fds[0]);
    ::close(fds[1]);
}

TEST(Shell, OsascriptIsAbsentWhereItCannotRun) {
    if (::access("/usr/bin/osascript", X_OK) == 0) GTEST_SKIP() << "osascript exists here";
    EXPECT_EQ(Shell::osascript("return 1", 1), std::nullopt);
}
