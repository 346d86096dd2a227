// Players' notifications read as now-playing readings: key lists in order,
// the play state, milliseconds and fractions, the player by name, and the
// number rule (whole decimal text, C locale, finite).
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ControlDeckCore/media/DistributedNowPlaying.h"

namespace veltrane::media {
namespace {

using notifications::InfoValue;
using notifications::UserInfo;
namespace Distributed = DistributedNowPlaying;

constexpr double kNow = 800'000'000;

TEST(DistributedNowPlaying, ReadsTrackPlayerAndPlayhead) {
    struct Case {
        const char* name;
        const char* notification;
        UserInfo info;
        bool parsed;
        const char* title;
        std::optional<std::string> artist;
        bool playing;
        double duration;
        bool elapsedKnown;
        double elapsed;
        const char* source;
        const char* bundleId;
    };
    const char* music = "com.apple.Music.playerInfo";
    const Case cases[] = {
        {"a blank first title key gives way to the next", music,
         UserInfo{{"Name", "  "}, {"songname", " Song "}, {"Artist", "Singer"}}, true, "Song", "Singer", false, 0,
         false, 0, "Music", "com.apple.Music"},
        {"no title key: nothing",
         "com.tencent.QQMusicMac.playerInfo",
         UserInfo{{"Player State", "Playing"}, {"Artist", "Singer"}},
         false,
         nullptr,
         {},
         false,
         0,
         false,
         0,
         nullptr,
         nullptr},
        {"a title that is not text: nothing",
         music,
         UserInfo{{"Name", 4.0}},
         false,
         nullptr,
         {},
         false,
         0,
         false,
         0,
         nullptr,
         nullptr},
        {"paused",
         music,
         UserInfo{{"Name", "T"}, {"Player State", "Paused"}},
         true,
         "T",
         {},
         false,
         0,
         false,
         0,
         "Music",
         "com.apple.Music"},
        {"playing, any case",
         music,
         UserInfo{{"Name", "T"}, {"Player State", "PLAYING"}},
         true,
         "T",
         {},
         true,
         0,
         false,
         0,
         "Music",
         "com.apple.Music"},
        {"state 1 plays",
         music,
         UserInfo{{"Name", "T"}, {"state", "1"}},
         true,
         "T",
         {},
         true,
         0,
         false,
         0,
         "Music",
         "com.apple.Music"},
        {"stopped",
         music,
         UserInfo{{"Name", "T"}, {"PlaybackStatus", "Stopped"}},
         true,
         "T",
         {},
         false,
         0,
         false,
         0,
         "Music",
         "com.apple.Music"},
        {"play and pause at once is not playing",
         music,
         UserInfo{{"Name", "T"}, {"state", "playpause"}},
         true,
         "T",
         {},
         false,
         0,
         false,
         0,
         "Music",
         "com.apple.Music"},
        {"a playing flag of 0 wins over the state text",
         music,
         UserInfo{{"Name", "T"}, {"Player State", "Playing"}, {"playing", 0.0}},
         true,
         "T",
         {},
         false,
         0,
         false,
         0,
         "Music",
         "com.apple.Music"},
        {"a playing flag as text",
         music,
         UserInfo{{"Name", "T"}, {"isPlaying", "1"}},
         true,
         "T",
         {},
         true,
         0,
         false,
         0,
         "Music",
         "com.apple.Music"},
        {"total time in milliseconds",
         music,
         UserInfo{{"Name", "T"}, {"Total Time", 245000.0}},
         true,
         "T",
         {},
         false,
         245,
         false,
         0,
         "Music",
         "com.apple.Music"},
        {"a duration of 900 s stays",
         music,
         UserInfo{{"Name", "T"}, {"Duration", 900.0}},
         true,
         "T",
         {},
         false,
         900,
         false,
         0,
         "Music",
         "com.apple.Music"},
        {"a fraction of the track",
         music,
         UserInfo{{"Name", "T"}, {"Duration", 200.0}, {"Position", 0.5}},
         true,
         "T",
         {},
         false,
         200,
         true,
         100,
         "Music",
         "com.apple.Music"},
        {"a position in milliseconds",
         music,
         UserInfo{{"Name", "T"}, {"Duration", 200.0}, {"Position", 150000.0}},
         true,
         "T",
         {},
         false,
         200,
         true,
         150,
         "Music",
         "com.apple.Music"},
        {"1.5 s stays seconds",
         music,
         UserInfo{{"Name", "T"}, {"Duration", 200.0}, {"Position", 1.5}},
         true,
         "T",
         {},
         false,
         200,
         true,
         1.5,
         "Music",
         "com.apple.Music"},
        {"a negative position is 0 and known",
         music,
         UserInfo{{"Name", "T"}, {"Duration", 200.0}, {"Position", -3.0}},
         true,
         "T",
         {},
         false,
         200,
         true,
         0,
         "Music",
         "com.apple.Music"},
        {"no conversion without a duration",
         music,
         UserInfo{{"Name", "T"}, {"Position", 150000.0}},
         true,
         "T",
         {},
         false,
         0,
         true,
         150000,
         "Music",
         "com.apple.Music"},
        {"a position as text",
         music,
         UserInfo{{"Name", "T"}, {"Position", "42.5"}},
         true,
         "T",
         {},
         false,
         0,
         true,
         42.5,
         "Music",
         "com.apple.Music"},
        {"text with a leading space is no number: the next key counts",
         music,
         UserInfo{{"Name", "T"}, {"Player Position", " 42.5"}, {"elapsed", 7.0}},
         true,
         "T",
         {},
         false,
         0,
         true,
         7,
         "Music",
         "com.apple.Music"},
        {"no usable position key: unknown",
         music,
         UserInfo{{"Name", "T"}, {"Position", "0x10"}, {"elapsed", "nan"}},
         true,
         "T",
         {},
         false,
         0,
         false,
         0,
         "Music",
         "com.apple.Music"},
        {"spotify",
         "com.spotify.client.PlaybackStateChanged",
         UserInfo{{"Name", "T"}},
         true,
         "T",
         {},
         false,
         0,
         false,
         0,
         "Spotify",
         "com.spotify.client"},
        {"qq by tencent", "com.Tencent.x", UserInfo{{"songName", "T"}, {"singer", "S"}}, true, "T", "S", false, 0,
         false, 0, "QQ音乐", "com.tencent.QQMusicMac"},
        {"netease",
         "com.netease.163music.x",
         UserInfo{{"song_name", "T"}},
         true,
         "T",
         {},
         false,
         0,
         false,
         0,
         "网易云音乐",
         "com.netease.163music"},
        {"spotify before qq",
         "spotify.qq",
         UserInfo{{"Name", "T"}},
         true,
         "T",
         {},
         false,
         0,
         false,
         0,
         "Spotify",
         "com.spotify.client"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const auto s = Distributed::parse(c.notification, c.info, kNow);
        ASSERT_EQ(s.has_value(), c.parsed);
        if (!s) continue;  // the remaining fields are unused
        EXPECT_EQ(s->title, c.title);
        EXPECT_EQ(s->artist, c.artist);
        EXPECT_EQ(s->isPlaying, c.playing);
        EXPECT_EQ(s->playbackRate, c.playing ? 1.0 : 0.0);
        EXPECT_DOUBLE_EQ(s->duration, c.duration);
        EXPECT_EQ(s->elapsedKnown, c.elapsedKnown);
        EXPECT_DOUBLE_EQ(s->elapsed, c.elapsed);
        EXPECT_EQ(s->source, c.source);
        EXPECT_EQ(s->bundleId, c.bundleId);
        EXPECT_EQ(s->capturedAt, kNow);
        EXPECT_FALSE(s->artwork || s->liked || s->songMid || s->albumMid);
    }
}

TEST(DistributedNowPlaying, KeysAreTriedInOrderAndOnlyTextKeysCount) {
    UserInfo info{{"Artist", " "}, {"artist", "second"},       {"singer", "third"},
                  {"Album", "A"},  {std::int64_t{7}, "seven"}, {"Name", "Title"}};
    info[notifications::InfoKey(std::int64_t{1})] = "numbered";
    const auto s = Distributed::parse("x", info, kNow);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->artist, "second");
    EXPECT_EQ(s->album, "A");
    EXPECT_FALSE(Distributed::parse("x", UserInfo{{std::int64_t{0}, "Name"}}, kNow));
}

TEST(DistributedNowPlaying, NumbersAreWholeFiniteDecimals) {
    const double inf = std::numeric_limits<double>::infinity();
    struct Case {
        InfoValue value;
        std::optional<double> expected;
    };
    const Case cases[] = {
        {"42.5", 42.5},
        {"-3", -3},
        {"+7", 7},
        {".5", 0.5},
        {"5.", 5},
        {"1e3", 1000},
        {"2.5E-1", 0.25},
        {" 1", {}},
        {"1 ", {}},
        {"", {}},
        {"-", {}},
        {".", {}},
        {"1e", {}},
        {"1e+", {}},
        {"0x1A", {}},
        {"inf", {}},
        {"-infinity", {}},
        {"nan", {}},
        {"1e999", {}},
        {"1,5", {}},
        {"١٢", {}},
        {"12abc", {}},
        {"+-1", {}},
        {InfoValue(3.0), 3.0},
        {InfoValue(inf), {}},
        {InfoValue(std::nan("")), {}},
        {InfoValue(), {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value.text() ? *c.value.text() : "a non-text value");
        EXPECT_EQ(Distributed::number(c.value), c.expected);
    }
}

TEST(DistributedNowPlaying, PlayerFilter) {
    struct Case {
        const char* name;
        const char* notification;
        std::optional<UserInfo> info;
        bool passes;
    };
    const Case cases[] = {
        {"name and playback status", "PlayerStatusUpdate", UserInfo{{"Name", "T"}, {"PlaybackStatus", "Playing"}},
         true},
        {"name only", "PlayerStatusUpdate", UserInfo{{"Name", "T"}}, false},
        {"title key and player state", "x", UserInfo{{"title", "T"}, {"Player State", "Paused"}}, true},
        {"artist key, any value, and playback status", "x", UserInfo{{"Artist", 1.0}, {"PlaybackStatus", "x"}}, true},
        {"player state without a track key", "x", UserInfo{{"Player State", "Playing"}, {"songname", "T"}}, false},
        {"qq by name, no info", "com.tencent.QQMusicMac.playerInfo", std::nullopt, true},
        {"qq in any case, empty info", "MyQQPlayer", UserInfo{}, true},
        {"qq with a player state and no track", "qq", UserInfo{{"Player State", "Playing"}}, true},
        {"nothing", "com.example.other", UserInfo{{"Album", "A"}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(Distributed::isPlayerNotification(c.notification, c.info), c.passes);
    }
}

}  // namespace
}  // namespace veltrane::media
