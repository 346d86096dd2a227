// The lyrics front against the services' stand-in: what is asked in which
// order for each player, what every caller receives, the cache and the
// coalescing of concurrent requests, and the race's timing rules.
#include "ControlDeckCore/lyrics/LyricsService.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <fstream>
#include <set>
#include <thread>

#include "ControlDeckCore/lyrics/LyricsWeb.h"
#include "tests/support/Eventually.h"
#include "tests/support/LyricsStub.h"
#include "tests/support/ScopedEnvironment.h"

namespace veltrane::lyrics {
namespace {

using nlohmann::json;
using testing::LyricsStub;
using Clock = std::chrono::steady_clock;

constexpr const char* kLyricPath = "/lyric/fcgi-bin/fcg_query_lyric_new.fcg";
constexpr const char* kMusicApp = "com.apple.Music";
constexpr const char* kQQApp = "com.tencent.QQMusicMac";
constexpr const char* kOtherApp = "org.example.Player";

// Every answer one caller receives, with its time since the call.
class Answers {
public:
    LyricsCompletion completion() {
        return [this](const OptionalSnapshot& s) {
            std::lock_guard lock(mutex_);
            got_.push_back({std::chrono::duration<double, std::milli>(Clock::now() - start_).count(), s});
            changed_.notify_all();
        };
    }
    bool waitFor(std::size_t n, std::chrono::seconds patience = std::chrono::seconds(60)) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, patience, [&] { return got_.size() >= n; });
    }
    std::vector<std::pair<double, OptionalSnapshot>> all() {
        std::lock_guard lock(mutex_);
        return got_;
    }
    OptionalSnapshot last() {
        std::lock_guard lock(mutex_);
        return got_.empty() ? std::nullopt : got_.back().second;
    }
    std::size_t count() {
        std::lock_guard lock(mutex_);
        return got_.size();
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    const Clock::time_point start_ = Clock::now();
    std::vector<std::pair<double, OptionalSnapshot>> got_;
};

LyricsSnapshot synced(const std::string& provider, const std::string& line) {
    return {provider, true, {{1.0, line}}, line};
}
LyricsSnapshot plain(const std::string& provider, const std::string& text) { return {provider, false, {}, text}; }

std::string firstText(const OptionalSnapshot& s) {
    if (!s) return "<nothing>";
    if (!s->lines.empty()) return s->lines.front().text;
    return s->plain.value_or("");
}

// Routes: each service's answer for the track "Track One" by "Alpha".
json lrclibRecord(bool timed, const std::string& text) {
    json record{{"trackName", "Track One"}, {"artistName", "Alpha"}, {"duration", 215.0}, {"plainLyrics", text}};
    record["syncedLyrics"] = timed ? json("[00:01.00]" + text) : json(nullptr);
    return {{"path", "/api/get"}, {"json", record}};
}
json qqLyric(const std::string& mid, bool timed, const std::string& text) {
    return {{"path", kLyricPath},
            {"query", {{"songmid", mid}}},
            {"json", {{"code", 0}, {"lyric", timed ? "[00:01.00]" + text : text}}}};
}
json qqSearchFinds(const std::string& mid) {
    json row{{"songmid", mid},
             {"songname", "Track One"},
             {"singer", {{{"name", "Alpha"}}}},
             {"interval", 215},
             {"albummid", "a1"}};
    return {{"path", "/soso/fcgi-bin/search_for_qq_cp"},
            {"json", {{"code", 0}, {"data", {{"song", {{"list", {row}}}}}}}}};
}

// A request's provider, for comparing the order of providers asked.
std::string providerOf(const json& entry) {
    const std::string path = entry["path"];
    if (path == "/api/get" || path == "/api/search") return "lrclib";
    if (path == kLyricPath) {
        for (const auto& item : entry["query"])
            if (item[0] == "songmid") return "lyric:" + item[1].get<std::string>();
    }
    if (path.rfind("/soso/", 0) == 0 || path.rfind("/splcloud/", 0) == 0) return "qqsearch";
    if (path == "/search") return "catalog";
    if (path.rfind("/image/", 0) == 0) return "cover";
    return path;
}

class LyricsServiceTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        std::string error;
        stub_ = LyricsStub::start(error).release();
        ASSERT_TRUE(stub_) << error;
    }
    static void TearDownTestSuite() {
        delete stub_;
        stub_ = nullptr;
    }

    void SetUp() override {
        ASSERT_TRUE(stub_);
        ASSERT_TRUE(stub_->setRoutes(json::array()));
        previous_ = LyricsService::install(nullptr);
        fresh();
    }

    // A new service, installed; the world it reads is this fixture's.
    std::shared_ptr<LyricsService> fresh() {
        LyricsSources sources;
        sources.externalLookupsAllowed = [this] { return allowed_.load(); };
        sources.endpoints = [origin = stub_->origin()] {
            LyricsEndpoints e;
            e.lrclib = e.qqSearch = e.qqApi = e.qqSite = e.catalog = e.qqImage = origin;
            return e;
        };
        sources.musicLyrics = [this](std::string_view, const OptionalText&, const OptionalText&) {
            ++musicCalls_;
            std::lock_guard lock(musicMutex_);
            return musicAnswer_;
        };
        service_ = LyricsService::create(std::move(sources));
        LyricsService::install(service_);
        return service_;
    }

    void TearDown() override {
        LyricsService::install(previous_);
        // Racers that run on after their race still hold the service: let
        // them end before the next test's routes and log.
        EXPECT_TRUE(testing::eventually([&] { return service_.use_count() == 1; }, std::chrono::seconds(90)));
    }

    void music(OptionalSnapshot answer) {
        std::lock_guard lock(musicMutex_);
        musicAnswer_ = std::move(answer);
    }
    static void routes(json rules) { ASSERT_TRUE(stub_->setRoutes(std::move(rules))); }

    // The providers asked, in order, runs of one provider counted once.
    static std::vector<std::string> asked() {
        std::vector<std::string> out;
        for (const auto& entry : stub_->log()) {
            const auto name = providerOf(entry);
            if (out.empty() || out.back() != name) out.push_back(name);
        }
        return out;
    }

    // "Track One" by "Alpha", 215 s, on `album`.
    void fetchTrack(Answers& answers, const OptionalText& bundleId, const OptionalText& songMid = std::nullopt,
                    const std::string& album = "Demo") {
        LyricsLookup::fetch("Track One", "Alpha", album, 215, bundleId, songMid, nullptr, answers.completion());
    }

    static inline LyricsStub* stub_ = nullptr;
    std::atomic<bool> allowed_{true};
    std::atomic<int> musicCalls_{0};
    std::mutex musicMutex_;
    OptionalSnapshot musicAnswer_;
    std::shared_ptr<LyricsService> service_, previous_;
};

