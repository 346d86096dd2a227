#include "platform/mpris/NowPlayingInfo.h"

#include <gtest/gtest.h>

using namespace veltrane::mpris;

namespace {

BusValue text(std::string s) { return BusValue{std::move(s)}; }
BusValue integer(std::int64_t i) { return BusValue{i}; }
BusValue texts(std::vector<std::string> list) {
    BusArray array;
    for (auto& s : list) array.push_back(text(std::move(s)));
    return BusValue{std::move(array)};
}

BusDict player(std::string status, BusDict metadata, BusDict extra = {}) {
    BusDict properties{{"PlaybackStatus", text(std::move(status))}, {"Metadata", BusValue::of(std::move(metadata))}};
    for (auto& entry : extra) properties.push_back(std::move(entry));
    return properties;
}

const auto kReadAt = std::chrono::system_clock::time_point(std::chrono::seconds(1'800'000'000));

}  // namespace

TEST(PlayerProperties, FillsTheDictionary) {
    struct Case {
        const char* name;
        BusDict properties;
        InfoDictionary expected;
    };
    const Case cases[] = {
        {"mpv playing",
         player("Playing",
                {{"xesam:title", text("T")},
                 {"xesam:artist", texts({"A & B"})},
                 {"xesam:album", text("Al")},
                 {"mpris:length", integer(60'029'388)},
                 {"mpris:trackid", text("/0")}},
                {{"Position", integer(1'500'000)}, {"Rate", BusValue{1.0}}}),
         {{std::string(info::kTitle), std::string("T")},
          {std::string(info::kArtist), std::string("A & B")},
          {std::string(info::kAlbum), std::string("Al")},
          {std::string(info::kDuration), 60.029388},
          {std::string(info::kElapsedTime), 1.5},
          {std::string(info::kTimestamp), InfoDate{1.8e9}},
          {std::string(info::kPlaybackRate), 1.0}}},
        {"paused keeps no rate; artists joined; a double length",
         player("Paused", {{"xesam:artist", texts({"Alpha", "Beta"})}, {"mpris:length", BusValue{2.5e6}}},
                {{"Rate", BusValue{1.0}}}),
         {{std::string(info::kArtist), std::string("Alpha, Beta")},
          {std::string(info::kDuration), 2.5},
          {std::string(info::kPlaybackRate), 0.0}}},
        {"a plain-string artist; other types carried or dropped",
         player("Playing",
                {{"xesam:artist", text("Solo")},
                 {"xesam:title", integer(7)},
                 {"xesam:album", texts({"x"})},
                 {"mpris:length", text("60")}},
                {{"Rate", text("fast")}}),
         {{std::string(info::kArtist), std::string("Solo")}, {std::string(info::kTitle), std::int64_t{7}}}},
        {"an artist list without texts", player("Playing", {{"xesam:artist", BusValue{BusArray{integer(1)}}}}), {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(PlayerProperties::info(c.properties, kReadAt, nullptr), c.expected);
    }
}

TEST(PlayerProperties, TellsWhatPlaysNothing) {
    struct Case {
        const char* name;
        BusDict properties;
        PlaybackStatus status;
        bool nothing;
    };
    const Case cases[] = {
        {"playing with tags", player("Playing", {{"xesam:title", text("T")}}), PlaybackStatus::playing, false},
        {"idle mpv", player("Playing", {{"mpris:trackid", text("/noplaylist")}}), PlaybackStatus::playing, true},
        {"stopped", player("Stopped", {{"xesam:title", text("T")}}), PlaybackStatus::stopped, true},
        {"a status of another type", BusDict{{"PlaybackStatus", integer(1)}}, PlaybackStatus::stopped, true},
        {"no metadata", BusDict{{"PlaybackStatus", text("Paused")}}, PlaybackStatus::paused, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(PlayerProperties::status(c.properties), c.status);
        EXPECT_EQ(PlayerProperties::playsNothing(c.properties), c.nothing);
    }
}

TEST(PlayerProperties, ArtworkPathOnlyForLocalFiles) {
    struct Case {
        std::string url;
        std::optional<std::string> path;
    };
    const Case cases[] = {
        {"file:///music/cover.jpg", "/music/cover.jpg"},
        {"file://localhost/music/Folder.jpg", "/music/Folder.jpg"},
        {"file:///music/My%20Album/cover%2Ejpg", "/music/My Album/cover.jpg"},
        {"file:///music/bad%zzname", "/music/bad%zzname"},
        {"file:///music/trailing%2", "/music/trailing%2"},
        {"file:///music/nul%00.jpg", std::nullopt},
        {"https://example.invalid/cover.jpg", std::nullopt},
        {"file://otherhost/cover.jpg", std::nullopt},
        {"file://", std::nullopt},
        {"cover.jpg", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.url);
        EXPECT_EQ(PlayerProperties::artworkPath(player("Playing", {{"mpris:artUrl", text(c.url)}})), c.path);
    }
    EXPECT_EQ(PlayerProperties::artworkPath(player("Playing", {{"mpris:artUrl", integer(3)}})), std::nullopt);
}

TEST(PlayerNames, PlayersAndTheirIdentifiers) {
    EXPECT_TRUE(isPlayerBusName("org.mpris.MediaPlayer2.mpv"));
    EXPECT_TRUE(isPlayerBusName("org.mpris.MediaPlayer2.mpv.instance123"));
    EXPECT_FALSE(isPlayerBusName("org.mpris.MediaPlayer2.playerctld"));
    EXPECT_FALSE(isPlayerBusName("org.mpris.MediaPlayer2."));
    EXPECT_FALSE(isPlayerBusName("org.mpris.MediaPlayer3.mpv"));

    struct Case {
        const char* busName;
        std::optional<std::string> desktopEntry;
        const char* bundleId;
    };
    const Case cases[] = {
        {"org.mpris.MediaPlayer2.mpv", "mpv", "mpv"},
        {"org.mpris.MediaPlayer2.mpv.instance4242", std::nullopt, "mpv"},
        {"org.mpris.MediaPlayer2.vlc.instance", std::nullopt, "vlc.instance"},
        {"org.mpris.MediaPlayer2.chromium.instance12x", std::nullopt, "chromium.instance12x"},
        {"org.mpris.MediaPlayer2.spotify", "", "spotify"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.busName);
        EXPECT_EQ(playerBundleId(c.busName, c.desktopEntry), c.bundleId);
    }
}
