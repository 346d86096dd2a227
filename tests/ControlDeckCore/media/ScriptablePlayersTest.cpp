// The scriptable players' pure rules: reply parsing, the choice between the
// two players, the automation-refusal test and the numbers in replies.
#include <gtest/gtest.h>

#include <cmath>

#include "ControlDeckCore/media/ScriptablePlayers.h"

namespace veltrane::media {
namespace {

using Snapshot = ScriptablePlayers::Snapshot;
constexpr double kNow = 800'000'000;

std::optional<Snapshot> music(const std::string& reply) {
    return ScriptablePlayers::parseScriptable(reply, "Music", "com.apple.Music", false, kNow);
}

TEST(ScriptablePlayers, ParsesRepliesOfBothPlayers) {
    const auto song = music("Song\tArtist\t\t215.5\t12.25\tplaying\ttrue");
    ASSERT_TRUE(song);
    EXPECT_EQ(song->title, "Song");
    EXPECT_EQ(song->artist, "Artist");
    EXPECT_EQ(song->album, "") << "an unreadable album is empty, not missing";
    EXPECT_EQ(song->source, "Music");
    EXPECT_EQ(song->bundleId, "com.apple.Music");
    EXPECT_DOUBLE_EQ(song->duration, 215.5);
    EXPECT_DOUBLE_EQ(song->elapsed, 12.25);
    EXPECT_TRUE(song->elapsedKnown);
    EXPECT_TRUE(song->isPlaying);
    EXPECT_DOUBLE_EQ(song->playbackRate, 1.0);
    EXPECT_EQ(song->liked, true);
    EXPECT_DOUBLE_EQ(song->capturedAt, kNow);
    EXPECT_FALSE(song->artwork || song->songMid || song->albumMid);

    const auto spotify = ScriptablePlayers::parseScriptable("  Track\tBand\tRecord\t215000\t42.5\tpaused\n", "Spotify",
                                                            "com.spotify.client", true, kNow);
    ASSERT_TRUE(spotify);
    EXPECT_EQ(spotify->title, "Track");
    EXPECT_DOUBLE_EQ(spotify->duration, 215.0) << "milliseconds";
    EXPECT_DOUBLE_EQ(spotify->elapsed, 42.5) << "the position is seconds already";
    EXPECT_FALSE(spotify->isPlaying);
    EXPECT_DOUBLE_EQ(spotify->playbackRate, 0.0);
    EXPECT_FALSE(spotify->liked.has_value());
}

TEST(ScriptablePlayers, ReplyFieldsByTheirRules) {
    struct Case {
        const char* name;
        std::string reply;
        bool reading;
        bool playing = false;
        std::optional<bool> liked = std::nullopt;
        double duration = 0;
        double elapsed = 0;
    };
    const Case cases[] = {
        {"empty", "", false},
        {"five fields", "Song\tArtist\tAlbum\t200\t10", false},
        {"blank title", " \t\tArtist\tAlbum\t200\t10\tplaying", false},
        {"paused", "S\tA\tB\t200\t10\tpaused", true, false, std::nullopt, 200, 10},
        {"play and pause", "S\tA\tB\t200\t10\tplaypaused", true, false, std::nullopt, 200, 10},
        {"state in capitals", "S\tA\tB\t200\t10\tPLAYING", true, true, std::nullopt, 200, 10},
        {"liked unknown", "S\tA\tB\t200\t10\tplaying\tunknown", true, true, std::nullopt, 200, 10},
        {"liked YES", "S\tA\tB\t200\t10\tplaying\tYES", true, true, true, 200, 10},
        {"liked no, padded", "S\tA\tB\t200\t10\tplaying\t no ", true, true, false, 200, 10},
        {"leading blank in duration", "S\tA\tB\t 200\t10\tplaying", true, true, std::nullopt, 0, 10},
        {"comma decimal mark", "S\tA\tB\t215,5\t10,5\tplaying", true, true, std::nullopt, 0, 0},
        {"hex", "S\tA\tB\t0x10\t0x1p3\tplaying", true, true, std::nullopt, 0, 0},
        {"not finite", "S\tA\tB\tinf\tnan\tplaying", true, true, std::nullopt, 0, 0},
        {"overflow", "S\tA\tB\t1e400\t-1e400\tplaying", true, true, std::nullopt, 0, 0},
        {"exponent", "S\tA\tB\t2.155E+2\t1e1\tplaying", true, true, std::nullopt, 215.5, 10},
        {"trailing text", "S\tA\tB\t200s\t10 \tplaying", true, true, std::nullopt, 0, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto parsed = music(c.reply);
        ASSERT_EQ(parsed.has_value(), c.reading);
        if (!parsed) continue;
        EXPECT_EQ(parsed->isPlaying, c.playing);
        EXPECT_EQ(parsed->liked, c.liked);
        EXPECT_DOUBLE_EQ(parsed->duration, c.duration);
        EXPECT_DOUBLE_EQ(parsed->elapsed, c.elapsed);
    }
}

TEST(ScriptablePlayers, TransportVerbs) {
    using Command = ScriptablePlayers::Command;
    const std::pair<Command, std::optional<std::string>> cases[] = {
        {Command::play, R"(tell application "Spotify" to play)"},
        {Command::pause, R"(tell application "Spotify" to pause)"},
        {Command::togglePlayPause, R"(tell application "Spotify" to playpause)"},
        {Command::stop, R"(tell application "Spotify" to pause)"},
        {Command::nextTrack, R"(tell application "Spotify" to next track)"},
        {Command::previousTrack, R"(tell application "Spotify" to previous track)"},
        {Command::likeTrack, std::nullopt},
        {Command::dislikeTrack, std::nullopt},
        {Command::seekToPlaybackPosition, std::nullopt},
    };
    for (const auto& [command, script] : cases) {
        SCOPED_TRACE(static_cast<int>(command));
        EXPECT_EQ(ScriptablePlayers::transportScript("Spotify", command), script);
    }
    EXPECT_EQ(ScriptablePlayers::applicationName("com.apple.Music"), "Music");
    EXPECT_EQ(ScriptablePlayers::applicationName("com.tencent.QQMusicMac"), std::nullopt);
}

TEST(ScriptablePlayers, DecimalNumbers) {
    const std::pair<const char*, std::optional<double>> cases[] = {
        {"12", 12},      {"12.25", 12.25}, {"-3.5", -3.5}, {"+4", 4},     {".5", 0.5},       {"5.", 5},
        {"1E+4", 10000}, {"", {}},         {".", {}},      {"-", {}},     {"1e", {}},        {" 1", {}},
        {"1 ", {}},      {"1,5", {}},      {"0x1A", {}},   {"inf", {}},   {"-infinity", {}}, {"nan", {}},
        {"1e999", {}},   {"١٢", {}},       {"1.2.3", {}},  {"12abc", {}},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        EXPECT_EQ(ScriptablePlayers::decimalNumber(text), expected);
    }
}

TEST(ScriptablePlayers, DecimalTextReadsBack) {
    EXPECT_EQ(ScriptablePlayers::decimalText(42), "42.0");
    EXPECT_EQ(ScriptablePlayers::decimalText(12.25), "12.25");
    EXPECT_EQ(ScriptablePlayers::decimalText(0), "0.0");
    for (double value : {0.1, 215.123456789, 1.0 / 3.0, 86399.99})
        EXPECT_EQ(ScriptablePlayers::decimalNumber(ScriptablePlayers::decimalText(value)), value);
}

TEST(ScriptablePlayers, ChoosesTheReadingThatSpeaks) {
    auto reading = [](const char* bundleId, bool playing) {
        Snapshot s;
        s.title = bundleId;
        s.bundleId = bundleId;
        s.isPlaying = playing;
        return s;
    };
    const Snapshot musicPlaying = reading("com.apple.Music", true), musicPaused = reading("com.apple.Music", false);
    const Snapshot spotifyPlaying = reading("com.spotify.client", true),
                   spotifyPaused = reading("com.spotify.client", false);
    struct Case {
        const char* name;
        std::optional<std::string> selected;
        bool selectedPlaying;
        std::optional<Snapshot> music, spotify;
        std::optional<std::string> chosen;  // the chosen reading's bundle id
    };
    const Case cases[] = {
        {"selected Music plays", "com.apple.Music", true, musicPlaying, spotifyPlaying, "com.apple.Music"},
        {"selected Spotify plays", "com.spotify.client", true, musicPlaying, spotifyPlaying, "com.spotify.client"},
        {"QQ Music plays", "com.tencent.QQMusicMac", true, std::nullopt, spotifyPlaying, std::nullopt},
        {"QQ Music paused", "com.tencent.QQMusicMac", false, std::nullopt, spotifyPlaying, "com.spotify.client"},
        {"nothing selected", std::nullopt, false, musicPlaying, spotifyPlaying, "com.apple.Music"},
        {"Spotify plays, Music shown paused", "com.apple.Music", false, musicPaused, spotifyPlaying,
         "com.spotify.client"},
        {"nothing plays, Music shown", "com.apple.Music", false, musicPaused, spotifyPaused, "com.apple.Music"},
        {"nothing plays, Spotify shown", "com.spotify.client", false, musicPaused, spotifyPaused, "com.spotify.client"},
        {"nothing plays, Spotify shown, no reading", "com.spotify.client", false, musicPaused, std::nullopt,
         std::nullopt},
        {"nothing plays, other shown", "org.mpris.vlc", false, musicPaused, spotifyPaused, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto chosen =
            ScriptablePlayers::chooseActiveScriptable(c.selected, c.selectedPlaying, c.music, c.spotify);
        EXPECT_EQ(chosen ? chosen->bundleId : std::nullopt, c.chosen);
    }
}

TEST(ScriptablePlayers, AutomationRefusal) {
    struct Case {
        std::int32_t status;
        const char* standardError;
        const char* standardOutput;
        bool denied;
    };
    const Case cases[] = {
        {1, "execution error: Not Authorized To Send Apple Events to Music. (-1743)", "", true},
        {1, "", "Error -1743", true},
        {1, "osascript: not allowed to send apple events", "", true},
        {1, "execution error: Music got an error: Can't get current track. (-1728)", "", false},
        {124, "not authorized to send apple events (-1743)", "", false},
        {0, "not authorized to send apple events", "", false},
        {2, "not authorized to send apple\nevents", "", false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.standardError) + "|" + c.standardOutput);
        EXPECT_EQ(ScriptablePlayers::isAutomationDenied(c.status, c.standardError, c.standardOutput), c.denied);
    }
}

TEST(ScriptablePlayers, IdentityBundleId) {
    auto reading = [](std::optional<std::string> bundleId, std::optional<std::string> source) {
        Snapshot s;
        s.bundleId = std::move(bundleId);
        s.source = std::move(source);
        return s;
    };
    EXPECT_EQ(ScriptablePlayers::scriptableIdentityBundleId(reading("com.spotify.client", "Music")),
              "com.spotify.client");
    EXPECT_EQ(ScriptablePlayers::scriptableIdentityBundleId(reading(std::nullopt, "Music")), "com.apple.Music");
    EXPECT_EQ(ScriptablePlayers::scriptableIdentityBundleId(reading("mpv", "Spotify")), "com.spotify.client");
    EXPECT_EQ(ScriptablePlayers::scriptableIdentityBundleId(reading("mpv", "music")), std::nullopt);
}

}  // namespace
}  // namespace veltrane::media