TEST_F(LyricsServiceTest, CacheKeysFollowTheTracksIdentity) {
    struct Case {
        const char* name;
        OptionalText artist, album;
        double duration;
        OptionalText bundleId, songMid;
        std::vector<std::string> keys;
    };
    const Case cases[] = {
        {"the five fields",
         "Beta & Alpha",
         "  Demo \n",
         212.4,
         " com.apple.Music ",
         std::nullopt,
         {"Track One|alpha/beta|Demo|210|com.apple.Music"}},
        {"halves round away from zero", "A", std::nullopt, 212.5, "app", std::nullopt, {"Track One|a||215|app"}},
        {"song id wins", "A", "Demo", 200, "app", "0039MnYb0qxYhV", {"qq:0039MnYb0qxYhV"}},
        {"empty song id counts as absent", "A", "Demo", 200, "app", "", {"Track One|a|Demo|200|app"}},
        {"unknown length, album known", std::nullopt, "Demo", 1.0, "app", std::nullopt, {"Track One||Demo||app"}},
        {"no source: no key", "A", "Demo", 200, " ", std::nullopt, {}},
        {"no album, unknown length: no key", "A", " ", 1.0, "app", std::nullopt, {}},
        {"not finite",
         "A",
         "Demo",
         std::numeric_limits<double>::infinity(),
         "app",
         std::nullopt,
         {"Track One|a|Demo||app"}},
        {"too large for an integer", "A", "Demo", 1e300, "app", std::nullopt, {"Track One|a|Demo||app"}},
        {"largest that fits", "A", "Demo", 9.2e18, "app", std::nullopt, {"Track One|a|Demo|9200000000000000000|app"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(LyricsLookup::cacheKeys("Track One", c.artist, c.album, c.duration, c.bundleId, c.songMid), c.keys);
    }
    EXPECT_EQ(LyricsLookup::fallbackKey("T", std::nullopt, std::nullopt, 0, std::nullopt), "T||||");
}

TEST_F(LyricsServiceTest, UsableMeansTimedLinesOrPlainWords) {
    EXPECT_FALSE(LyricsLookup::usable(std::nullopt));
    EXPECT_TRUE(LyricsLookup::usable(synced("x", "a")));
    EXPECT_TRUE(LyricsLookup::usable(LyricsSnapshot{"x", true, {}, "words"})) << "plain words count";
    EXPECT_FALSE(LyricsLookup::usable(LyricsSnapshot{"x", true, {}, " \n "}));
    EXPECT_FALSE(LyricsLookup::usable(plain("x", "\t")));
    EXPECT_FALSE(LyricsLookup::usable(LyricsLookup::emptyResult()));
}

// Each row of the provider order: what is asked, in which order, and what
// the callers receive.
TEST_F(LyricsServiceTest, ProvidersAreAskedInTheirOrderForEachPlayer) {
    struct Case {
        const char* name;
        const char* bundleId;
        OptionalText songMid;
        bool allowed;
        OptionalSnapshot music;  // the player's own lyrics
        json routes;
        std::vector<std::string> asked;  // exactly, for lookups without a race
        std::set<std::string> raced;     // at least these after `asked`, for lookups with one
        std::string provider, text;      // the final answer
        int musicCalls;
    };
    const json noQQ = json::array();
    const std::vector<Case> cases = {
        {"other: lrclib first",
         kOtherApp,
         std::nullopt,
         true,
         std::nullopt,
         {lrclibRecord(true, "L1"), qqSearchFinds("s1"), qqLyric("s1", true, "Q1")},
         {"lrclib"},
         {},
         "lrclib",
         "L1",
         0},
        {"other: song id first",
         kOtherApp,
         "m1",
         true,
         std::nullopt,
         {qqLyric("m1", false, "M words"), lrclibRecord(true, "L1")},
         {"lyric:m1"},
         {},
         "qqmusic",
         "M words",
         0},
        {"other: song id, lrclib, then the search",
         kOtherApp,
         "m1",
         true,
         std::nullopt,
         {qqSearchFinds("s1"), qqLyric("s1", true, "Q1")},
         {"lyric:m1", "lrclib", "qqsearch", "lyric:s1"},
         {},
         "qqmusic",
         "Q1",
         0},
        {"other: nothing found anywhere",
         kOtherApp,
         std::nullopt,
         true,
         std::nullopt,
         noQQ,
         {"lrclib", "qqsearch"},
         {},
         "none",
         "",
         0},
        {"QQ: the search before lrclib",
         kQQApp,
         std::nullopt,
         true,
         std::nullopt,
         {qqSearchFinds("s1"), qqLyric("s1", true, "Q1"), lrclibRecord(true, "L1")},
         {"qqsearch", "lyric:s1"},
         {},
         "qqmusic",
         "Q1",
         0},
        {"QQ: song id, search, lrclib",
         kQQApp,
         "m1",
         true,
         std::nullopt,
         {qqSearchFinds("s1"), lrclibRecord(true, "L1")},
         {"lyric:m1", "qqsearch", "lyric:s1", "lrclib"},
         {},
         "lrclib",
         "L1",
         0},
        {"QQ: everything, the search twice",
         kQQApp,
         std::nullopt,
         true,
         std::nullopt,
         {qqSearchFinds("s1")},
         {"qqsearch", "lyric:s1", "lrclib", "qqsearch", "lyric:s1"},
         {},
         "none",
         "",
         0},
        {"QQ flag by name",
         "QQMusic.helper",
         std::nullopt,
         true,
         std::nullopt,
         {qqSearchFinds("s1"), qqLyric("s1", true, "Q1")},
         {"qqsearch", "lyric:s1"},
         {},
         "qqmusic",
         "Q1",
         0},
        {"music: its own synced lyrics, nothing asked",
         kMusicApp,
         "m1",
         true,
         synced("music", "Own"),
         noQQ,
         {},
         {},
         "music",
         "Own",
         1},
        {"music: song id's synced lyric ends it",
         "Music",
         "m1",
         true,
         std::nullopt,
         {qqLyric("m1", true, "M1")},
         {"lyric:m1"},
         {},
         "qqmusic",
         "M1",
         1},
        {"music: its own plain words, the song id not asked",
         kMusicApp,
         "m1",
         true,
         plain("music", "Own words"),
         {qqLyric("m1", true, "M1"), lrclibRecord(true, "L1")},
         {},
         {"lrclib"},
         "lrclib",
         "L1",
         1},
        {"music: a synced race result wins",
         kMusicApp,
         std::nullopt,
         true,
         plain("music", "Own words"),
         {lrclibRecord(true, "L1")},
         {},
         {"lrclib"},
         "lrclib",
         "L1",
         1},
        {"music: QQ's synced lyric wins the race",
         kMusicApp,
         std::nullopt,
         true,
         std::nullopt,
         {qqSearchFinds("s1"), qqLyric("s1", true, "Q1")},
         {},
         {"qqsearch", "lyric:s1"},
         "qqmusic",
         "Q1",
         1},
        {"music: nothing anywhere, its own asked again",
         kMusicApp,
         std::nullopt,
         true,
         std::nullopt,
         noQQ,
         {},
         {"lrclib", "qqsearch", "catalog"},
         "none",
         "",
         2},
        {"music, policy off: plain lrclib beats nothing",
         kMusicApp,
         "m1",
         false,
         std::nullopt,
         {lrclibRecord(false, "L words"), qqLyric("m1", true, "M1")},
         {"lrclib"},
         {},
         "lrclib",
         "L words",
         1},
        {"music, policy off: synced lrclib beats its own plain",
         kMusicApp,
         std::nullopt,
         false,
         plain("music", "Own words"),
         {lrclibRecord(true, "L1")},
         {"lrclib"},
         {},
         "lrclib",
         "L1",
         1},
        {"music, policy off: its own plain beats plain lrclib",
         kMusicApp,
         std::nullopt,
         false,
         plain("music", "Own words"),
         {lrclibRecord(false, "L words")},
         {"lrclib"},
         {},
         "music",
         "Own words",
         1},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        fresh();
        routes(c.routes);
        allowed_ = c.allowed;
        music(c.music);
        musicCalls_ = 0;
        Answers answers;
        fetchTrack(answers, std::string(c.bundleId), c.songMid);
        ASSERT_TRUE(answers.waitFor(1));
        const auto answer = answers.last();
        ASSERT_TRUE(answer);
        EXPECT_EQ(answer->provider, c.provider);
        EXPECT_EQ(firstText(answer), c.text);
        EXPECT_EQ(answers.count(), 1u);
        EXPECT_EQ(musicCalls_.load(), c.musicCalls);
        if (c.raced.empty()) {
            EXPECT_EQ(asked(), c.asked);
        } else {
            const auto all = asked();
            const std::set<std::string> seen(all.begin(), all.end());
            for (const auto& name : c.raced) EXPECT_TRUE(seen.count(name)) << name;
            EXPECT_FALSE(seen.count("lyric:m1")) << "the song id is asked only after unusable lyrics of its own";
        }
        // The race's second racer may still be busy; its requests stay out
        // of the next row.
        EXPECT_TRUE(testing::eventually([&] { return service_.use_count() == 2; }, std::chrono::seconds(60)));
    }
}

TEST_F(LyricsServiceTest, APlainRaceResultArrivesEarlyAndThePlayersOwnStaysFinal) {
    routes({lrclibRecord(false, "Race words")});
    music(plain("music", "Own words"));
    Answers answers;
    fetchTrack(answers, std::string(kMusicApp));
    ASSERT_TRUE(answers.waitFor(2));
    const auto got = answers.all();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].second->provider, "lrclib");
    EXPECT_EQ(got[1].second->provider, "music");
    const auto keys = LyricsLookup::cacheKeys("Track One", "Alpha", "Demo", 215, std::string(kMusicApp), {});
    ASSERT_EQ(keys.size(), 1u);
    EXPECT_EQ(LyricsLookup::cachedLyrics(keys), plain("music", "Own words"));
}

