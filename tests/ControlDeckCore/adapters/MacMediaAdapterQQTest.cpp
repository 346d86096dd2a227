// QQ Music in the host media adapter: the poll and its gates, the end-of-track
// hop, the new-track re-reads, and the covers (QQ's image server, the
// catalog), on fakes with an injected clock; QQ's covers also against the
// services' stand-in.
#include <gtest/gtest.h>

#include <condition_variable>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>

#include "ControlDeckCore/adapters/MacMediaAdapter.h"
#include "ControlDeckCore/media/QQCover.h"
#include "platform/apps/RunningApps.h"
#include "platform/script/ScriptHost.h"
#include "tests/ControlDeckCore/adapters/OfflineSources.h"
#include "tests/support/Eventually.h"
#include "tests/support/FakeAccessibilityTree.h"
#include "tests/support/LastCopy.h"
#include "tests/support/LyricsStub.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempDirectory.h"

namespace veltrane::deck {
namespace {

using namespace std::chrono_literals;
using Snapshot = MacMediaAdapter::Snapshot;
using lyrics::OptionalText;
using media::QQNowPlaying::LibraryTrack;

constexpr double kReference = media::MediaRemoteNowPlaying::kReferenceDateSince1970;
constexpr const char* kQQ = "com.tencent.QQMusicMac";
constexpr const char* kMusic = "com.apple.Music";

std::string fixture(const char* name) {
    std::ifstream file(std::string(VELTRANE_SOURCE_DIR) + "/tools/lyrics-stub/fixtures/" + name, std::ios::binary);
    std::stringstream bytes;
    bytes << file.rdbuf();
    return bytes.str();
}

// What the outside sources were asked, from any thread.
class Calls {
public:
    void add(std::string call) {
        std::lock_guard lock(mutex_);
        calls_.push_back(std::move(call));
    }
    std::vector<std::string> all() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    std::size_t size() const { return all().size(); }

private:
    mutable std::mutex mutex_;
    std::vector<std::string> calls_;
};

// Every outside source answers nothing unless a test says otherwise.
class Rig {
public:
    explicit Rig(const std::function<void(MacMediaAdapter::Environment&)>& adjust = {}, bool startObservers = false) {
        MacMediaAdapter::Environment environment;
        environment.clock = [this] {
            std::lock_guard lock(mutex_);
            return now_;
        };
        environment.fetch = [](media::MediaRemoteNowPlaying::FetchDone) {};
        environment.bundleRunning = [](const std::string&) { return false; };
        environment.helperURL = [] { return std::nullopt; };
        environment.lyricsFetch = [this](std::string_view title, const OptionalText& artist, const OptionalText& album,
                                         double duration, const OptionalText& bundleId, const OptionalText&,
                                         const lyrics::LyricsCompletion&) {
            std::ostringstream call;
            call << title << "|" << artist.value_or("-") << "|" << album.value_or("-") << "|" << duration << "|"
                 << bundleId.value_or("-");
            lyricsCalls.add(call.str());
        };
        testing::offlineSources(environment);
        if (adjust) adjust(environment);
        environment.clock = [clock = std::move(environment.clock), token = lastCopy_.token()] { return clock(); };
        adapter = MacMediaAdapter::create(startObservers, std::move(environment));
        adapter->setOnChange([this] {
            std::lock_guard lock(mutex_);
            ++changes_;
        });
    }
    ~Rig() {
        adapter->setOnChange({});
        adapter.reset();
        // The adapter's last use of this rig is ordered before the rig goes.
        EXPECT_TRUE(lastCopy_.waitGone());
    }

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
    void apply(const std::optional<Snapshot>& s) {
        adapter->sync([&] { adapter->apply(s, std::nullopt, false, true); });
    }
    void poll(bool running, const std::optional<Snapshot>& s) {
        adapter->sync([&] { adapter->applyQQPoll(running, s, true); });
    }
    void qqRuns() {
        adapter->sync([&] { adapter->setQQState(true, std::nullopt); });
    }
    Snapshot reading(const char* title, const char* bundleId, bool playing = true) const {
        Snapshot s;
        s.title = title;
        s.artist = "Artist";
        s.bundleId = bundleId;
        s.source = bundleId;
        s.isPlaying = playing;
        s.playbackRate = playing ? 1 : 0;
        s.capturedAt = now();
        return s;
    }
    // A QQ Music window reading: no length, no position.
    Snapshot qq(const char* title, bool playing = true) const { return reading(title, kQQ, playing); }
    Snapshot positioned(Snapshot s, double elapsed, double duration) const {
        s.elapsed = elapsed;
        s.elapsedKnown = true;
        s.duration = duration;
        return s;
    }
    std::optional<std::string> title() const { return adapter->title(); }

