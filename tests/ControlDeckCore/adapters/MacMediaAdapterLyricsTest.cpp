// The media adapter's lyrics lookup and lyric clock on fakes: an injected
// clock, a lookup that keeps its completions for the test to answer.
#include <gtest/gtest.h>

#include <mutex>
#include <thread>

#include "ControlDeckCore/adapters/MacMediaAdapter.h"
#include "ControlDeckCore/media/Playhead.h"
#include "tests/ControlDeckCore/adapters/OfflineSources.h"
#include "tests/support/Eventually.h"
#include "tests/support/LastCopy.h"

namespace veltrane::deck {
namespace {

using namespace std::chrono_literals;
using Snapshot = MacMediaAdapter::Snapshot;
using lyrics::LyricsSnapshot;

constexpr double kReference = media::MediaRemoteNowPlaying::kReferenceDateSince1970;

LyricsSnapshot synced() { return {"lrclib", true, {{2, "first"}, {6, "second"}, {10, "third"}}, std::nullopt}; }
LyricsSnapshot plainOnly() { return {"lrclib", false, {}, std::string("words")}; }

class LyricsRig {
public:
    explicit LyricsRig(bool startObservers = false) {
        MacMediaAdapter::Environment environment;
        environment.clock = [this, token = lastCopy_.token()] {
            std::lock_guard lock(mutex_);
            return now_;
        };
        testing::offlineSources(environment);
        environment.fetch = [](media::MediaRemoteNowPlaying::FetchDone) {};
        environment.bundleRunning = [](const std::string&) { return false; };
        environment.helperURL = [] { return std::optional<std::string>(); };
        environment.lyricsFetch = [this](std::string_view title, const lyrics::OptionalText&,
                                         const lyrics::OptionalText&, double, const lyrics::OptionalText& bundleId,
                                         const lyrics::OptionalText& songMid, lyrics::LyricsCompletion done) {
            std::lock_guard lock(mutex_);
            lookups_.push_back({std::string(title), bundleId, songMid, std::move(done)});
        };
        adapter = MacMediaAdapter::create(startObservers, std::move(environment));
        adapter->setOnChange([this] {
            std::lock_guard lock(mutex_);
            ++changes_;
        });
        adapter->setOnLyricClock([this](const lyrics::LyricClockTick& tick) {
            std::lock_guard lock(mutex_);
            ticks_.push_back(tick);
        });
    }
    ~LyricsRig() {
        adapter->setOnChange({});
        adapter->setOnLyricClock({});
        adapter.reset();
        {
            std::lock_guard lock(mutex_);
            lookups_.clear();  // their completions hold the adapter weakly
        }
        // The adapter's last use of this rig is ordered before the rig goes.
        EXPECT_TRUE(lastCopy_.waitGone());
    }

    struct Lookup {
        std::string title;
        lyrics::OptionalText bundleId, songMid;
        lyrics::LyricsCompletion done;
    };

    void advance(double seconds) {
        std::lock_guard lock(mutex_);
        now_ += std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(seconds));
    }
    double now() const {
        std::lock_guard lock(mutex_);
        return std::chrono::duration<double>(now_.time_since_epoch()).count() - kReference;
    }
    void apply(const Snapshot& s) {
        adapter->sync([&] { adapter->apply(s, std::nullopt, false, true); });
    }
    std::size_t lookups() const {
        std::lock_guard lock(mutex_);
        return lookups_.size();
    }
    // Answers lookup `n` as the lookup's background queue would, then waits
    // for the adapter queue to take the answer.
    void answer(std::size_t n, const lyrics::OptionalSnapshot& result) {
        lyrics::LyricsCompletion done;
        {
            std::lock_guard lock(mutex_);
            done = lookups_.at(n).done;
        }
        std::thread([&] { done(result); }).join();
        adapter->sync([] {});
    }
    int changes() const {
        std::lock_guard lock(mutex_);
        return changes_;
    }
    std::vector<lyrics::LyricClockTick> ticks() const {
        std::lock_guard lock(mutex_);
        return ticks_;
    }
    Snapshot reading(const char* title, bool playing = true, double elapsed = 0) const {
        Snapshot s;
        s.title = title;
        s.artist = "Artist";
        s.bundleId = "com.spotify.client";
        s.source = "Spotify";
        s.isPlaying = playing;
        s.playbackRate = playing ? 1 : 0;
        s.duration = 200;
        s.elapsed = elapsed;
        s.elapsedKnown = true;
        s.capturedAt = now();
        return s;
    }