TEST_F(LyricsServiceTest, TheRaceEndsAtTheFirstSyncedResult) {
    json slowQQ = qqLyric("s1", true, "Q late");
    slowQQ["delay"] = 2.0;
    routes({lrclibRecord(false, "At once"), qqSearchFinds("s1"), slowQQ});
    Answers answers;
    fetchTrack(answers, std::string(kMusicApp));
    ASSERT_TRUE(answers.waitFor(1));
    const auto got = answers.all();
    ASSERT_EQ(got.size(), 1u) << "nothing was usable before the race: no early answer";
    EXPECT_EQ(firstText(got[0].second), "Q late");
    EXPECT_TRUE(got[0].second->synced);
    EXPECT_GE(got[0].first, 2000.0) << "the plain result alone does not end the wait";
}

TEST_F(LyricsServiceTest, ARaceReturnsWhatItHasWhenTheWaitEnds) {
    // Each request answers within its 2.2 s bound, but a racer makes several.
    json slowQQ = json::array();
    for (const char* path :
         {"/soso/fcgi-bin/search_for_qq_cp", "/soso/fcgi-bin/client_search_cp", "/splcloud/fcgi-bin/smartbox_new.fcg"})
        slowQQ.push_back({{"path", path}, {"status", 404}, {"delay", 2.0}});
    json slowLrclib = {{"path", "/api/search"}, {"status", 404}, {"delay", 2.0}};
    struct Case {
        const char* name;
        json lrclib;
        OptionalSnapshot expected;
    };
    const Case cases[] = {
        {"both racers still running", {{"path", "/api/get"}, {"status", 404}, {"delay", 2.0}}, std::nullopt},
        {"one racer gave plain words", lrclibRecord(false, "lrclib plain"), plain("lrclib", "lrclib plain")},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        json rules = slowQQ;
        rules.push_back(c.lrclib);
        rules.push_back(slowLrclib);
        routes(rules);
        const auto start = Clock::now();
        const auto result = LyricsLookup::raceMusicLyrics("Track One", "Alpha", "Demo", 215);
        const double waited = std::chrono::duration<double>(Clock::now() - start).count();
        EXPECT_EQ(result.has_value(), c.expected.has_value());
        EXPECT_EQ(firstText(result), firstText(c.expected));
        EXPECT_GE(waited, 3.3);
        EXPECT_TRUE(testing::eventually([&] { return service_.use_count() == 2; }, std::chrono::seconds(60)));
    }
}

