// The host media adapter's merge, gates and watcher on fakes: an injected
// clock, a fetch that answers nothing, scripts standing in for the helper.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cmath>
#include <filesystem>
#include <fstream>
#include <mutex>

#include "ControlDeckCore/adapters/MacMediaAdapter.h"
#include "ControlDeckCore/shared/JSON.h"
#include "platform/crypto/Crypto.h"
#include "tests/ControlDeckCore/adapters/OfflineSources.h"
#include "tests/support/Eventually.h"
#include "tests/support/LastCopy.h"
#include "tests/support/TempDirectory.h"

namespace veltrane::deck {
namespace {

using namespace std::chrono_literals;
using Snapshot = MacMediaAdapter::Snapshot;

constexpr double kReference = media::MediaRemoteNowPlaying::kReferenceDateSince1970;

class Rig {
public:
    explicit Rig(std::optional<std::string> helper = std::nullopt) {
        MacMediaAdapter::Environment environment;
        environment.clock = [this, token = lastCopy_.token()] {
            std::lock_guard lock(mutex_);
            return now_;
        };
        testing::offlineSources(environment);
        environment.fetch = [](media::MediaRemoteNowPlaying::FetchDone) {};
        environment.bundleRunning = [](const std::string&) { return false; };
        environment.helperURL = [helper] { return helper; };
        environment.lyricsFetch = [](auto&&...) {};
        adapter = MacMediaAdapter::create(false, std::move(environment));
        adapter->setOnChange([this] {
            std::lock_guard lock(mutex_);
            ++changes_;
        });
    }
    // Work in flight may hold the adapter a moment longer; it reads this
    // rig's clock until it is gone.
    ~Rig() {
        adapter->setOnChange({});
        adapter.reset();
        // The adapter's last use of this rig is ordered before the rig goes.
        EXPECT_TRUE(lastCopy_.waitGone());
    }

    // Seconds since the reference date, as readings carry them.
    double now() const {
        std::lock_guard lock(mutex_);
        return std::chrono::duration<double>(now_.time_since_epoch()).count() - kReference;
    }
    void advance(double seconds) {
        std::lock_guard lock(mutex_);
        now_ += std::chrono::duration_cast<Date::duration>(std::chrono::duration<double>(seconds));
    }
    int changes() const {
        std::lock_guard lock(mutex_);
        return changes_;
    }
    void apply(const std::optional<Snapshot>& s, bool forceAnchor = false) {
        adapter->sync([&] { adapter->apply(s, std::nullopt, forceAnchor, true); });
    }
    void line(const Json& json) {
        adapter->sync([&] { adapter->ingestHelperLine(json.dump()); });
    }
    void settle() {
        adapter->sync([] {});
    }
    // A playing reading captured now.
    Snapshot reading(const char* title, const char* bundleId, double elapsed, bool playing = true) const {
        Snapshot s;
        s.title = title;
        s.artist = "Artist";
        s.album = "Album";
        s.bundleId = bundleId;
        s.source = bundleId;
        s.isPlaying = playing;
        s.playbackRate = playing ? 1 : 0;
        s.duration = 200;
        s.elapsed = elapsed;
        s.elapsedKnown = true;
        s.capturedAt = now();
        return s;
    }
    // The published playhead now.
    double position() const {
        std::lock_guard lock(mutex_);
        return adapter->interpolatedElapsed(now_);
    }

