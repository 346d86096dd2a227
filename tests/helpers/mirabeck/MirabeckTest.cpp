#include "helpers/mirabeck/Mirabeck.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "platform/image/JPEGImage.h"
#include "platform/mpris/FakeNowPlaying.h"
#include "tests/helpers/mirabeck/LineChecks.h"

using namespace veltrane;
using namespace veltrane::mirabeck;
using mpris::FakeNowPlaying;
using mpris::InfoDictionary;
using Json = nlohmann::json;
namespace info = mpris::info;

namespace {

constexpr double kStart = 1.8e9;  // seconds since 1970

struct Rig {
    FakeNowPlaying service;
    double now = kStart;
    std::optional<QQReading> qq;
    Mirabeck writer{service, [this] { return qq; }, {[this] { return now; }}};

    Json line() {
        auto text = writer.emit();
        EXPECT_TRUE(text && text->back() == '\n');
        return Json::parse(text.value_or("null"));
    }
    void playing(InfoDictionary dict, bool isPlaying = true, std::int32_t pid = 4242,
                 std::optional<std::string> bundleId = "mpv", std::optional<std::string> name = "mpv") {
        service.set({{std::move(dict), isPlaying}, pid, mpris::RunningApplication{bundleId, name}});
    }
};

InfoDictionary track(std::string title, std::string artist, double elapsed, double duration = 300) {
    return {{std::string(info::kTitle), title},
            {std::string(info::kArtist), artist},
            {std::string(info::kAlbum), std::string("Album")},
            {std::string(info::kElapsedTime), elapsed},
            {std::string(info::kDuration), duration},
            {std::string(info::kPlaybackRate), 1.0}};
}

std::shared_ptr<const std::string> smallJPEG(std::uint8_t shade) {
    image::RGBAImage picture{8, 8, std::vector<std::uint8_t>(8 * 8 * 4, shade)};
    return std::make_shared<const std::string>(*image::JPEGImage::encode(picture, 80));
}

}  // namespace

TEST(Mirabeck, NothingPlayingGivesTheEmptyLine) {
    Rig rig;
    const Json line = rig.line();
    veltrane::testing::expectNothingPlaying(line);
    EXPECT_EQ(line["elapsedAt"].get<std::int64_t>(), static_cast<std::int64_t>(kStart * 1000));
}