TEST_F(LyricsServiceTest, TheWantedTrackKeepsTheBestHitsCover) {
    std::ifstream routesFile(std::string(VELTRANE_SOURCE_DIR) + "/tools/lyrics-stub/fixtures/routes.json");
    json all = json::array();
    for (auto& rule : json::parse(routesFile)) {
        // The race must go through every catalog hit: QQ Music finds nothing.
        const std::string path = rule["path"];
        if (path == "/search" || path.rfind("/image/", 0) == 0) all.push_back(rule);
    }
    routes(all);
    Answers answers;
    fetchTrack(answers, std::string(kMusicApp));
    ASSERT_TRUE(answers.waitFor(1));
    EXPECT_EQ(answers.last()->provider, "none");
    std::ifstream jpeg(std::string(VELTRANE_SOURCE_DIR) + "/tools/lyrics-stub/fixtures/cover.jpg", std::ios::binary);
    const std::string best((std::istreambuf_iterator<char>(jpeg)), std::istreambuf_iterator<char>());
    EXPECT_EQ(LyricsLookup::cachedCover("Track One", "Alpha"), best);
    const auto remix = LyricsLookup::cachedCover("Track One (Remix)", "Alpha & Beta");
    ASSERT_TRUE(remix) << "a later hit keeps its cover under its own name";
    EXPECT_NE(*remix, best);
}