    std::shared_ptr<MacMediaAdapter> adapter;

private:
    mutable std::mutex mutex_;
    testing::LastCopy lastCopy_;
    Date now_ = std::chrono::system_clock::now();
    int changes_ = 0;
};

TEST(MacMediaAdapter, NewAdapterShowsNothing) {
    Rig rig;
    EXPECT_TRUE(rig.adapter->available());
    EXPECT_FALSE(rig.adapter->isPlaying());
    EXPECT_EQ(rig.adapter->playbackRate(), 1.0);
    EXPECT_EQ(rig.adapter->duration(), 0);
    EXPECT_EQ(rig.adapter->elapsed(), 0);
    EXPECT_FALSE(rig.adapter->elapsedKnown());
    EXPECT_FALSE(rig.adapter->title() || rig.adapter->artist() || rig.adapter->album() || rig.adapter->source() ||
                 rig.adapter->artworkPNG() || rig.adapter->liked() || rig.adapter->lyrics() ||
                 rig.adapter->karaokeLine());
}

TEST(MacMediaAdapter, IngressGateKeepsThePlayingPlayer) {
    struct Case {
        const char* name;
        const char* bundleId;
        bool playing;
        bool applied;
    };
    for (const Case& c : {Case{"paused other player", "com.spotify.client", false, false},
                          Case{"paused shown player", "com.apple.Music", false, true},
                          Case{"playing other player", "com.spotify.client", true, true}}) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.apply(rig.reading("Shown", "com.apple.Music", 10));
        rig.apply(rig.reading("Other", c.bundleId, 5, c.playing));
        EXPECT_EQ(rig.adapter->title() == std::optional<std::string>("Other"), c.applied);
    }
}

TEST(MacMediaAdapter, QQMusicGuards) {
    Rig rig;
    rig.apply(rig.reading("Song", "com.tencent.QQMusicMac", 1));
    EXPECT_FALSE(rig.adapter->title()) << "QQ Music is not running";

    rig.adapter->sync([&] { rig.adapter->setQQState(true, rig.reading("Song", "com.tencent.QQMusicMac", 30)); });
    rig.apply(rig.reading("Song", "com.tencent.QQMusicMac", 30));
    ASSERT_EQ(rig.adapter->title(), "Song");
    // QQ Music still names the shown track 30 s in: another source's new
    // track at its very start is stale, a moment later it is believed.
    rig.apply(rig.reading("Next", "org.mpris.other", 0.5));
    EXPECT_EQ(rig.adapter->title(), "Song");
    rig.apply(rig.reading("Next", "org.mpris.other", 1.2));
    EXPECT_EQ(rig.adapter->title(), "Next");
}

TEST(MacMediaAdapter, UntitledQQPauseFreezesThePlayhead) {
    Rig rig;
    rig.adapter->sync([&] { rig.adapter->setQQState(true, std::nullopt); });
    rig.apply(rig.reading("Song", "com.tencent.QQMusicMac", 30));
    rig.advance(2);
    const int before = rig.changes();
    Snapshot pause = rig.reading("", "com.tencent.QQMusicMac", 0, false);
    rig.apply(pause);
    EXPECT_EQ(rig.changes(), before + 1);
    EXPECT_FALSE(rig.adapter->isPlaying());
    EXPECT_NEAR(rig.adapter->elapsed(), 32, 1e-6);
    EXPECT_EQ(rig.adapter->title(), "Song");
    rig.apply(pause);
    EXPECT_EQ(rig.changes(), before + 1);
}

TEST(MacMediaAdapter, ArtworkUpToItsBound) {
    for (const std::size_t size : {std::size_t{219'999}, std::size_t{220'000}}) {
        SCOPED_TRACE(size);
        Rig rig;
        Snapshot s = rig.reading("Song", "mpv", 1);
        s.artwork = std::string(size, 'j');
        rig.apply(s);
        EXPECT_EQ(rig.adapter->artworkPNG().has_value(), size <= MacMediaAdapter::kMaxArtworkBytes);
    }
}

TEST(MacMediaAdapter, NewTrackDropsTheFormerTracksArtworkAndOverrides) {
    Rig rig;
    Snapshot first = rig.reading("First", "mpv", 10);
    first.artwork = "cover";
    rig.apply(first);
    rig.adapter->optimisticSeek(150);
    rig.settle();
    rig.apply(rig.reading("Second", "mpv", 3));
    EXPECT_EQ(rig.adapter->title(), "Second");
    EXPECT_FALSE(rig.adapter->artworkPNG());
    EXPECT_NEAR(rig.adapter->elapsed(), 3, 1e-6) << "the seek belonged to the former track";
}

// A reading whose player could not be named in time (no source, no bundle
// id) keeps the shown track's player; another track does not inherit it.
TEST(MacMediaAdapter, AnUnnamedReadingOfTheShownTrackKeepsItsPlayer) {
    Rig rig;
    rig.apply(rig.reading("Song", "mpv", 10));
    Snapshot unnamed = rig.reading("Song", "mpv", 10.5);
    unnamed.source.reset();
    unnamed.bundleId.reset();
    rig.apply(unnamed);
    EXPECT_EQ(rig.adapter->source(), "mpv");
    EXPECT_EQ(rig.adapter->bundleId(), "mpv");

    Snapshot other = rig.reading("Other", "mpv", 1);
    other.source.reset();
    other.bundleId.reset();
    rig.apply(other);
    EXPECT_EQ(rig.adapter->title(), "Other");
    EXPECT_FALSE(rig.adapter->source());
}

// The seek target moves on with the playhead; readings that agree with the
// moving target end the override.
TEST(MacMediaAdapter, SeekOverrideIsProjectedForward) {
    struct Case {
        const char* name;
        bool playing;
        double after;           // seconds after the seek
        double readingElapsed;  // captured at that moment
        double published;
    };
    for (const Case& c : {
             Case{"playing, agreeing with the moved target", true, 0.5, 100.5, 100.5},
             Case{"playing, far off: the moved target wins", true, 0.5, 40, 100.5},
             Case{"paused, agreeing with the frozen target", false, 0.5, 100.3, 100.3},
             Case{"paused, far off", false, 0.5, 40, 100},
             Case{"override too old", true, 1.45, 40, 40},
         }) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.apply(rig.reading("Song", "mpv", 10, c.playing));
        rig.adapter->optimisticSeek(100);
        rig.settle();
        rig.advance(c.after);
        rig.apply(rig.reading("Song", "mpv", c.readingElapsed, c.playing));
        EXPECT_NEAR(rig.position(), c.published, 1e-6);
        EXPECT_TRUE(rig.adapter->elapsedKnown());
    }
}

