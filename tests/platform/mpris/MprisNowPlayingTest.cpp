// The MPRIS binding against python-dbusmock players on a private bus.
#include "platform/mpris/MprisNowPlaying.h"

#include <gtest/gtest.h>

#include "platform/process/Shell.h"
#include "tests/support/Eventually.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempDirectory.h"

using namespace veltrane;
using namespace std::chrono_literals;
using mpris::MprisNowPlaying;
namespace info = mpris::info;

namespace {

class MprisBus : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        bus_ = veltrane::testing::PrivateBus::start(error);
        ASSERT_TRUE(bus_) << error;
        environment_.set("DBUS_SESSION_BUS_ADDRESS", bus_->address());
    }

    // A player named org.mpris.MediaPlayer2.<name> with that status and title.
    void addPlayer(const std::string& name, const std::string& status, const std::string& title) {
        const std::string bus = "org.mpris.MediaPlayer2." + name;
        ASSERT_TRUE(bus_->startMock({"--session", bus, "/org/mpris/MediaPlayer2", "org.mpris.MediaPlayer2.Player"}, bus,
                                    logs_.path() / (name + ".log")));
        ASSERT_EQ(busctl(bus, "AddProperties 'sa{sv}' org.mpris.MediaPlayer2.Player 3 PlaybackStatus s " + status +
                                  " Position x 2000000 Metadata 'a{sv}' 1 xesam:title s '" + title + "'"),
                  0);
    }
    void setStatus(const std::string& name, const std::string& status) {
        ASSERT_EQ(busctl("org.mpris.MediaPlayer2." + name,
                         "UpdateProperties 'sa{sv}' org.mpris.MediaPlayer2.Player 1 PlaybackStatus s " + status),
                  0);
    }
    int busctl(const std::string& destination, const std::string& call) {
        return process::Shell::run("/bin/sh",
                                   {"-c", "busctl --address='" + bus_->address() + "' call " + destination +
                                              " /org/mpris/MediaPlayer2 org.freedesktop.DBus.Mock " + call},
                                   30)
            .status;
    }
    static std::string title(const mpris::NowPlayingReading& reading) {
        if (!reading.info) return "";
        auto it = reading.info->find(info::kTitle);
        return it == reading.info->end() ? "" : std::get<std::string>(it->second);
    }

    std::unique_ptr<veltrane::testing::PrivateBus> bus_;
    veltrane::testing::ScopedEnvironment environment_;
    veltrane::testing::TempDirectory logs_;
};

}  // namespace

TEST_F(MprisBus, NothingWithoutPlayers) {
    auto service = MprisNowPlaying::connect();
    ASSERT_TRUE(service);
    const auto reading = service->read(350ms);
    EXPECT_FALSE(reading.info);
    EXPECT_FALSE(reading.playing);
    EXPECT_EQ(service->nowPlayingPID(350ms), 0);
}

TEST_F(MprisBus, ThePlayerThatLastStartedPlayingIsNowPlaying) {
    addPlayer("first", "Playing", "One");
    addPlayer("second", "Paused", "Two");
    addPlayer("playerctld", "Playing", "Mirror");  // the proxy never counts
    auto service = MprisNowPlaying::connect();
    ASSERT_TRUE(service);
    std::atomic<int> changes{0};
    service->registerForNotifications([&] { ++changes; });

    auto reading = service->read(350ms);
    EXPECT_EQ(title(reading), "One");
    EXPECT_TRUE(reading.playing);
    EXPECT_EQ(reading.info->count(info::kElapsedTime), 1u);

    setStatus("second", "Playing");
    ASSERT_TRUE(veltrane::testing::eventually([&] { return changes > 0; }));
    EXPECT_EQ(title(service->read(350ms)), "Two") << "the one that most recently became Playing";

    setStatus("second", "Paused");
    EXPECT_TRUE(veltrane::testing::eventually([&] { return title(service->read(350ms)) == "One"; }));

    setStatus("first", "Stopped");
    EXPECT_TRUE(veltrane::testing::eventually([&] {
        auto now = service->read(350ms);
        return title(now) == "Two" && !now.playing;
    })) << "then the paused one";

    // The pid of the now-playing player, and the application behind it.
    const auto pid = service->nowPlayingPID(350ms);
    ASSERT_TRUE(pid && *pid > 0);
    const auto application = service->runningApplication(*pid);
    ASSERT_TRUE(application);
    EXPECT_EQ(application->bundleId, "second");
    EXPECT_FALSE(service->runningApplication(*pid + 100000));
}

TEST(MprisNowPlaying, NoSessionBus) {
    veltrane::testing::TempDirectory runtime;
    veltrane::testing::ScopedEnvironment environment;
    environment.unset("DBUS_SESSION_BUS_ADDRESS");
    environment.set("XDG_RUNTIME_DIR", runtime.path().string());
    EXPECT_EQ(MprisNowPlaying::sessionBusAddress(), std::nullopt);
    EXPECT_FALSE(MprisNowPlaying::connect());
    environment.set("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + (runtime.path() / "none").string());
    EXPECT_FALSE(MprisNowPlaying::connect());
}