TEST_F(LyricsServiceTest, RefusedRequestsAnswerNothingAtOnceAndAskNobody) {
    struct Case {
        const char* name;
        std::string title;
        OptionalText bundleId;
        bool allowed;
        bool loader;
    };
    const Case cases[] = {
        {"not playing", "  Not Playing \n", kOtherApp, true, false},
        {"blank title", " \t ", kOtherApp, true, false},
        {"policy off, another player", "Track One", kOtherApp, false, false},
        {"policy off, no player", "Track One", std::nullopt, false, false},
        {"not playing, with a loader", "Not Playing", kOtherApp, true, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        allowed_ = c.allowed;
        bool answered = false;
        OptionalSnapshot answer = LyricsSnapshot{};
        LyricsLookup::fetch(c.title, "Alpha", "Demo", 215, c.bundleId, std::nullopt,
                            c.loader ? LyricsLoader([] { return synced("loader", "x"); }) : nullptr,
                            [&](const OptionalSnapshot& s) {
                                answered = true;
                                answer = s;
                            });
        EXPECT_TRUE(answered) << "on the caller's thread, before fetch returns";
        EXPECT_FALSE(answer);
        EXPECT_EQ(service_->counts().pendingKeys, 0u);
    }
    EXPECT_TRUE(stub_->log().empty());
}

TEST_F(LyricsServiceTest, LoadersRunWhateverThePolicyAndAskNoProvider) {
    routes({lrclibRecord(true, "L1")});
    allowed_ = false;
    const struct {
        const char* name;
        OptionalSnapshot loaded;
        std::string provider;
    } cases[] = {{"loaded", synced("loader", "Mine"), "loader"}, {"loader found nothing", std::nullopt, "none"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Answers answers;
        LyricsLookup::fetch(
            c.name, "Alpha", std::nullopt, 0, kOtherApp, std::nullopt, [&] { return c.loaded; }, answers.completion());
        ASSERT_TRUE(answers.waitFor(1));
        EXPECT_EQ(answers.last()->provider, c.provider);
    }
    EXPECT_TRUE(stub_->log().empty());
}

TEST_F(LyricsServiceTest, ASecondRequestIsAnsweredFromTheCacheWithoutARequest) {
    routes({lrclibRecord(true, "L1")});
    Answers first;
    fetchTrack(first, std::string(kOtherApp));
    ASSERT_TRUE(first.waitFor(1));
    ASSERT_EQ(stub_->log().size(), 1u);

    bool answered = false;
    LyricsLookup::fetch(" Track One ", "alpha", " Demo", 214, std::string(kOtherApp), std::nullopt, nullptr,
                        [&](const OptionalSnapshot& s) {
                            answered = true;
                            EXPECT_EQ(s, first.last());
                        });
    EXPECT_TRUE(answered) << "a hit answers on the caller's thread";
    EXPECT_EQ(stub_->log().size(), 1u);
}

TEST_F(LyricsServiceTest, ConcurrentRequestsForOneTrackShareOneLookupInCallOrder) {
    json slow = lrclibRecord(true, "L1");
    slow["delay"] = 0.5;
    routes({slow});
    std::mutex orderMutex;
    std::vector<int> order;
    Answers answers;
    for (int i = 0; i < 3; ++i) {
        auto record = answers.completion();
        LyricsLookup::fetch("Track One", "Alpha", "Demo", 215, std::string(kOtherApp), std::nullopt, nullptr,
                            [&, i, record](const OptionalSnapshot& s) {
                                {
                                    std::lock_guard lock(orderMutex);
                                    order.push_back(i);
                                }
                                record(s);
                            });
    }
    ASSERT_TRUE(answers.waitFor(3));
    EXPECT_EQ(order, (std::vector<int>{0, 1, 2}));
    for (const auto& [ms, s] : answers.all()) EXPECT_EQ(firstText(s), "L1");
    EXPECT_EQ(stub_->requests().size(), 1u);
    EXPECT_EQ(service_->counts().pendingKeys, 0u);
}

TEST_F(LyricsServiceTest, ATrackWithoutIdentityCoalescesButNeverHitsTheCache) {
    std::atomic<int> loads{0};
    std::atomic<bool> release{false};
    auto loader = [&]() -> OptionalSnapshot {
        ++loads;
        while (!release) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        return synced("loader", "L");
    };
    Answers answers;
    for (int i = 0; i < 2; ++i)
        LyricsLookup::fetch("Song", "A", std::nullopt, 0, std::nullopt, std::nullopt, loader, answers.completion());
    release = true;
    ASSERT_TRUE(answers.waitFor(2));
    EXPECT_EQ(loads.load(), 1) << "the fallback key joined the second request";
    const std::string fallback = LyricsLookup::fallbackKey("Song", "A", std::nullopt, 0, std::nullopt);
    EXPECT_EQ(LyricsLookup::cachedLyrics({fallback}), synced("loader", "L")) << "stored under the fallback key";

    LyricsLookup::fetch("Song", "A", std::nullopt, 0, std::nullopt, std::nullopt, loader, answers.completion());
    ASSERT_TRUE(answers.waitFor(3));
    EXPECT_EQ(loads.load(), 2) << "without a key the cache is not consulted";
}

TEST_F(LyricsServiceTest, WhatIsStoredAndWhatIsOnlyDelivered) {
    struct Case {
        const char* name;
        OptionalSnapshot loaded;
        LyricsSnapshot delivered;
        bool stored;
    };
    const Case cases[] = {
        {"synced", synced("loader", "L"), synced("loader", "L"), true},
        {"plain words", plain("loader", "words"), plain("loader", "words"), true},
        {"blank plain text is stored (untrimmed test)", plain("loader", " "), plain("loader", " "), true},
        {"no words at all", LyricsSnapshot{"loader", false, {}, ""}, LyricsSnapshot{"loader", false, {}, ""}, false},
        {"nothing found", std::nullopt, LyricsLookup::emptyResult(), false},
    };
    int round = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string title = "Stored " + std::to_string(++round);
        std::atomic<int> loads{0};
        auto loader = [&] {
            ++loads;
            return c.loaded;
        };
        Answers answers;
        for (int i = 0; i < 2; ++i) {
            LyricsLookup::fetch(title, "A", "Album", 100, std::string(kOtherApp), std::nullopt, loader,
                                answers.completion());
            ASSERT_TRUE(answers.waitFor(i + 1));
        }
        EXPECT_EQ(answers.all()[0].second, c.delivered);
        EXPECT_EQ(loads.load(), c.stored ? 1 : 2);
        const auto keys = LyricsLookup::cacheKeys(title, "A", "Album", 100, std::string(kOtherApp), std::nullopt);
        EXPECT_EQ(LyricsLookup::cachedLyrics(keys).has_value(), c.stored);
    }
}

TEST_F(LyricsServiceTest, AFullCacheMakesRoomForOneEntryAtATime) {
    std::vector<std::string> keys{"new"};
    for (int i = 0; i < 80; ++i) {
        keys.push_back("k" + std::to_string(i));
        service_->finish(synced("p", std::to_string(i)), {keys.back()});
    }
    ASSERT_EQ(service_->counts().cached, 80u);
    auto present = [&] {
        std::set<std::string> out;
        for (const auto& key : keys)
            if (service_->cachedLyrics({key})) out.insert(key);
        return out;
    };
    service_->finish(synced("p", "new"), {"new"});
    EXPECT_EQ(service_->counts().cached, 80u);
    EXPECT_EQ(present().size(), 80u) << "exactly one old entry left, the new one came";
    EXPECT_TRUE(service_->cachedLyrics({"new"}));

    // Writing a key already present still removes one entry first.
    const auto before = present();
    const std::string again = *before.begin();
    service_->finish(synced("p", "again"), {again});
    const auto after = present();
    EXPECT_EQ(firstText(service_->cachedLyrics({again})), "again");
    EXPECT_GE(after.size() + 1, before.size()) << "at most one entry left";
    if (after.size() == before.size()) {
        EXPECT_EQ(service_->counts().cached, 80u) << "the removed entry was the one rewritten";
    } else {
        EXPECT_EQ(service_->counts().cached, 79u);
    }
    EXPECT_EQ(service_->counts().upgraded, 81u) << "upgraded only grows";
}

TEST_F(LyricsServiceTest, ACompletionMayAskAgainWithoutDeadlock) {
    Answers answers;
    std::atomic<int> depth{0};
    LyricsCompletion again;
    again = [&](const OptionalSnapshot& s) {
        // From the lookup's thread, then from a cache hit on it.
        if (++depth < 3)
            LyricsLookup::fetch(
                "Again", "A", "Album", 100, std::string(kOtherApp), std::nullopt, [] { return synced("loader", "L"); },
                again);
        // Last: once all three are counted the test ends, and no call may
        // still reach this frame's locals.
        answers.completion()(s);
    };
    LyricsLookup::fetch(
        "Again", "A", "Album", 100, std::string(kOtherApp), std::nullopt, [] { return synced("loader", "L"); }, again);
    ASSERT_TRUE(answers.waitFor(3));
}

TEST_F(LyricsServiceTest, PrefetchLooksQueueTracksUpAsQQMusicDoes) {
    json slowSearch = qqSearchFinds("s1");
    slowSearch["delay"] = 0.3;
    routes({slowSearch, qqLyric("s1", true, "Q1"), lrclibRecord(true, "L1")});
    std::vector<LibraryTrack> tracks;
    for (const char* mid : {"p1", "p2", "p3"}) tracks.push_back({"Track One", "Alpha", "Demo", 215, mid, "a1"});
    LyricsLookup::prefetch(tracks);
    EXPECT_EQ(service_->counts().pendingKeys, 3u) << "three lookups started";
    ASSERT_TRUE(testing::eventually([&] { return service_->counts().cached == 3; }));
    // The QQ Music order: after each song id's lyric, the search, not lrclib.
    const auto log = stub_->log();
    std::multiset<std::string> names;
    for (const auto& entry : log) names.insert(providerOf(entry));
    EXPECT_EQ(names.count("lrclib"), 0u);
    for (const char* mid : {"p1", "p2", "p3"}) {
        EXPECT_EQ(names.count(std::string("lyric:") + mid), 1u);
        EXPECT_EQ(firstText(service_->cachedLyrics({std::string("qq:") + mid})), "Q1");
    }
}

// Found by ThreadSanitizer when broken: every entry point at once.
TEST_F(LyricsServiceTest, EveryEntryPointIsSafeFromManyThreads) {
    constexpr int kThreads = 6, kRounds = 60;
    std::atomic<int> answered{0}, asked{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < kRounds; ++i) {
                const std::string title = "Song " + std::to_string(i % 10);
                const std::string key = "qq:" + std::to_string(i % 7);
                switch ((t + i) % 5) {
                    case 0:
                        ++asked;
                        LyricsLookup::fetch(
                            title, "A", "Album", 100, std::string(kOtherApp), std::nullopt,
                            [] { return synced("loader", "L"); }, [&](const OptionalSnapshot&) { ++answered; });
                        break;
                    case 1: service_->finish(plain("direct", "w"), {key}); break;
                    case 2: service_->publishPartial(plain("early", "w"), {key, title}); break;
                    case 3: (void)LyricsLookup::cachedLyrics({key, title}); break;
                    default: (void)LyricsLookup::cachedCover(title, "A"); break;
                }
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_TRUE(testing::eventually([&] { return answered.load() == asked.load(); }));
    EXPECT_EQ(service_->counts().pendingKeys, 0u);
}

}  // namespace
}  // namespace veltrane::lyrics