TEST(MacMediaAdapter, SeekOverrideEndsOnceAReadingAgrees) {
    Rig rig;
    rig.apply(rig.reading("Song", "mpv", 10));
    rig.adapter->optimisticSeek(100);
    rig.settle();
    rig.advance(0.5);
    rig.apply(rig.reading("Song", "mpv", 100.4));
    rig.advance(0.3);
    // Without the override a reading far off is the player's word.
    rig.apply(rig.reading("Song", "mpv", 50, true));
    EXPECT_NEAR(rig.position(), 50, 1e-6);
}

TEST(MacMediaAdapter, LikeOverrideHoldsForTwoSeconds) {
    for (const auto& [after, expected] : {std::pair{1.0, true}, std::pair{2.01, false}}) {
        SCOPED_TRACE(after);
        Rig rig;
        rig.apply(rig.reading("Song", "mpv", 10));
        rig.adapter->optimisticLike(true);
        rig.settle();
        rig.advance(after);
        Snapshot s = rig.reading("Song", "mpv", 10 + after);
        s.liked = false;
        rig.apply(s);
        EXPECT_EQ(rig.adapter->liked(), expected);
    }
}

TEST(MacMediaAdapter, OnChangeOnlyForVisibleChanges) {
    Rig rig;
    const Snapshot s = rig.reading("Song", "mpv", 10);
    rig.apply(s);
    rig.apply(s);
    EXPECT_EQ(rig.changes(), 1);
    // A restated position that moves the playhead by 0.02 s or less.
    Snapshot restated = s;
    restated.elapsed = 10.015;
    rig.apply(restated);
    EXPECT_EQ(rig.changes(), 1);
    // With a forced anchor every applied reading counts.
    rig.apply(s, /*forceAnchor=*/true);
    rig.apply(s, /*forceAnchor=*/true);
    EXPECT_EQ(rig.changes(), 3);
}

