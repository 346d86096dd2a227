// The one-shot player read against an MPRIS player mocked on a private bus.
#include "platform/dbus/MediaPlayer.h"

#include <gtest/gtest.h>

#include "platform/system/TemporaryFolder.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ScopedEnvironment.h"

using namespace veltrane;
using Outcome = dbus::PlayerReading::Outcome;

class MediaPlayerTest : public ::testing::Test {
protected:
    static constexpr const char* kPlayer = "org.mpris.MediaPlayer2.veltranetest";

    void SetUp() override {
        folder_ = sys::TemporaryFolder::create("player-test-");
        ASSERT_TRUE(folder_);
        std::string error;
        bus_ = veltrane::testing::PrivateBus::start(error);
        ASSERT_TRUE(bus_) << error;
        session_.emplace("DBUS_SESSION_BUS_ADDRESS", bus_->address().c_str());
        ASSERT_TRUE(bus_->startMock({"--template", VELTRANE_MPRIS_TEMPLATE}, kPlayer, folder_->path() / "player.log"));
    }

    void setTrack(const std::string& json) {
        ASSERT_TRUE(bus_->send({std::string("--dest=") + kPlayer, "/org/mpris/MediaPlayer2",
                                "org.freedesktop.DBus.Mock.SetTrack", "string:" + json}));
    }

    std::optional<sys::TemporaryFolder> folder_;
    std::unique_ptr<veltrane::testing::PrivateBus> bus_;
    std::optional<veltrane::testing::ScopedVariable> session_;
};

TEST_F(MediaPlayerTest, ReadsTheTrackBetweenTwoReadsOfItsId) {
    setTrack(R"({"title":"Song","artist":["A","B"],"album":"L","asText":"words"})");
    auto reading = dbus::MediaPlayer::currentTrack(kPlayer);
    ASSERT_EQ(reading.outcome, Outcome::track);
    EXPECT_EQ(reading.track.title, "Song");
    EXPECT_EQ(reading.track.artist, "A, B");
    EXPECT_EQ(reading.track.album, "L");
    EXPECT_EQ(reading.track.lyrics, "words");

    setTrack(R"({"title":"Song"})");
    reading = dbus::MediaPlayer::currentTrack(kPlayer);
    ASSERT_EQ(reading.outcome, Outcome::track);
    EXPECT_EQ(reading.track.artist, "");
    EXPECT_EQ(reading.track.lyrics, "");

    setTrack(R"({"status":"Stopped","title":"Song"})");
    EXPECT_EQ(dbus::MediaPlayer::currentTrack(kPlayer).outcome, Outcome::stopped);
    setTrack(R"({"status":"Paused","title":"Song","rolling":true})");
    EXPECT_EQ(dbus::MediaPlayer::currentTrack(kPlayer).outcome, Outcome::trackChanged);
    EXPECT_EQ(dbus::MediaPlayer::currentTrack("org.mpris.MediaPlayer2.nobody").outcome, Outcome::failed);
}

TEST_F(MediaPlayerTest, ASlowPlayerIsNotWaitedForPastTheLimit) {
    setTrack(R"({"title":"Song","slow":1.0})");
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(dbus::MediaPlayer::currentTrack(kPlayer, std::chrono::milliseconds(1500)).outcome, Outcome::failed);
    // Three reads of 1 s each would take 3 s; the limit ends the second.
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2800));
}
