// The QQ Music reading through the real AT-SPI2 tree: a private session bus
// with its own accessibility bus, Xvfb, and a GTK window that names itself as
// QQ Music and is built like its player bar.
#include <gtest/gtest.h>

#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <cerrno>
#include <chrono>

#include "helpers/mirabeck/QQWindow.h"
#include "platform/accessibility/AtspiAccessibilityTree.h"
#include "platform/process/ChildProcess.h"
#include "tests/support/Eventually.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempDirectory.h"
#include "tests/support/XvfbServer.h"

using namespace veltrane;
using namespace std::chrono_literals;

// Full stacks for allocations: GLib is built without frame pointers, and the
// tree's library suppression must see libatspi in the stack to apply.
extern "C" const char* __asan_default_options() { return "fast_unwind_on_malloc=0"; }

namespace {

// Ended by SIGTERM and waited for, however the test leaves.
struct Ended {
    std::unique_ptr<process::ChildProcess> child;
    ~Ended() {
        if (!child) return;
        child->sendSignal(SIGTERM);
        veltrane::testing::eventually([&] { return !child->isRunning(); });
    }
};

// The registry daemon the accessibility bus starts detaches from its parent;
// as our descendant it comes back to us, and is reaped once the buses it
// served are gone (it ends by itself then).
void reapOrphans() {
    veltrane::testing::eventually([] {
        int status = 0;
        while (::waitpid(-1, &status, WNOHANG) > 0) {
        }
        return ::waitpid(-1, &status, WNOHANG) < 0 && errno == ECHILD;
    });
}

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

}  // namespace

TEST(QQWindowThroughAtspi, ReadsTheBarOfAGtkWindow) {
    ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    struct Reap {
        ~Reap() { reapOrphans(); }
    } reap;  // declared first, so it runs after every peer below has ended
    veltrane::testing::TempDirectory runtime;
    std::string error;
    auto bus = veltrane::testing::PrivateBus::start(error);
    ASSERT_TRUE(bus) << error;
    veltrane::testing::ScopedEnvironment environment;
    environment.set("DBUS_SESSION_BUS_ADDRESS", bus->address());
    // The accessibility bus's socket goes here rather than into ~/.cache.
    environment.set("XDG_RUNTIME_DIR", runtime.path().string());
    environment.unset("AT_SPI_BUS_ADDRESS");
    environment.unset("DISPLAY");

    EXPECT_FALSE(accessibility::AtspiAccessibilityTree::ifRunning()) << "never starts an accessibility bus";

    Ended launcher{process::ChildProcess::spawn("/usr/libexec/at-spi-bus-launcher", {}, error)};
    ASSERT_TRUE(launcher.child) << error;
    ASSERT_TRUE(veltrane::testing::eventually([&] {
        auto reply = bus->send({"--dest=org.freedesktop.DBus", "/org/freedesktop/DBus",
                                "org.freedesktop.DBus.NameHasOwner", "string:org.a11y.Bus"});
        return reply && reply->find("boolean true") != std::string::npos;
    }));

    auto xvfb = veltrane::testing::XvfbServer::start(640, 480, error);
    ASSERT_TRUE(xvfb) << error;
    Ended window{process::ChildProcess::spawn(
        "/usr/bin/env",
        {"DISPLAY=" + xvfb->display(), "/usr/bin/python3", QQ_WINDOW_SCRIPT, std::string(mirabeck::kQQMusicBundleId),
         "上一首", "暂停", "歌曲名：晴天 - 歌手名：周杰伦"},
        error)};
    ASSERT_TRUE(window.child) << error;
    ASSERT_EQ(veltrane::testing::firstLine(*window.child), "ready");

    auto tree = accessibility::AtspiAccessibilityTree::ifRunning();
    ASSERT_TRUE(tree);
    EXPECT_TRUE(tree->runningApplications("org.example.nothing").empty());
    mirabeck::QQWindowReader reader(*tree, steadySeconds);
    std::optional<mirabeck::QQReading> reading;
    // The window registers with the registry shortly after it shows.
    ASSERT_TRUE(veltrane::testing::eventually(
        [&] {
            reading = reader.qqAXSnapshot();
            return reading.has_value();
        },
        20s));
    EXPECT_EQ(reading->title, "晴天");
    EXPECT_EQ(reading->artist, "周杰伦");
    EXPECT_TRUE(reading->playing);
    EXPECT_TRUE(reading->sawPlay);
}