TEST(MacMediaAdapter, InterpolatedElapsed) {
    Rig rig;
    Snapshot s = rig.reading("Song", "mpv", 10);
    s.playbackRate = 0;  // playing with no rate advances at 1.0
    s.duration = 0;      // and without a duration nothing bounds it
    rig.apply(s);
    const Date base = rig.adapter->elapsedCapturedAt();
    EXPECT_NEAR(rig.adapter->interpolatedElapsed(base + 500s), 510, 1e-6);
    Snapshot negative = rig.reading("Other", "mpv", -5, false);
    rig.apply(negative);
    EXPECT_EQ(rig.adapter->interpolatedElapsed(rig.adapter->elapsedCapturedAt()), 0);
}

TEST(MacMediaAdapter, MusicNearZeroPositionIsNotTrusted) {
    Rig rig;
    rig.apply(rig.reading("Song", "com.apple.Music", 50));
    rig.apply(rig.reading("Song", "com.apple.Music", 0.2));
    EXPECT_NEAR(rig.position(), 50, 1e-6);
}

// A player's NaN rate or infinite length must not reach the published
// state: the runtime writes a state holding one as "{}" for every tablet.
TEST(MacMediaAdapter, NonFiniteValuesCountAsAbsent) {
    Rig rig;
    Snapshot s = rig.reading("Song", "mpv", 10);
    s.playbackRate = std::nan("");
    s.duration = INFINITY;
    s.capturedAt = 1e300;
    rig.apply(s);
    EXPECT_TRUE(std::isfinite(rig.adapter->playbackRate()));
    EXPECT_EQ(rig.adapter->playbackRate(), 1.0);
    EXPECT_EQ(rig.adapter->duration(), 0);
    EXPECT_TRUE(std::isfinite(rig.position()));

    rig.line(Json{{"ok", true}, {"title", "Song"}, {"playing", true}, {"elapsedAt", 1e20}, {"elapsed", 12}});
    const double capturedAt =
        std::chrono::duration<double>(rig.adapter->elapsedCapturedAt().time_since_epoch()).count() - kReference;
    EXPECT_NEAR(capturedAt, rig.now(), 1e-3) << "an unrepresentable elapsedAt is the time of parsing";
}

// The watcher never writes "empty", but a line without a reading from a bus
// where no player plays or pauses says the same.
TEST(MacMediaAdapter, EmptyReadingsClearTheState) {
    struct Case {
        const char* name;
        Json line;
        bool clears;
    };
    for (const Case& c : {
             Case{"empty", Json{{"ok", true}, {"empty", true}}, true},
             Case{"no player", Json{{"ok", false}, {"playing", false}, {"pid", 0}}, true},
             Case{"no bus", Json{{"ok", false}}, false},
             Case{"no answer from a player", Json{{"ok", false}, {"playing", false}, {"pid", 4242}}, false},
             Case{"array", Json::array({1, 2}), false},
         }) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.apply(rig.reading("Song", "mpv", 10));
        const int before = rig.changes();
        rig.line(c.line);
        EXPECT_EQ(!rig.adapter->title().has_value(), c.clears);
        EXPECT_EQ(rig.changes(), before + (c.clears ? 1 : 0));
        if (c.clears) {
            EXPECT_FALSE(rig.adapter->isPlaying());
        }
    }
}

TEST(MacMediaAdapter, QQLinePositionCheck) {
    struct Case {
        const char* name;
        double elapsed;
        std::optional<double> raw;
        double published;
        bool known;
    };
    for (const Case& c : {Case{"end of the last track", 199.98, std::nullopt, 0, false},
                          Case{"raw position trusted", 199.98, 3.0, 199.98, true},
                          Case{"at the very start", 0.03, std::nullopt, 0, false}}) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.adapter->sync([&] { rig.adapter->setQQState(true, std::nullopt); });
        Json line{{"ok", true},
                  {"title", "Song"},
                  {"artist", "A"},
                  {"playing", false},
                  {"duration", 200},
                  {"elapsed", c.elapsed},
                  {"bundleId", "com.tencent.QQMusicMac"},
                  {"elapsedAt", (rig.now() + kReference) * 1000}};
        if (c.raw) line["rawElapsed"] = *c.raw;
        rig.line(line);
        EXPECT_NEAR(rig.adapter->elapsed(), c.published, 1e-6);
        EXPECT_EQ(rig.adapter->elapsedKnown(), c.known);
    }
}

