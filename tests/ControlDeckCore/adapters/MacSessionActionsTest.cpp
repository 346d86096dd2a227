#include <gtest/gtest.h>

#include "ControlDeckCore/adapters/MacClipboard.h"
#include "ControlDeckCore/adapters/MacLock.h"
#include "ControlDeckCore/adapters/MacNotifier.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "platform/process/Shell.h"
#include "platform/system/TemporaryFolder.h"
#include "tests/support/Eventually.h"
#include "tests/support/Files.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/XvfbServer.h"

using namespace veltrane;
using namespace veltrane::deck;
using veltrane::testing::readFile;
using veltrane::testing::ScopedVariable;
namespace fs = std::filesystem;

// Lock and notifications against python-dbusmock services on a private bus
// that stands in for both the system and the session bus.
class MacBusActionsTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_.emplace(*sys::TemporaryFolder::create("session-test-"));
        std::string error;
        bus_ = veltrane::testing::PrivateBus::start(error);
        ASSERT_TRUE(bus_) << error;
        system_.emplace("DBUS_SYSTEM_BUS_ADDRESS", bus_->address().c_str());
        session_.emplace("DBUS_SESSION_BUS_ADDRESS", bus_->address().c_str());
    }

    fs::path log(const char* name) const { return folder_->path() / name; }
    bool logged(const char* name, const std::string& text) const {
        return veltrane::testing::eventually([&] { return readFile(log(name)).find(text) != std::string::npos; });
    }

    std::optional<sys::TemporaryFolder> folder_;
    std::unique_ptr<veltrane::testing::PrivateBus> bus_;
    std::optional<ScopedVariable> system_, session_;
};

TEST_F(MacBusActionsTest, LockAsksTheLoginSession) {
    ASSERT_TRUE(bus_->startMock({"--template", "logind"}, "org.freedesktop.login1", log("logind.log")));
    MacLock().lock();
    EXPECT_TRUE(logged("logind.log", "LockSession \"auto\""));
}

TEST_F(MacBusActionsTest, LockFallsBackToTheScreenSaver) {
    ASSERT_TRUE(bus_->startMock({"--session", "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                                 "org.freedesktop.ScreenSaver"},
                                "org.freedesktop.ScreenSaver", log("saver.log")));
    ASSERT_TRUE(bus_->send({"--dest=org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                            "org.freedesktop.DBus.Mock.AddMethod", "string:org.freedesktop.ScreenSaver", "string:Lock",
                            "string:", "string:", "string:"}));
    MacLock().lock();
    EXPECT_TRUE(logged("saver.log", " Lock"));
}

TEST_F(MacBusActionsTest, LockWithNobodyToAskIsThePermissionError) {
    try {
        MacLock().lock();
        FAIL() << "locked";
    } catch (const DeckError& e) {
        EXPECT_EQ(e, DeckError::permissionDenied("Accessibility"));
        EXPECT_EQ(e.message(), "macOS denied \u201CAccessibility\u201D. Grant it in System Settings on the Mac.");
    }
}

TEST_F(MacBusActionsTest, AFinishedTimerIsANotificationWithItsLabel) {
    ASSERT_TRUE(bus_->startMock({"--template", "notification_daemon"}, "org.freedesktop.Notifications",
                                log("notify.log")));
    MacNotifier().timerFinished("6F1C0A52-0000-4000-8000-000000000001", "Tea");
    EXPECT_TRUE(logged("notify.log", "Notify \"Veltrane\" 0 \"\" \"Timer finished\" \"Tea\""));
}

TEST(MacNotifierWithoutBus, NeverFails) {
    ScopedVariable session("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    EXPECT_NO_THROW(MacNotifier().timerFinished("T", "Tea"));
}

class MacClipboardTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        xvfb_ = veltrane::testing::XvfbDisplay::start(64, 64, error);
        ASSERT_TRUE(xvfb_) << error;
    }
    static std::string shell(const std::string& command) { return process::Shell::run("/bin/sh", {"-c", command}, 30.0).stdout; }

    std::unique_ptr<veltrane::testing::XvfbDisplay> xvfb_;
};

TEST_F(MacClipboardTest, SharesTextBothWays) {
    MacClipboard clipboard;
    shell("printf hi | xclip -selection clipboard >/dev/null 2>&1");
    EXPECT_TRUE(veltrane::testing::eventually([&] { return clipboard.readString() == "hi"; }));

    clipboard.writeString("héllo");
    EXPECT_EQ(shell("xclip -o -selection clipboard"), "héllo");
    EXPECT_EQ(clipboard.readString(), "héllo");
}

TEST(MacClipboardWithoutDisplay, AFailedWriteIsReported) {
    ScopedVariable display("DISPLAY", nullptr);
    MacClipboard clipboard;
    EXPECT_EQ(clipboard.readString(), std::nullopt);
    try {
        clipboard.writeString("lost");
        FAIL() << "written";
    } catch (const DeckError& e) {
        EXPECT_EQ(e, DeckError::invalidState("The clipboard could not be written."));
        EXPECT_EQ(e.status(), 422);
    }
}