    Calls lyricsCalls;
    std::shared_ptr<MacMediaAdapter> adapter;

private:
    mutable std::mutex mutex_;
    testing::LastCopy lastCopy_;
    Date now_ = std::chrono::system_clock::now();
    int changes_ = 0;
};

TEST(MacMediaAdapterQQ, QQMusicIsGoneOnlyTwoAndAHalfSecondsAfterTheLastTickSawIt) {
    struct Step {
        double advance;
        bool running;
        bool shown;  // the QQ Music track still published afterwards
    };
    struct Case {
        const char* name;
        std::vector<Step> steps;
    };
    const Case cases[] = {
        {"quits", {{0, false, true}, {2.4, false, true}, {0.2, false, false}}},
        {"back within 2.5 s",
         {{0, false, true}, {2.0, true, true}, {1.0, false, true}, {2.5, false, true}, {0.1, false, false}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.poll(true, rig.qq("Song"));
        ASSERT_EQ(rig.title(), "Song");
        int step = 0;
        for (const Step& s : c.steps) {
            SCOPED_TRACE(step++);
            rig.advance(s.advance);
            rig.poll(s.running, std::nullopt);
            EXPECT_EQ(rig.title().has_value(), s.shown);
        }
        EXPECT_FALSE(rig.adapter->isPlaying());
        // Gone: its readings are dropped, and the empty merge is not repeated
        // over another player.
        rig.apply(rig.qq("Song"));
        EXPECT_FALSE(rig.title());
        rig.apply(rig.reading("Other", kMusic));
        const int changes = rig.changes();
        rig.advance(1);
        rig.poll(false, std::nullopt);
        EXPECT_EQ(rig.title(), "Other");
        EXPECT_EQ(rig.changes(), changes);
    }
}

TEST(MacMediaAdapterQQ, PassiveReadingsDoNotReplaceAnotherPlayingPlayer) {
    struct Case {
        const char* name;
        std::optional<Snapshot> shown;
        bool playing;
        bool applied;
    };
    Rig base;
    const Case cases[] = {
        {"nothing shown, paused", std::nullopt, false, true},
        {"nothing shown, playing", std::nullopt, true, true},
        {"music plays, paused", base.reading("Other", kMusic), false, false},
        {"music plays, playing", base.reading("Other", kMusic), true, true},
        {"music paused, paused", base.reading("Other", kMusic, false), false, false},
        {"QQ shown, paused", base.qq("Other", true), false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig;
        rig.qqRuns();
        if (c.shown) rig.apply(c.shown);
        rig.poll(true, rig.qq("Song", c.playing));
        EXPECT_EQ(rig.title() == std::optional<std::string>("Song"), c.applied);
        if (c.applied) {
            EXPECT_EQ(rig.adapter->isPlaying(), c.playing);
        }
    }
}

TEST(MacMediaAdapterQQ, TheTimerPollsTheWindowWhileTheApplicationRuns) {
    testing::TempDirectory home;  // no play-queue file
    testing::ScopedEnvironment environment;
    environment.set("HOME", home.path().string());
    auto apps = std::make_shared<apps::FakeRunningApps>(
        std::vector<apps::RunningApplication>{{.bundleId = std::string(kQQ), .localizedName = {}, .pid = 42}});
    auto tree = std::make_shared<testing::FakeAccessibilityTree>();
    tree->windows[42] = {testing::fakeElement(
        "window", {testing::fakeElement("播放控制栏", {testing::fakeElement("歌曲名：晴天 - 歌手名：周杰伦"),
                                                       testing::fakeElement("暂停")})})};
    {
        Rig rig(
            [&](MacMediaAdapter::Environment& e) {
                e.qq.apps = apps;
                e.qq.windows = tree;
            },
            true);
        EXPECT_TRUE(testing::eventually([&] { return rig.title() == std::optional<std::string>("晴天"); }));
        EXPECT_EQ(rig.adapter->artist(), "周杰伦");
        EXPECT_TRUE(rig.adapter->isPlaying());

        apps->set({});
        rig.advance(1);
        // Still shown until 2.5 s of the injected clock have passed.
        std::this_thread::sleep_for(700ms);
        EXPECT_EQ(rig.title(), "晴天");
        rig.advance(3);
        EXPECT_TRUE(testing::eventually([&] { return !rig.title(); }));
    }
}

TEST(MacMediaAdapterQQ, AReadingAtTheEndOfTheTrackHopsToTheNextQueueEntry) {
    const LibraryTrack a{"A", "Artist", "Album", 10, "mid-a", "alb-a"};
    const LibraryTrack b{"B", "Artist", "Album", 200, "mid-b", "alb-b"};
    struct Case {
        const char* name;
        std::vector<LibraryTrack> queue;
        double elapsed;     // where the shown track stands
        const char* title;  // what is shown after the next reading
        bool known;         // whether its position is known
    };
    const Case cases[] = {
        {"next entry", {a, b}, 9.7, "B", true},     {"the last entry takes the previous one", {b, a}, 9.7, "B", true},
        {"no other entry", {a}, 9.7, "A", false},   {"the song is not in the queue", {b}, 9.7, "A", false},
        {"not at the end", {a, b}, 5.0, "A", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig rig([&](MacMediaAdapter::Environment& e) { e.qq.library = [queue = c.queue] { return queue; }; });
        rig.qqRuns();
        rig.apply(rig.positioned(rig.qq("A"), c.elapsed, 10));
        ASSERT_EQ(rig.title(), "A");
        rig.advance(0.1);
        rig.apply(rig.qq("A"));
        EXPECT_EQ(rig.title(), c.title);
        EXPECT_EQ(rig.adapter->elapsedKnown(), c.known);
        if (std::string(c.title) == "B") {
            EXPECT_EQ(rig.adapter->duration(), 200);
            EXPECT_EQ(rig.adapter->elapsed(), 0);
        } else if (!c.known) {
            EXPECT_EQ(rig.adapter->elapsed(), 10) << "held at the end until the next track is known";
        }
    }
}

// The one-shot reader's answers: what it was asked, and what it says.
class ResyncReader {
public:
    explicit ResyncReader(std::function<std::optional<std::string>(int)> answer) : answer_(std::move(answer)) {}
    std::optional<std::string> operator()(const std::string&) {
        int index;
        {
            std::lock_guard lock(mutex_);
            index = runs_++;
            changed_.notify_all();
        }
        return answer_(index);
    }
    int runs() const {
        std::lock_guard lock(mutex_);
        return runs_;
    }

private:
    std::function<std::optional<std::string>(int)> answer_;
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    int runs_ = 0;
};

std::string answer(const char* title, const char* bundleId, const char* extra = R"("elapsedKnown": true)") {
    return std::string(R"({"ok": true, "playing": true, "title": ")") + title + R"(", "artist": "Artist", )" +
           (bundleId ? std::string(R"("bundleId": ")") + bundleId + "\", " : std::string()) +
           R"("elapsed": 42, "rawElapsed": 41, "duration": 200)" + (*extra ? std::string(", ") + extra : "") + "}\n";
}

TEST(MacMediaAdapterQQ, ResyncMergesOnlyAnswersAboutTheShownQQTrack) {
    struct Case {
        const char* name;
        const char* player;  // of the new track
        bool script = true;  // the program ships the reader
        std::string output;
        int runs;     // reads started
        bool merged;  // the answer's position published
    };
    const Case cases[] = {
        {"merged", kQQ, true, answer("Song", kQQ), 3, true},
        {"no elapsedKnown counts as known", kQQ, true, answer("Song", kQQ, ""), 3, true},
        {"unknown position", kQQ, true, answer("Song", kQQ, R"("elapsedKnown": false)"), 3, false},
        {"another player", kQQ, true, answer("Song", kMusic), 3, false},
        {"no player named", kQQ, true, answer("Song", nullptr), 3, false},
        {"another track", kQQ, true, answer("Other", kQQ), 3, false},
        {"two lines", kQQ, true, answer("Song", kQQ) + answer("Song", kQQ), 3, false},
        {"not QQ Music", kMusic, true, answer("Song", kMusic), 0, false},
        {"no reader shipped", kQQ, false, answer("Song", kQQ), 0, false},
    };
    // All at once: each waits for three reads over 1.5 s.
    std::vector<std::unique_ptr<Rig>> rigs;
    std::vector<std::shared_ptr<ResyncReader>> readers;
    for (const Case& c : cases) {
        auto reader = std::make_shared<ResyncReader>([output = c.output](int) { return output; });
        readers.push_back(reader);
        rigs.push_back(std::make_unique<Rig>([&](MacMediaAdapter::Environment& e) {
            e.qq.resyncScript = [script = c.script]() -> std::optional<std::string> {
                if (!script) return std::nullopt;
                return "/opt/deck/nowplaying.js";
            };
            e.qq.runResyncScript = [reader](const std::string& path) { return (*reader)(path); };
        }));
        Rig& rig = *rigs.back();
        rig.qqRuns();
        rig.apply(rig.positioned(rig.reading("Song", c.player), 3, 200));
    }
    std::this_thread::sleep_for(1700ms);
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        Rig& rig = *rigs[i];
        EXPECT_TRUE(testing::eventually([&] { return readers[i]->runs() >= c.runs; }, 5s));
        rig.adapter->sync([] {});
        EXPECT_EQ(readers[i]->runs(), c.runs);
        EXPECT_EQ(rig.adapter->elapsed(), c.merged ? 42 : 3);
        EXPECT_EQ(rig.title(), "Song");
    }
}

TEST(MacMediaAdapterQQ, ResyncReadsOfAnEarlierTrackDrop) {
    std::mutex mutex;
    std::condition_variable released;
    bool release = false;
    auto reader = std::make_shared<ResyncReader>([&](int index) -> std::optional<std::string> {
        if (index > 0) return std::nullopt;
        // The first read is still running when the track changes.
        std::unique_lock lock(mutex);
        released.wait(lock, [&] { return release; });
        return answer("Song", kQQ);
    });
    Rig rig([&](MacMediaAdapter::Environment& e) {
        e.qq.resyncScript = [] { return std::string("/opt/deck/nowplaying.js"); };
        e.qq.runResyncScript = [reader](const std::string& path) { return (*reader)(path); };
    });
    rig.qqRuns();
    const Snapshot song = rig.positioned(rig.qq("Song"), 3, 200);
    rig.apply(song);
    ASSERT_TRUE(testing::eventually([&] { return reader->runs() == 1; }));
    // Cleared and shown again: the same track, a later generation.
    rig.apply(std::nullopt);
    rig.apply(song);
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    released.notify_all();
    std::this_thread::sleep_for(1700ms);
    EXPECT_TRUE(testing::eventually([&] { return reader->runs() >= 4; }, 5s));
    rig.adapter->sync([] {});
    EXPECT_EQ(reader->runs(), 4) << "the first call's later reads never ran";
    EXPECT_EQ(rig.adapter->elapsed(), 3) << "the earlier generation's answer is dropped";
}

lyrics::CatalogHit hit(const char* url) { return lyrics::CatalogHit{"Song", "Artist", std::nullopt, 200, url}; }

TEST(MacMediaAdapterQQ, StoreCoverSearchesTaiwanThenTheAliasThenTheDefaultCatalog) {
    struct Case {
        const char* name;
        std::vector<std::string> hitsFor;  // searches that find something: "artist@country"
        bool alias;
        std::vector<std::string> searched;
        bool published;
    };
    const Case cases[] = {
        {"artist in tw", {"Artist@tw"}, true, {"Artist@tw"}, true},
        {"alias in tw", {"Alias@tw", "Artist@"}, true, {"Artist@tw", "Alias@tw"}, true},
        {"no alias", {"Artist@"}, false, {"Artist@tw", "Artist@"}, true},
        {"alias without hit", {"Artist@"}, true, {"Artist@tw", "Alias@tw", "Artist@"}, true},
        {"nothing anywhere", {}, true, {"Artist@tw", "Alias@tw", "Artist@"}, false},
    };
    const std::string jpeg = fixture("cover.jpg");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Calls searches, downloads;
        Rig rig([&](MacMediaAdapter::Environment& e) {
            e.covers.catalogHits = [&, hitsFor = c.hitsFor](const std::string&, const OptionalText& artist, double,
                                                            const OptionalText&,
                                                            const std::vector<OptionalText>& countries) {
                const std::string search = artist.value_or("") + "@" + countries.at(0).value_or("");
                searches.add(search);
                std::vector<lyrics::CatalogHit> hits;
                if (std::find(hitsFor.begin(), hitsFor.end(), search) != hitsFor.end())
                    hits = {hit("https://art.example/a/100x100bb.jpg"), hit("https://art.example/b.jpg")};
                return hits;
            };
            if (c.alias) e.covers.artistAlias = [](const OptionalText&) { return std::string("Alias"); };
            // The 100 × 100 rendition fails; the 300 × 300 one answers.
            e.covers.downloadData = [&](const std::string& url, double timeout) -> std::optional<std::string> {
                downloads.add(url + " " + std::to_string(timeout).substr(0, 3));
                if (url.find("300x300bb") == std::string::npos) return std::nullopt;
                return jpeg;
            };
        });
        rig.apply(rig.reading("Song", kMusic));
        if (c.published) {
            EXPECT_TRUE(testing::eventually([&] { return rig.adapter->artworkPNG().has_value(); }));
            EXPECT_EQ(downloads.all(), (std::vector<std::string>{"https://art.example/a/100x100bb.jpg 0.9",
                                                                 "https://art.example/a/300x300bb.jpg 1.4"}));
        } else {
            EXPECT_TRUE(testing::eventually([&] { return searches.size() == c.searched.size(); }));
            rig.adapter->sync([] {});
            EXPECT_FALSE(rig.adapter->artworkPNG());
        }
        EXPECT_EQ(searches.all(), c.searched);
    }
}

TEST(MacMediaAdapterQQ, StoreCoverThrottlesAndGates) {
    struct Case {
        const char* name;
        double duration;       // of the track
        double apart;          // seconds between two readings of it
        std::size_t searches;  // catalog searches started
    };
    const Case cases[] = {
        {"5 s apart: one search", 200, 5, 1}, {"9 s apart: two", 200, 9, 2}, {"exactly 8 s: one", 200, 8, 1},
        {"25 s track: none", 25, 9, 0},       {"unknown length", 0, 9, 2},   {"31 s track", 31, 9, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Calls searches;
        // No alias and no hit: one search is one call to the catalog per step.
        Rig rig([&](MacMediaAdapter::Environment& e) {
            e.covers.catalogHits = [&](const std::string& title, auto&&...) {
                searches.add(title);
                return std::vector<lyrics::CatalogHit>();
            };
        });
        Snapshot s = rig.reading("Song", kMusic);
        s.duration = c.duration;
        rig.apply(s);
        EXPECT_TRUE(testing::eventually([&] { return searches.size() >= 2 * std::min<std::size_t>(c.searches, 1); }));
        rig.advance(c.apart);
        s.capturedAt = rig.now();
        rig.apply(s);
        EXPECT_TRUE(testing::eventually([&] { return searches.size() >= 2 * c.searches; }));
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(searches.size(), 2 * c.searches);
    }
}

TEST(MacMediaAdapterQQ, ALateStoreCoverIsNotPublished) {
    const std::string jpeg = fixture("cover.jpg");
    struct Case {
        const char* name;
        std::function<void(Rig&)> meanwhile;
    };
    const Case cases[] = {
        {"another track", [](Rig& rig) { rig.apply(rig.reading("Next", kMusic)); }},
        {"artwork arrived",
         [&](Rig& rig) {
             Snapshot s = rig.reading("Song", kMusic);
             s.artwork = fixture("cover.png");
             rig.apply(s);
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        std::mutex mutex;
        std::condition_variable released;
        bool release = false;
        Calls downloads;
        {
            Rig rig([&](MacMediaAdapter::Environment& e) {
                e.covers.catalogHits = [](const std::string& title, auto&&...) {
                    std::vector<lyrics::CatalogHit> hits;
                    if (title == "Song") hits.push_back(hit("https://art.example/song.jpg"));
                    return hits;
                };
                e.covers.downloadData = [&](const std::string& url, double) -> std::optional<std::string> {
                    downloads.add(url);
                    std::unique_lock lock(mutex);
                    released.wait(lock, [&] { return release; });
                    return jpeg;
                };
            });
            rig.apply(rig.reading("Song", kMusic));
            ASSERT_TRUE(testing::eventually([&] { return downloads.size() == 1; }));
            c.meanwhile(rig);
            const auto shown = rig.adapter->artworkPNG();
            {
                std::lock_guard lock(mutex);
                release = true;
            }
            released.notify_all();
            std::this_thread::sleep_for(100ms);
            rig.adapter->sync([] {});
            EXPECT_EQ(rig.adapter->artworkPNG(), shown);
        }
    }
}

TEST(MacMediaAdapterQQ, QQCoverThrottlesPerAlbumAndPerTrack) {
    struct Case {
        const char* name;
        bool albumKnown;  // album route (2 s per album id) or title route (15 s per track)
        double apart;
        std::size_t requests;
    };
    const Case cases[] = {
        {"album 1.5 s apart", true, 1.5, 1},
        {"album 2.0 s apart", true, 2.0, 2},
        {"track 15.0 s apart", false, 15.0, 1},
        {"track 15.1 s apart", false, 15.1, 2},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Calls requests;
        Rig rig([&](MacMediaAdapter::Environment& e) {
            e.covers.qqCover = [&](const std::string& id) {
                requests.add(id);
                return std::nullopt;
            };
            e.covers.findQQTrack = [&](const std::string& title, const OptionalText&, double) {
                requests.add(title);
                return std::nullopt;
            };
        });
        rig.qqRuns();
        Snapshot s = rig.qq("Song");
        if (c.albumKnown) s.albumMid = "alb1";
        rig.apply(s);
        EXPECT_TRUE(testing::eventually([&] { return requests.size() == 1; }));
        rig.advance(c.apart);
        s.capturedAt = rig.now();
        rig.apply(s);
        EXPECT_TRUE(testing::eventually([&] { return requests.size() >= c.requests; }));
        std::this_thread::sleep_for(50ms);
        EXPECT_EQ(requests.size(), c.requests);
    }
}

TEST(MacMediaAdapterQQ, QQCoverComesFromTheImageServerAndTellsTablets) {
    std::string error;
    auto stub = testing::LyricsStub::start(error);
    ASSERT_TRUE(stub) << error;
    // The song's album id comes from the song details; the cover of its
    // first piece from the image server.
    ASSERT_TRUE(
        stub->setRoutes(nlohmann::json::array({{{"path", "/cgi-bin/musicu.fcg"}, {"file", "qq_song_detail.json"}},
                                               {{"path", "/music/photo_new/T002R300x300M000003RMaRI1iFoYd.jpg"},
                                                {"file", "cover.png"},
                                                {"contentType", "image/png"}}})));
    testing::TempDirectory folder;
    testing::ScopedEnvironment environment;
    environment.set(lyrics::LyricsEndpoints::kVariable, stub->endpointsJSON());
    environment.set("VELTRANE_INFO_FILE", (folder.path() / "Info.json").string());
    std::ofstream(folder.path() / "Info.json") << "{}";

    const auto real = [](MacMediaAdapter::Environment& e) {
        e.covers.qqCover = nullptr;
        e.covers.qqAlbumMid = nullptr;
    };
    const std::string coverPath = "/music/photo_new/T002R300x300M000003RMaRI1iFoYd.jpg";
    const auto coverRequests = [&] {
        const auto all = stub->requests();
        return std::count_if(all.begin(), all.end(), [&](const std::string& r) { return r.rfind(coverPath, 0) == 0; });
    };
    // First from the server (unless an earlier run in this process cached
    // it), then from the cache: a cover stored from the album lookup's answer
    // reaches tablets either way.
    for (const int run : {1, 2}) {
        SCOPED_TRACE(run);
        Rig rig(real);
        rig.qqRuns();
        Snapshot s = rig.qq("Qing Tian");
        s.songMid = "005ddd";
        rig.apply(s);
        const int changes = rig.changes();
        ASSERT_TRUE(testing::eventually([&] { return rig.adapter->artworkPNG().has_value(); }, 10s));
        EXPECT_EQ(rig.adapter->artworkPNG()->substr(0, 2), "\xFF\xD8");
        EXPECT_TRUE(testing::eventually([&] { return rig.changes() > changes; }));
        EXPECT_LE(coverRequests(), 1);
    }

    Rig rig(real);
    rig.qqRuns();
    Snapshot s = rig.qq("Null Album");
    s.albumMid = "$null";
    const auto before = stub->requests().size();
    rig.apply(s);
    std::this_thread::sleep_for(200ms);
    rig.adapter->sync([] {});
    EXPECT_FALSE(rig.adapter->artworkPNG());
    EXPECT_EQ(stub->requests().size(), before) << "no id, no request";
}

// Answers every script with what the test set, and keeps what ran.
class UpcomingScripts final : public script::ScriptHost {
public:
    explicit UpcomingScripts(std::optional<std::string> reply) : reply_(std::move(reply)) {}
    script::ScriptOutcome run(std::string_view script, std::chrono::milliseconds) override {
        ran.add(std::string(script));
        return {reply_, reply_ ? "" : "failed"};
    }
    Calls ran;

private:
    std::optional<std::string> reply_;
};

TEST(MacMediaAdapterQQ, TheMusicAppsNextTrackIsLookedUpAhead) {
    struct Case {
        const char* name;
        std::optional<std::string> reply;
        std::optional<std::string> lookup;  // title|artist|album|duration|player
    };
    const Case cases[] = {
        {"next track", "Next\tBand\tRecord\t245.5", "Next|Band|Record|245.5|com.apple.Music"},
        {"blanks and a bad length", " Next \t \t\t4:05", "Next|-|-|0|com.apple.Music"},
        {"last track", "", std::nullopt},
        {"three fields", "Next\tBand\tRecord", std::nullopt},
        {"no title", " \tBand\tRecord\t200", std::nullopt},
        {"script failed", std::nullopt, std::nullopt},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto scripts = std::make_shared<UpcomingScripts>(c.reply);
        Rig rig([&](MacMediaAdapter::Environment& e) { e.qq.scripts = scripts; });
        rig.apply(rig.reading("Song", kMusic));
        ASSERT_TRUE(testing::eventually([&] { return scripts->ran.size() == 1; }));
        const std::string script = scripts->ran.all().front();
        EXPECT_NE(script.find("tell current playlist"), std::string::npos);
        if (c.lookup) {
            EXPECT_TRUE(testing::eventually([&] { return rig.lyricsCalls.size() == 2; }));
        }
        std::this_thread::sleep_for(50ms);
        // Beside the current track's own lookup.
        auto calls = rig.lyricsCalls.all();
        std::erase(calls, "Song|Artist|-|0|com.apple.Music");
        EXPECT_EQ(calls, c.lookup ? std::vector<std::string>{*c.lookup} : std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace veltrane::deck