TEST(MacMediaAdapter, PausedLineGivesWayToPlayingQQMusic) {
    Rig rig;
    rig.adapter->sync([&] { rig.adapter->setQQState(true, rig.reading("QQ Song", "com.tencent.QQMusicMac", 5)); });
    rig.line(Json{{"ok", true}, {"title", "Other"}, {"playing", false}, {"bundleId", "mpv"}});
    EXPECT_EQ(rig.adapter->title(), "QQ Song");
}

// A stand-in for the helper: in watch mode it writes what the test asks,
// once or for ever; called once it prints one reading.
class HelperScript {
public:
    explicit HelperScript(const std::string& watchBody, const std::string& onceBody = "exit 0") {
        path_ = folder_.path() / "mirabeck";
        std::ofstream(path_) << "#!/bin/sh\nif [ \"$1\" = --watch ]; then\n"
                             << "  echo started >> '" << (folder_.path() / "starts").string() << "'\n"
                             << watchBody << "\nelse\n"
                             << onceBody << "\nfi\n";
        ::chmod(path_.c_str(), 0755);
    }
    std::string path() const { return path_.string(); }
    int starts() const {
        std::ifstream in(folder_.path() / "starts");
        int count = 0;
        for (std::string line; std::getline(in, line);) ++count;
        return count;
    }
    std::filesystem::path folder() const { return folder_.path(); }

private:
    testing::TempDirectory folder_;
    std::filesystem::path path_;
};

TEST(MacMediaAdapterWatch, LinesSplitAcrossWritesAndAChattyStandardError) {
    // 256 KiB on standard error before the lines would fill its pipe and
    // stall a watcher nobody drains.
    HelperScript helper(
        "head -c 262144 /dev/zero >&2\n"
        "printf '{\"ok\":true,\"title\":\"Fir'; sleep 0.2; printf 'st\",\"playing\":true}\\n{\"ok\":tr'\n"
        "sleep 0.2; printf 'ue,\"title\":\"Second\",\"playing\":true}\\n'\n"
        "exec sleep 60");
    Rig rig(helper.path());
    std::vector<std::string> titles;
    rig.adapter->setOnChange([&] {
        if (auto t = rig.adapter->title()) titles.push_back(*t);  // on the adapter queue
    });
    rig.adapter->refresh();
    EXPECT_TRUE(testing::eventually([&] { return rig.adapter->title() == std::optional<std::string>("Second"); }));
    rig.settle();
    rig.adapter->sync([&] { EXPECT_EQ(titles, (std::vector<std::string>{"First", "Second"})); });
    rig.adapter->setOnChange({});
}

TEST(MacMediaAdapterWatch, EndedWatcherIsStartedAgain) {
    HelperScript helper("echo '{\"ok\":true,\"title\":\"Once\",\"playing\":true}'");
    Rig rig(helper.path());
    rig.adapter->refresh();
    // Each start ends at once; the restart chain brings it back every 2 s.
    EXPECT_TRUE(testing::eventually([&] { return helper.starts() >= 3; }, 60s)) << helper.starts();
    EXPECT_EQ(rig.adapter->title(), "Once");
}

// The one-shot read keeps a whole line with a cover: a 219,999-byte JPEG is
// 293,332 bytes of Base64, more than a shell run keeps by default.
TEST(MacMediaAdapterWatch, OneShotReadTakesALineWithALargeCover) {
    const std::string cover = "\xFF\xD8" + std::string(219'997, 'x');
    HelperScript helper("exit 1", "cat \"$(dirname \"$0\")/line.json\"");
    std::ofstream(helper.folder() / "line.json")
        << JSON::text(Json{{"ok", true}, {"title", "Big"}, {"playing", true}, {"artwork", crypto::base64(cover)}})
        << "\n";
    Rig rig(helper.path());
    rig.adapter->refresh();
    EXPECT_TRUE(testing::eventually([&] { return rig.adapter->title() == std::optional<std::string>("Big"); }));
    rig.settle();  // the cover is published after the title
    EXPECT_TRUE(rig.adapter->artworkPNG() == cover);
}

}  // namespace
}  // namespace veltrane::deck
