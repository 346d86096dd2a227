// The player's own lyrics through MPRIS, mocked on a private bus.
#include <gtest/gtest.h>

#include "ControlDeckCore/lyrics/LyricsWeb.h"
#include "platform/system/TemporaryFolder.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ScopedEnvironment.h"

namespace veltrane::lyrics {
namespace {

constexpr const char* kPlayer = "org.mpris.MediaPlayer2.veltranetest";

TEST(MusicAppLyricsTest, ThePlayersLyricsForTheTrackAskedAbout) {
    auto folder = sys::TemporaryFolder::create("music-lyrics-");
    ASSERT_TRUE(folder);
    std::string error;
    auto bus = testing::PrivateBus::start(error);
    ASSERT_TRUE(bus) << error;
    testing::ScopedEnvironment environment;
    environment.set("DBUS_SESSION_BUS_ADDRESS", bus->address());
    environment.set(LyricsLookup::kMusicPlayerVariable, kPlayer);
    ASSERT_TRUE(bus->startMock({"--template", VELTRANE_MPRIS_TEMPLATE}, kPlayer, folder->path() / "player.log"));

    const std::string track = R"("title":"Song","artist":["A","B"],"album":"Album")";
    struct Case {
        const char* name;
        std::string player;  // the mocked player's state, a JSON object's members
        std::string title;
        std::optional<std::vector<std::string>> lines;  // none: no snapshot; empty: plain
    };
    const std::vector<Case> cases = {
        {"synced", track + R"(,"asText":"[00:01.00]Hello\n[00:02.00]World")", "Song",
         std::vector<std::string>{"Hello", "World"}},
        {"lines joined with commas", track + R"(,"asText":"[00:01.00]Hello, you, [00:02.00]World")", "Song",
         std::vector<std::string>{"Hello, you", "World"}},
        {"plain", track + R"(,"asText":"Just words")", "Song", std::vector<std::string>{}},
        {"title in another case", track + R"(,"asText":"[00:01.00]Hello")", "song", std::nullopt},
        {"no lyrics exported", track, "Song", std::nullopt},
        {"stopped", track + R"(,"status":"Stopped","asText":"[00:01.00]Hello")", "Song", std::nullopt},
        {"track changed while read", track + R"(,"rolling":true,"asText":"[00:01.00]Hello")", "Song", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ASSERT_TRUE(bus->send({std::string("--dest=") + kPlayer, "/org/mpris/MediaPlayer2",
                               "org.freedesktop.DBus.Mock.SetTrack", "string:{" + c.player + "}"}));
        const auto snapshot = LyricsLookup::appleMusicLyrics(c.title, "B, A", "Album");
        ASSERT_EQ(snapshot.has_value(), c.lines.has_value());
        if (!snapshot) continue;
        EXPECT_EQ(snapshot->provider, "music");
        EXPECT_EQ(snapshot->synced, !c.lines->empty());
        std::vector<std::string> texts;
        for (const auto& line : snapshot->lines) texts.push_back(line.text);
        EXPECT_EQ(texts, *c.lines);
        EXPECT_TRUE(snapshot->plain && !snapshot->plain->empty());
    }

    environment.set(LyricsLookup::kMusicPlayerVariable, "org.mpris.MediaPlayer2.nobody");
    EXPECT_FALSE(LyricsLookup::appleMusicLyrics("Song", "A, B", "Album"));
}

}  // namespace
}  // namespace veltrane::lyrics
