#include "ControlDeckCore/media/Playhead.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

namespace veltrane::media {
namespace {

using Snapshot = MediaRemoteNowPlaying::Snapshot;
constexpr OptionalText none = std::nullopt;

TEST(PlayheadTest, ArtistKeySplitsAtTheEightSeparatorsOnly) {
    const std::vector<std::pair<OptionalText, std::string>> cases = {
        {none, ""},           {"", ""},
        {"  ", ""},           {" ; & ", ""},
        {"B & A", "a/b"},     {"a/b", "a/b"},
        {"A，B", "a/b"},      {"b／a", "a/b"},
        {"A、 B", "a/b"},     {"A;B＆C", "a/b/c"},
        {"A feat. B", "a feat. b"}, {"A and B", "a and b"},
        {"A・B", "a・b"},     {"A x B - C", "a x b - c"},
        {"ÉMILE / e\u0301mile", "émile/émile"},
    };
    for (const auto& [artist, key] : cases) {
        SCOPED_TRACE(artist.value_or("<absent>"));
        EXPECT_EQ(Playhead::artistKey(artist), key);
    }
}

TEST(PlayheadTest, TrackAndArtistRules) {
    EXPECT_TRUE(Playhead::sameTrack(" Song ", "Song", "A", "a"));
    EXPECT_FALSE(Playhead::sameTrack("Song", " Song ", "A", "a"));
    EXPECT_FALSE(Playhead::sameTrack("", "", "A", "A"));
    EXPECT_FALSE(Playhead::sameTrack(none, none, none, none));
    EXPECT_TRUE(Playhead::sameTrack("Song", "Song", none, ""));
    EXPECT_TRUE(Playhead::sameTrack("Cafe\u0301", "Café", "A & B", "b/a"));

    EXPECT_EQ(Playhead::richerArtist("A", "A & B"), "A & B");
    EXPECT_EQ(Playhead::richerArtist("A & B", "C & D"), "A & B");
    EXPECT_EQ(Playhead::richerArtist("  ", none), none);
    EXPECT_EQ(Playhead::richerArtist(none, "B"), "B");
    EXPECT_EQ(Playhead::richerArtist("A & B & A", "C & D"), "A & B & A");

    EXPECT_TRUE(Playhead::sameTitleCompatibleArtists("T", "T", "A", "B & A"));
    EXPECT_FALSE(Playhead::sameTitleCompatibleArtists("T", "T", "A & C", "A & B"));
    EXPECT_TRUE(Playhead::sameTitleCompatibleArtists("T", "T", "", "A"));
    EXPECT_TRUE(Playhead::sameTitleCompatibleArtists("T", "T", "A", none));
    EXPECT_FALSE(Playhead::sameTitleCompatibleArtists("T", "U", "A", "A"));

    struct Case {
        OptionalText albumB, sourceA, sourceB, bundleA, bundleB;
        bool expected;
    };
    const std::vector<Case> recordings = {
        {"", "Music", "Music", none, none, true},
        {"Other", "Music", "Music", none, none, false},
        {"X", "Music", "Music", "com.apple.Music", "com.spotify.client", false},
        {"X", "Music", "Spotify", "com.apple.Music", "com.apple.Music", true},
        {"X", "Music", "Spotify", "com.apple.Music", none, false},
        {"X", "Music", "", none, "com.apple.Music", true},
    };
    for (const auto& c : recordings) {
        EXPECT_EQ(Playhead::sameRecording("T", "T", "A", "A", "X", c.albumB, c.sourceA, c.sourceB, c.bundleA, c.bundleB),
                  c.expected);
    }
}

Snapshot reading(const char* title, bool playing, double elapsed, double captured) {
    Snapshot s;
    s.title = title;
    s.artist = "A";
    s.isPlaying = playing;
    s.elapsed = elapsed;
    s.capturedAt = captured;
    s.elapsedKnown = true;
    s.playbackRate = playing ? 1 : 0;
    s.duration = 200;
    return s;
}

TEST(PlayheadTest, ReconcilePlaybackLetsFreshControlsDecide) {
    const double now = 100;
    Snapshot incoming = reading("Song", true, 50, 99);
    incoming.playbackRate = 0.5;
    Snapshot paused = reading("Song", false, 0, now - 1.5);
    EXPECT_EQ(Playhead::reconcilePlayback(incoming, paused, 10, now), incoming);  // exactly 1.5 s old
    EXPECT_EQ(Playhead::reconcilePlayback(incoming, std::nullopt, 10, now), incoming);

    paused.capturedAt = now - 1.49;
    auto r = Playhead::reconcilePlayback(incoming, paused, 10, now);
    EXPECT_FALSE(r.isPlaying);
    EXPECT_EQ(r.playbackRate, 0);
    EXPECT_EQ(r.elapsed, 10);
    EXPECT_EQ(r.capturedAt, now);
    EXPECT_TRUE(r.elapsedKnown);

    for (std::optional<double> raw : {std::optional<double>(-1), std::optional<double>(INFINITY),
                                      std::optional<double>()}) {
        r = Playhead::reconcilePlayback(incoming, paused, raw, now);
        EXPECT_EQ(r.elapsed, 50);
        EXPECT_EQ(r.capturedAt, 99);
        EXPECT_FALSE(r.elapsedKnown);
    }
    EXPECT_EQ(Playhead::reconcilePlayback(incoming, paused, 500, now).elapsed, 200);
    incoming.duration = 0;
    EXPECT_EQ(Playhead::reconcilePlayback(incoming, paused, 500, now).elapsed, 500);

    Snapshot playing = reading("Song", true, 0, now - 0.1);
    incoming.isPlaying = false;
    EXPECT_EQ(Playhead::reconcilePlayback(incoming, playing, 10, now).playbackRate, 1.0);
    incoming.playbackRate = std::nan("");
    EXPECT_EQ(Playhead::reconcilePlayback(incoming, playing, 10, now).playbackRate, 1.0);
    incoming.playbackRate = 2;
    r = Playhead::reconcilePlayback(incoming, playing, 10, now);
    EXPECT_TRUE(r.isPlaying);
    EXPECT_EQ(r.playbackRate, 2);
    EXPECT_EQ(r.elapsed, 50);

    // Another track only counts for QQ Music when its controls show no title.
    EXPECT_EQ(Playhead::reconcilePlayback(incoming, reading("Other", false, 0, now), 10, now), incoming);
    Snapshot qq = reading(" ", false, 0, now);
    qq.bundleId = incoming.bundleId = "com.tencent.QQMusicMac";
    EXPECT_FALSE(Playhead::reconcilePlayback(incoming, qq, 10, now).isPlaying);
}

TEST(PlayheadTest, MergeKeepsTheAnchorOnlyForRestatedPositions) {
    const double now = 1000;
    Playhead::Current current;
    current.title = "Song";
    current.artist = "A";
    current.elapsed = 60;
    current.captured = now;
    current.playing = true;
    current.rate = 1;
    current.duration = 200;

    struct Case {
        const char* name;
        double elapsed;
        double capturedAt;
        bool keeps;
    };
    const std::vector<Case> cases = {
        {"within 0.02", 60.01, now, true},
        {"whole second 0.9 behind", 42.0, now - 17.1, true},
        {"whole second 1.1 behind", 42.0, now - 16.9, false},
        {"whole second ahead by more than 0.05", 61.0, now, false},
        {"fractional 0.5 behind", 42.3, now - 17.2, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Snapshot in = reading("Song", true, c.elapsed, c.capturedAt);
        const auto r = Playhead::merge(in, current, now, false);
        EXPECT_EQ(r.elapsed, c.keeps ? 60 : c.elapsed);
        EXPECT_EQ(r.capturedAt, c.keeps ? now : c.capturedAt);
        EXPECT_EQ(Playhead::merge(in, current, now, true), in);
    }

    Snapshot unknown = reading("Other", true, 5, now - 3);
    unknown.elapsedKnown = false;
    auto r = Playhead::merge(unknown, current, now + 2, false);
    EXPECT_EQ(r.elapsed, 0);
    EXPECT_EQ(r.capturedAt, now + 2);
    EXPECT_FALSE(r.elapsedKnown);

    unknown.title = "Song";
    r = Playhead::merge(unknown, current, now + 500, false);
    EXPECT_EQ(r.elapsed, 200);  // capped at the duration
    EXPECT_FALSE(r.elapsedKnown);
    r = Playhead::merge(unknown, current, now + 2, false);
    EXPECT_EQ(r.elapsed, 62);
}

TEST(PlayheadTest, StaleRolloverElapsed) {
    struct Case {
        double e, pe, pd;
        bool stale;
    };
    const Case cases[] = {{16, 0, 31, true},   {16, 10, 25, false}, {100, 80, 0, true}, {200, 100, 0, false},
                          {15, 100, 200, false}, {125, 100, 0, false}, {160, 0, 200, false}, {171, 0, 200, true}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.e) + " " + std::to_string(c.pe) + " " + std::to_string(c.pd));
        EXPECT_EQ(Playhead::staleRolloverElapsed(c.e, c.pe, c.pd), c.stale);
    }
}

TEST(SnapshotTest, EqualityIsMemberwiseUnderCanonicalEquivalence) {
    Snapshot a = reading("Café", true, 1, 2);
    Snapshot b = a;
    b.title = "Cafe\u0301";
    EXPECT_EQ(a, b);
    b.title = "café";
    EXPECT_NE(a, b);
    b = a;
    b.artwork = std::string("\x00\x01", 2);
    EXPECT_NE(a, b);
    b = a;
    b.liked = false;
    EXPECT_NE(a, b);
    b = a;
    b.elapsed = -0.0;
    a.elapsed = 0.0;
    EXPECT_EQ(a, b);
    a.duration = b.duration = std::numeric_limits<double>::quiet_NaN();
    EXPECT_NE(a, b);
}

}  // namespace
}  // namespace veltrane::media
