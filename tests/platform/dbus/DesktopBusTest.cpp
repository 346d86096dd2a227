#include <gtest/gtest.h>

#include "platform/dbus/Logind.h"
#include "platform/dbus/Notifications.h"
#include "platform/dbus/ScreenSaver.h"
#include "platform/system/TemporaryFolder.h"
#include "tests/support/Eventually.h"
#include "tests/support/Files.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/XvfbServer.h"

using namespace veltrane;
namespace fs = std::filesystem;

class DesktopBusTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = sys::TemporaryFolder::create("bus-test-");
        ASSERT_TRUE(folder_);
        std::string error;
        bus_ = veltrane::testing::PrivateBus::start(error);
        ASSERT_TRUE(bus_) << error;
        system_.emplace("DBUS_SYSTEM_BUS_ADDRESS", bus_->address().c_str());
        session_.emplace("DBUS_SESSION_BUS_ADDRESS", bus_->address().c_str());
    }

    fs::path log(const std::string& name) const { return folder_->path() / name; }

    bool logged(const std::string& name, const std::string& text) const {
        return veltrane::testing::eventually([&] { return veltrane::testing::readFile(log(name)).find(text) != std::string::npos; });
    }

    std::optional<sys::TemporaryFolder> folder_;
    std::unique_ptr<veltrane::testing::PrivateBus> bus_;
    std::optional<veltrane::testing::ScopedVariable> system_, session_;
};

TEST_F(DesktopBusTest, NothingAnswersOnAnEmptyBus) {
    EXPECT_FALSE(dbus::Logind::lockSession());
    EXPECT_FALSE(dbus::Logind::setBrightness("backlight", "panel", 5));
    EXPECT_FALSE(dbus::ScreenSaver::lock());
}

TEST_F(DesktopBusTest, LogindLocksAndSetsBrightnessOnTheAutoSession) {
    ASSERT_TRUE(bus_->startMock({"--template", "logind"}, "org.freedesktop.login1", log("logind.log")));
    EXPECT_TRUE(dbus::Logind::lockSession());
    EXPECT_TRUE(logged("logind.log", "LockSession \"auto\""));

    EXPECT_FALSE(dbus::Logind::setBrightness("backlight", "panel", 5)) << "no such session yet";
    ASSERT_TRUE(bus_->addLogindSession("auto"));
    EXPECT_TRUE(dbus::Logind::setBrightness("backlight", "panel", 1234));
    EXPECT_TRUE(logged("logind.log", "SetBrightness \"backlight\" \"panel\" 1234"));
}

TEST_F(DesktopBusTest, ScreenSaverLock) {
    ASSERT_TRUE(bus_->startMock({"--session", "org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                                 "org.freedesktop.ScreenSaver"},
                                "org.freedesktop.ScreenSaver", log("saver.log")));
    EXPECT_FALSE(dbus::ScreenSaver::lock()) << "the mock has no Lock method yet";
    ASSERT_TRUE(bus_->send({"--dest=org.freedesktop.ScreenSaver", "/org/freedesktop/ScreenSaver",
                            "org.freedesktop.DBus.Mock.AddMethod", "string:org.freedesktop.ScreenSaver", "string:Lock",
                            "string:", "string:", "string:"}));
    EXPECT_TRUE(dbus::ScreenSaver::lock());
    EXPECT_TRUE(logged("saver.log", "Lock"));
}

TEST_F(DesktopBusTest, NotifySendsSummaryAndBody) {
    ASSERT_TRUE(bus_->startMock({"--template", "notification_daemon"}, "org.freedesktop.Notifications",
                                log("notify.log")));
    EXPECT_TRUE(dbus::Notifications::notify("Veltrane", "Timer finished", "Tea “green”"));
    EXPECT_TRUE(logged("notify.log", "Notify \"Veltrane\" 0 \"\" \"Timer finished\" \"Tea “green”\""));
}

TEST(DesktopBusWithoutBus, EverythingFails) {
    veltrane::testing::ScopedVariable system("DBUS_SYSTEM_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    veltrane::testing::ScopedVariable session("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/bus");
    EXPECT_FALSE(dbus::Logind::lockSession());
    EXPECT_FALSE(dbus::ScreenSaver::lock());
    EXPECT_FALSE(dbus::Notifications::notify("Veltrane", "Timer finished", "x"));
}