TEST(Mirabeck, ReadsTheDictionaryIntoTheLine) {
    struct Case {
        const char* name;
        InfoDictionary dict;
        bool playing;
        std::string bundleId;
        Json expected;  // keys that must hold these values
        std::vector<const char*> absent;
    };
    const Case cases[] = {
        {"a playing track",
         track(" Song\n", "Artist", 12.5),
         true,
         "mpv",
         {{"ok", true},
          {"title", "Song"},
          {"artist", "Artist"},
          {"album", "Album"},
          {"duration", 300},
          {"rawElapsed", 12.5},
          {"elapsedKnown", true},
          {"playbackRate", 1},
          {"source", "mpv"},
          {"bundleId", "mpv"},
          {"pid", 4242}},
         {"liked"}},
        {"a blank title is none",
         {{std::string(info::kTitle), std::string(" \t\n ")}, {std::string(info::kArtist), std::string("A")}},
         true,
         "mpv",
         {{"artist", "A"}},
         {"title"}},
        {"rate missing while playing",
         {{std::string(info::kTitle), std::string("T")}},
         true,
         "mpv",
         {{"playbackRate", 1}, {"elapsedKnown", false}},
         {}},
        {"rate 0 while paused",
         {{std::string(info::kTitle), std::string("T")}},
         false,
         "mpv",
         {{"playbackRate", 0}, {"playing", false}},
         {}},
        {"wrong types count as absent",
         {{std::string(info::kTitle), std::int64_t{5}},
          {std::string(info::kDuration), std::string("300")},
          {std::string(info::kIsLiked), std::int64_t{2}}},
         true,
         "mpv",
         {{"duration", 0}, {"liked", true}},
         {"title"}},
        {"QQ Music with a placeholder position",
         {{std::string(info::kElapsedTime), 0.03}},
         false,
         "com.tencent.QQMusicMac",
         {{"elapsedKnown", false}, {"source", "QQ音乐"}},
         {}},
        {"another player with the same position",
         {{std::string(info::kElapsedTime), 0.03}},
         false,
         "mpv",
         {{"elapsedKnown", true}},
         {}},
        {"paused past the end",
         {{std::string(info::kElapsedTime), 500.0}, {std::string(info::kDuration), 300.0}},
         false,
         "mpv",
         {{"elapsed", 300}, {"rawElapsed", 500}},
         {}},
        {"paused before the start", {{std::string(info::kElapsedTime), -2.0}}, false, "mpv", {{"elapsed", 0}}, {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.playing(c.dict, c.playing, 4242, c.bundleId, "mpv");
        const Json line = rig.line();
        for (const auto& [key, value] : c.expected.items()) EXPECT_EQ(line[key], value) << key;
        for (const char* key : c.absent) EXPECT_FALSE(line.contains(key)) << key;
    }
}

TEST(Mirabeck, ElapsedAtEmitFollowsTheReportedPlayhead) {
    struct Step {
        double at;  // seconds after the start
        double raw;
        bool playing;
        double expected;
    };
    struct Case {
        const char* name;
        std::optional<double> timestampAge;  // of the first reading
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"advancing with the clock", std::nullopt, {{0, 10, true, 10}, {0.5, 10.5, true, 10.5}}},
        {"standing still is extrapolated, memory kept",
         std::nullopt,
         {{0, 10, true, 10}, {0.5, 10, true, 10.5}, {1.0, 10, true, 11.0}}},
        {"first reading with a two-second-old timestamp", 2.0, {{0, 30, true, 32}}},
        {"timestamps eight seconds old are not used", 8.0, {{0, 30, true, 30}}},
        {"a jump is taken as it is", std::nullopt, {{0, 10, true, 10}, {0.5, 60, true, 60}}},
        {"after a long gap the raw value counts", std::nullopt, {{0, 10, true, 10}, {3, 10, true, 10}}},
        {"extrapolation stops at the end", std::nullopt, {{0, 299.9, true, 299.9}, {0.5, 299.9, true, 300}}},
        {"paused is the raw value", std::nullopt, {{0, 10, true, 10}, {0.5, 10, false, 10}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        for (std::size_t i = 0; i < c.steps.size(); ++i) {
            const Step& step = c.steps[i];
            rig.now = kStart + step.at;
            InfoDictionary dict{{std::string(info::kElapsedTime), step.raw}};
            if (i == 0 && c.timestampAge) dict.emplace(info::kTimestamp, mpris::InfoDate{rig.now - *c.timestampAge});
            EXPECT_NEAR(rig.writer.elapsedAtEmit(step.raw, &dict, step.playing, 1.0, 300, rig.now), step.expected, 1e-9)
                << "step " << i;
        }
    }
}

TEST(Mirabeck, ANewTitleForgetsThePlayheadAndSendsTheArtworkAgain) {
    Rig rig;
    auto dict = track("One", "Artist", 10);
    dict.emplace(info::kArtworkData, mpris::InfoData{smallJPEG(100)});
    rig.playing(dict);
    EXPECT_TRUE(rig.line().contains("artwork"));
    rig.now += 0.5;
    EXPECT_FALSE(rig.line().contains("artwork")) << "the same picture of the same track is sent once";

    // Same artist, new title, the same picture: a new track.
    auto next = track("Two", "Artist", 10);  // the position stands still across the change
    next.emplace(info::kArtworkData, mpris::InfoData{std::make_shared<const std::string>(*smallJPEG(100))});
    rig.playing(next);
    rig.now += 0.5;
    const Json line = rig.line();
    EXPECT_TRUE(line.contains("artwork"));
    EXPECT_DOUBLE_EQ(line["elapsed"].get<double>(), 10.0) << "no extrapolation from the previous track";

    // Another picture for the same track is sent.
    next[std::string(info::kArtworkData)] = mpris::InfoData{smallJPEG(200)};
    rig.playing(next);
    EXPECT_TRUE(rig.line().contains("artwork"));
}

TEST(Mirabeck, ArtworkThatCannotBePreparedIsTriedAgain) {
    Rig rig;
    auto dict = track("One", "Artist", 10);
    dict.emplace(info::kArtworkData, mpris::InfoData{std::make_shared<const std::string>(300'000, 'x')});
    rig.playing(dict);
    EXPECT_FALSE(rig.line().contains("artwork"));
    dict[std::string(info::kArtworkData)] = mpris::InfoData{smallJPEG(50)};
    rig.playing(dict);
    EXPECT_TRUE(rig.line().contains("artwork"));
}

TEST(Mirabeck, AsksForTheProcessIdOncePerInterval) {
    Rig rig;
    rig.playing(track("One", "A", 1));
    rig.line();
    EXPECT_EQ(rig.service.pidAsks(), 1);
    rig.now += 1.0;
    EXPECT_EQ(rig.line()["pid"], 4242);
    EXPECT_EQ(rig.service.pidAsks(), 1);
    rig.now += 0.6;
    rig.line();
    EXPECT_EQ(rig.service.pidAsks(), 2);

    // Unknown (0) is asked again at once.
    Rig none;
    none.line();
    none.line();
    EXPECT_EQ(none.service.pidAsks(), 2);
}

TEST(Mirabeck, QQWindowOverridesAsItShould) {
    struct Case {
        const char* name;
        InfoDictionary dict;
        bool playing;
        std::string bundleId;
        std::optional<QQReading> qq;
        Json expected;
        std::vector<const char*> absent;
    };
    const QQReading qqPlaying{"窗口歌", "歌手", true, true};
    const Case cases[] = {
        {"another player's title, QQ plays another song",
         track("Other", "X", 42),
         true,
         "mpv",
         qqPlaying,
         {{"title", "窗口歌"},
          {"artist", "歌手"},
          {"source", "QQ音乐"},
          {"bundleId", "com.tencent.QQMusicMac"},
          {"playing", true},
          {"playbackRate", 1},
          {"elapsed", 0},
          {"duration", 0},
          {"elapsedKnown", false}},
         {"album", "artwork"}},
        {"QQ paused while another player with a title owns the state",
         track("Other", "X", 42),
         true,
         "mpv",
         QQReading{"窗口歌", "歌手", false, true},
         {{"title", "Other"}, {"playing", true}},
         {}},
        {"no reading", track("Other", "X", 42), true, "mpv", std::nullopt, {{"title", "Other"}}, {}},
        {"the same track from QQ Music keeps its playhead",
         track("窗口歌", "歌手", 42),
         false,
         "com.tencent.QQMusicMac",
         qqPlaying,
         {{"title", "窗口歌"}, {"playing", true}, {"duration", 300}, {"elapsedKnown", true}, {"album", "Album"}},
         {}},
        {"no service answer: the window alone",
         {},
         false,
         "",
         QQReading{std::nullopt, std::nullopt, true, true},
         {{"ok", true}, {"playing", true}, {"playbackRate", 1}},
         {"title"}},
        {"a window title with no artist",
         {},
         false,
         "",
         QQReading{"歌", std::nullopt, false, true},
         {{"ok", true}, {"title", "歌"}, {"artist", ""}, {"playing", false}},
         {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        auto dict = c.dict;
        if (!dict.empty()) dict.emplace(info::kArtworkData, mpris::InfoData{smallJPEG(10)});
        if (dict.empty())
            rig.service.set({});
        else
            rig.playing(dict, c.playing, 77, c.bundleId, c.bundleId);
        rig.qq = c.qq;
        const Json line = rig.line();
        for (const auto& [key, value] : c.expected.items()) EXPECT_EQ(line[key], value) << key;
        for (const char* key : c.absent) EXPECT_FALSE(line.contains(key)) << key;
    }
}

TEST(Mirabeck, KnownSourcesByBundleId) {
    EXPECT_EQ(Mirabeck::knownSource("com.spotify.client"), "Spotify");
    EXPECT_EQ(Mirabeck::knownSource("com.netease.163music"), "网易云音乐");
    EXPECT_EQ(Mirabeck::knownSource("mpv"), std::nullopt);
}