    std::shared_ptr<MacMediaAdapter> adapter;

private:
    mutable std::mutex mutex_;
    testing::LastCopy lastCopy_;
    Date now_ = std::chrono::system_clock::now();
    std::vector<Lookup> lookups_;
    std::vector<lyrics::LyricClockTick> ticks_;
    int changes_ = 0;
};

TEST(MacMediaAdapterLyrics, TrackKeys) {
    struct Case {
        const char* name;
        Snapshot reading;
        std::optional<std::string> remembered;
        double published;
        std::string key;
    };
    auto make = [](std::optional<std::string> title, std::optional<std::string> album, double duration,
                   std::optional<std::string> bundleId, std::optional<std::string> source = std::nullopt,
                   std::optional<std::string> songMid = std::nullopt) {
        Snapshot s;
        s.title = std::move(title);
        s.artist = "A";
        s.album = std::move(album);
        s.duration = duration;
        s.bundleId = std::move(bundleId);
        s.source = std::move(source);
        s.songMid = std::move(songMid);
        return s;
    };
    const std::string a = media::Playhead::artistKey(std::string("A"));
    const Case cases[] = {
        {"QQ reading takes the remembered song", make("T", {}, 0, "com.tencent.QQMusicMac"), "004Z", 0, "qq:004Z"},
        {"QQ-like bundle takes it too", make("T", {}, 0, "com.example.QQMusicLite"), "004Z", 0, "qq:004Z"},
        {"its own song wins", make("T", {}, 0, "com.tencent.QQMusicMac", {}, "001A"), "004Z", 0, "qq:001A"},
        {"other players ignore the remembered song", make("T", {}, 0, "com.spotify.client"), "004Z", 210,
         "T|" + a + "||210|com.spotify.client"},
        {"published duration, half rounds up",
         make("T", {}, 0, "com.spotify.client"),
         {},
         212.5,
         "T|" + a + "||215|com.spotify.client"},
        {"reading's duration rounds down",
         make("T", {}, 212.4, "com.spotify.client"),
         {},
         300,
         "T|" + a + "||210|com.spotify.client"},
        {"a second or less: no duration",
         make("T", {}, 1.0, "com.spotify.client"),
         {},
         0,
         "T|" + a + "|||com.spotify.client"},
        {"album trimmed, title kept as is",
         make(" T ", "  Album\n", 0, " org.mpris.mpv "),
         {},
         0,
         " T |" + a + "|Album||org.mpris.mpv"},
        {"no bundle: the scriptable player", make("T", {}, 0, {}, "Music"), {}, 0, "T|" + a + "|||com.apple.Music"},
        {"no bundle: the source name", make("T", {}, 0, {}, "mpv"), {}, 0, "T|" + a + "|||mpv"},
        {"no title", make({}, {}, 0, "x"), {}, 0, "|" + a + "|||x"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(MacMediaAdapter::lyricsTrackKey(c.reading, c.remembered, c.published), c.key);
    }
}

TEST(MacMediaAdapterLyrics, UsableLyrics) {
    EXPECT_FALSE(MacMediaAdapter::usableLyrics(std::nullopt));
    EXPECT_TRUE(MacMediaAdapter::usableLyrics(synced()));
    EXPECT_TRUE(MacMediaAdapter::usableLyrics(plainOnly()));
    EXPECT_TRUE(MacMediaAdapter::usableLyrics(LyricsSnapshot{"x", true, {}, std::string("words")}));
    EXPECT_FALSE(MacMediaAdapter::usableLyrics(LyricsSnapshot{"x", true, {}, std::string(" \n\t")}));
    EXPECT_FALSE(MacMediaAdapter::usableLyrics(LyricsSnapshot{"x", false, {{1, "a"}}, std::nullopt}));
    EXPECT_FALSE(MacMediaAdapter::usableLyrics(lyrics::LyricsLookup::emptyResult()));
}

TEST(MacMediaAdapterLyrics, LookupsOfOneTrackAreThrottled) {
    struct Case {
        const char* name;
        double gap;
        bool answered;
        lyrics::OptionalSnapshot firstAnswer;
        std::size_t lookups;
    };
    for (const Case& c : {Case{"3 s apart, nothing found", 3, true, std::nullopt, 1},
                          Case{"5 s apart, nothing found", 5, true, std::nullopt, 2},
                          Case{"5 s apart, not answered yet", 5, false, std::nullopt, 2},
                          Case{"5 s apart, lyrics found", 5, true, synced(), 1}}) {
        SCOPED_TRACE(c.name);
        LyricsRig rig;
        rig.apply(rig.reading("Song"));
        ASSERT_EQ(rig.lookups(), 1u);
        if (c.answered) rig.answer(0, c.firstAnswer);
        rig.advance(c.gap);
        rig.apply(rig.reading("Song", true, c.gap));
        EXPECT_EQ(rig.lookups(), c.lookups);
    }
}

TEST(MacMediaAdapterLyrics, UntitledReadingClearsTheLyricsWithoutALookup) {
    LyricsRig rig;
    Snapshot s = rig.reading("Song");
    s.songMid = "001A";
    rig.apply(s);
    ASSERT_EQ(rig.lookups(), 1u);
    rig.answer(0, synced());
    ASSERT_EQ(rig.adapter->lyrics(), synced());
    rig.apply(rig.reading(""));
    EXPECT_EQ(rig.lookups(), 1u);
    EXPECT_FALSE(rig.adapter->lyrics());
}

TEST(MacMediaAdapterLyrics, Answers) {
    struct Case {
        const char* name;
        std::vector<lyrics::OptionalSnapshot> answers;  // in turn, to the one lookup
        bool trackChanged;
        lyrics::OptionalSnapshot published;
        int changes;
    };
    const Case cases[] = {
        {"found", {synced()}, false, synced(), 1},
        {"nothing found: the negative result", {std::nullopt}, false, lyrics::LyricsLookup::emptyResult(), 1},
        {"provider none counts as nothing",
         {lyrics::LyricsLookup::emptyResult()},
         false,
         lyrics::LyricsLookup::emptyResult(),
         1},
        {"early then final result", {plainOnly(), synced()}, false, synced(), 2},
        {"nothing after lyrics keeps them", {synced(), std::nullopt}, false, synced(), 1},
        {"late answer for a former track", {synced()}, true, std::nullopt, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        LyricsRig rig;
        rig.apply(rig.reading("Song"));
        rig.apply(rig.reading("Song"));  // settles the reading's own change
        if (c.trackChanged) rig.apply(rig.reading(""));
        const int before = rig.changes();
        for (const auto& answer : c.answers) rig.answer(0, answer);
        EXPECT_EQ(rig.adapter->lyrics(), c.published);
        EXPECT_EQ(rig.changes() - before, c.changes);
    }
}

TEST(MacMediaAdapterLyrics, CachedLyricsArePublishedAtOnce) {
    auto service =
        lyrics::LyricsService::create({[] { return false; }, [] { return lyrics::LyricsEndpoints{}; },
                                       [](std::string_view, const lyrics::OptionalText&, const lyrics::OptionalText&) {
                                           return lyrics::OptionalSnapshot();
                                       }});
    auto former = lyrics::LyricsService::install(service);
    {
        LyricsRig rig;
        const Snapshot s = rig.reading("Song");
        service->finish(synced(),
                        lyrics::LyricsLookup::cacheKeys("Song", s.artist, s.album, s.duration, s.bundleId, s.songMid));
        rig.apply(s);
        EXPECT_EQ(rig.adapter->lyrics(), synced());
        EXPECT_EQ(rig.lookups(), 1u) << "the lookup still runs";
        rig.advance(10);
        rig.apply(rig.reading("Song", true, 10));
        EXPECT_EQ(rig.lookups(), 1u) << "usable lyrics end the lookups of a track";
    }
    lyrics::LyricsService::install(former);
}

TEST(MacMediaAdapterLyrics, ClockPushesEveryFiringWhilePlayingAndLineChangesWhilePaused) {
    LyricsRig rig(true);
    rig.apply(rig.reading("Song", false, 1));
    rig.answer(0, synced());
    // Paused before the first line: one tick, no line.
    ASSERT_TRUE(testing::eventually([&] { return rig.ticks().size() == 1; }));
    std::this_thread::sleep_for(150ms);
    auto ticks = rig.ticks();
    ASSERT_EQ(ticks.size(), 1u);
    EXPECT_EQ(ticks[0].index, -1);
    EXPECT_EQ(ticks[0].current, "");
    EXPECT_FALSE(ticks[0].playing);
    EXPECT_FALSE(rig.adapter->karaokeLine());

    // A seek within no line's change pushes nothing; into another line, one.
    rig.adapter->optimisticSeek(1.5);
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(rig.ticks().size(), 1u);
    rig.adapter->optimisticSeek(7);
    ASSERT_TRUE(testing::eventually([&] { return rig.ticks().size() == 2; }));
    std::this_thread::sleep_for(150ms);
    ticks = rig.ticks();
    ASSERT_EQ(ticks.size(), 2u);
    EXPECT_EQ(ticks[1].index, 1);
    EXPECT_EQ(ticks[1].current, "second");
    EXPECT_DOUBLE_EQ(ticks[1].elapsed, 7);
    EXPECT_EQ(rig.adapter->karaokeLine(), std::optional<std::string>("second"));

    // Playing: every firing pushes, the line following the playhead.
    rig.apply(rig.reading("Song", true, 7));
    ASSERT_TRUE(testing::eventually([&] { return rig.ticks().size() >= 6; }));
    rig.advance(4);
    ASSERT_TRUE(testing::eventually([&] { return rig.ticks().back().index == 2; }));
    ticks = rig.ticks();
    EXPECT_TRUE(ticks.back().playing);
    EXPECT_EQ(ticks.back().current, "third");
    EXPECT_NEAR(ticks.back().elapsed, 11, 1e-6);
    EXPECT_EQ(rig.adapter->karaokeLine(), std::optional<std::string>("third"));
}

// The clock sleeps while there is nothing to follow; lines arriving later,
// and again for the next track, wake it.
TEST(MacMediaAdapterLyrics, ClockFollowsEachTracksLinesAsTheyArrive) {
    LyricsRig rig(true);
    rig.apply(rig.reading("Song", true, 1));
    std::this_thread::sleep_for(150ms);
    EXPECT_TRUE(rig.ticks().empty());
    rig.answer(0, synced());
    ASSERT_TRUE(testing::eventually([&] { return rig.ticks().size() >= 3; }));

    rig.apply(rig.reading("Other", true, 1));
    ASSERT_EQ(rig.lookups(), 2u);
    ASSERT_FALSE(rig.adapter->lyrics() && rig.adapter->lyrics()->synced);
    std::this_thread::sleep_for(100ms);
    const auto quiet = rig.ticks().size();
    std::this_thread::sleep_for(150ms);
    EXPECT_EQ(rig.ticks().size(), quiet) << "no lines, no ticks";
    rig.answer(1, synced());
    ASSERT_TRUE(testing::eventually([&] { return rig.ticks().size() >= quiet + 3; }));
    EXPECT_TRUE(rig.ticks().back().playing);
}

}  // namespace
}  // namespace veltrane::deck
