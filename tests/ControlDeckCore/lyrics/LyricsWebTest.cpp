// The providers against the services' stand-in: what they send, in which
// order, with which headers, and what they make of each answer.
#include "ControlDeckCore/lyrics/LyricsWeb.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <thread>

#include "platform/bundle/BundleInfo.h"
#include "tests/support/LyricsStub.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempDirectory.h"

namespace veltrane::lyrics {
namespace {

using nlohmann::json;
using testing::LyricsStub;

constexpr const char* kLyricPath = "/lyric/fcgi-bin/fcg_query_lyric_new.fcg";

class LyricsWebTest : public ::testing::Test {
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
        environment_.set(LyricsEndpoints::kVariable, stub_->endpointsJSON());
        environment_.set(bundle::BundleInfo::kFileVariable, (folder_.path() / "Info.json").string());
    }

    // The fixture files' routes with `extra` rules tried first.
    static void routes(json extra) {
        std::ifstream file(std::string(VELTRANE_SOURCE_DIR) + "/tools/lyrics-stub/fixtures/routes.json");
        json all = std::move(extra);
        for (auto& rule : json::parse(file)) all.push_back(std::move(rule));
        ASSERT_TRUE(stub_->setRoutes(all));
    }
    static void onlyRoutes(json rules) { ASSERT_TRUE(stub_->setRoutes(std::move(rules))); }

    void forbidOutsideLookups() {
        std::ofstream(folder_.path() / "Info.json") << R"({"VeltraneLicensedMusicContent":true})";
    }

    static std::string header(const json& entry, const std::string& name) {
        for (const auto& h : entry["headers"]) {
            if (h[0] == name) return h[1];
        }
        return "<none>";
    }

    static inline LyricsStub* stub_ = nullptr;
    testing::TempDirectory folder_;
    testing::ScopedEnvironment environment_;
};

std::vector<std::string> texts(const LyricsSnapshot& s) {
    std::vector<std::string> out;
    for (const auto& line : s.lines) out.push_back(line.text);
    return out;
}

TEST_F(LyricsWebTest, LrclibExactLookupSendsItsItemsInOrderWithTheSessionHeaders) {
    struct Case {
        OptionalText artist, album;
        double duration;
        std::string request;
    };
    const Case cases[] = {
        {"Alpha", "Demo", 215.5, "/api/get?track_name=Track One&artist_name=Alpha&album_name=Demo&duration=216"},
        {"Alpha", std::nullopt, 215.4, "/api/get?track_name=Track One&artist_name=Alpha&duration=215"},
        {"", "", 1.0, "/api/get?track_name=Track One"},
        {std::nullopt, "Demo", 0, "/api/get?track_name=Track One&album_name=Demo"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.request);
        routes(json::array());
        const auto snapshot = LyricsLookup::lrclib("Track One", c.artist, c.album, c.duration);
        ASSERT_TRUE(snapshot);
        EXPECT_EQ(snapshot->provider, "lrclib");
        EXPECT_TRUE(snapshot->synced);
        EXPECT_EQ(texts(*snapshot), (std::vector<std::string>{"First line", "Second line", "Third line"}));
        EXPECT_EQ(snapshot->plain, "First line\nSecond line\nThird line");
        const auto log = stub_->log();
        ASSERT_EQ(stub_->requests(), std::vector<std::string>{c.request}) << "no search after a hit";
        EXPECT_EQ(header(log[0], "User-Agent"), LyricsLookup::kUserAgent);
        EXPECT_EQ(std::string(LyricsLookup::kUserAgent).size(), 117u);
        EXPECT_EQ(header(log[0], "Accept"), "application/json,text/javascript,*/*;q=0.8");
        EXPECT_EQ(header(log[0], "Referer"), "<none>");
    }
}

TEST_F(LyricsWebTest, LrclibSearchesOnlyWhenTheExactLookupGivesNothing) {
    // A 404 that carries a record is still an answer.
    routes(json::array({{{"path", "/api/get"}, {"status", 404}, {"file", "lrclib_plain_only.json"}}}));
    auto snapshot = LyricsLookup::lrclib("Track One", "Alpha", std::nullopt, 215);
    ASSERT_TRUE(snapshot);
    EXPECT_FALSE(snapshot->synced);
    EXPECT_EQ(snapshot->plain, "Only plain words\nno times");
    EXPECT_EQ(stub_->requests().size(), 1u);

    // Not found, then blank lyrics: both fall through to the search, whose
    // closest record with the same title and artist key wins (the earlier of
    // two equally close ones).
    for (const char* file : {"lrclib_not_found.json", "lrclib_blank.json"}) {
        SCOPED_TRACE(file);
        routes(json::array({{{"path", "/api/get"}, {"status", 404}, {"file", file}}}));
        snapshot = LyricsLookup::lrclib("Track One", "Alpha", std::nullopt, 215);
        ASSERT_TRUE(snapshot);
        EXPECT_EQ(texts(*snapshot), std::vector<std::string>{"From the search"});
        EXPECT_EQ(stub_->requests(),
                  (std::vector<std::string>{"/api/get?track_name=Track One&artist_name=Alpha&duration=215",
                                            "/api/search?q=Alpha Track One"}));
    }

    onlyRoutes(json::array());
    EXPECT_FALSE(LyricsLookup::lrclib("Track One", "Alpha", std::nullopt, 215));
    EXPECT_EQ(stub_->requests().size(), 2u) << "no aliases, no third request";
}

TEST_F(LyricsWebTest, QueryTextArrivesUnchanged) {
    const std::string title = "C++ & Co #1 = 100% ? 周 🎵";
    routes(json::array());
    LyricsLookup::lrclib(title, "A+B", std::nullopt, 0);
    const auto log = stub_->log();
    ASSERT_GE(log.size(), 1u);
    EXPECT_EQ(log[0]["query"][0][1], title);
    EXPECT_EQ(log[0]["query"][1][1], "A+B");
    EXPECT_NE(log[0]["target"].get<std::string>().find("C%2B%2B%20%26%20Co%20%231%20%3D%20100%25%20%3F%20%E5%91%A8"),
              std::string::npos);
}

TEST_F(LyricsWebTest, QQLyricAnswersInEveryWrapping) {
    const std::vector<std::string> synced{"Rain & shine", "Don't <stop>", "\"Blue\" sky"};
    struct Case {
        std::string mid;
        std::optional<bool> synced;  // none: no snapshot
    };
    const Case cases[] = {{"plain", true}, {"base64", true}, {"callback", true},
                          {"jsonp", true}, {"tags", false},  {"blocked", std::nullopt}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.mid);
        routes(json::array());
        const auto snapshot = LyricsLookup::qqLyric(" " + c.mid + "\n");
        ASSERT_EQ(snapshot.has_value(), c.synced.has_value());
        const auto log = stub_->log();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_EQ(log[0]["path"], kLyricPath);
        EXPECT_EQ(log[0]["query"],
                  json::parse(R"([["format","json"],["nobase64","1"],["songmid",")" + c.mid + R"("]])"));
        EXPECT_EQ(header(log[0], "Referer"), stub_->origin());
        if (!snapshot) continue;
        EXPECT_EQ(snapshot->provider, "qqmusic");
        EXPECT_EQ(snapshot->synced, *c.synced);
        if (*c.synced) {
            EXPECT_EQ(texts(*snapshot), synced);
        } else {
            EXPECT_EQ(snapshot->plain, LyricsLookup::kInstrumentalNotice);
        }
    }
    routes(json::array());
    EXPECT_FALSE(LyricsLookup::qqLyric("  "));
    EXPECT_TRUE(stub_->log().empty());
}

TEST_F(LyricsWebTest, GetJSONDecodesOnlyObjectsAndArrays) {
    struct Case {
        json rule;
        std::optional<json> expected;
    };
    const Case cases[] = {
        {{{"body", R"({"a":1})"}, {"status", 404}}, json{{"a", 1}}},
        {{{"body", "  callback({\"a\":[1]})\n"}}, json{{"a", json::array({1})}}},
        {{{"body", "x MusicJsonCallback({\"b\":2});"}}, json{{"b", 2}}},
        {{{"body", "[1,2]"}, {"gzip", true}}, json::array({1, 2})},
        {{{"body", ""}}, std::nullopt},
        {{{"body", "<html>busy</html>"}}, std::nullopt},
        {{{"body", "42"}}, std::nullopt},
        {{{"body", "callback(})"}}, std::nullopt},
        {{{"body", "[]"}, {"pad", (4 << 20) + 1}}, std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.rule.dump().substr(0, 80));
        json rule = c.rule;
        rule["path"] = "/any";
        onlyRoutes(json::array({rule}));
        const auto value = LyricsLookup::getJSON(stub_->origin() + "/any", std::nullopt, 2.2);
        ASSERT_EQ(value.has_value(), c.expected.has_value());
        if (value) {
            EXPECT_EQ(*value, *c.expected);
        }
    }
    EXPECT_FALSE(LyricsLookup::getJSON(std::nullopt, std::nullopt, 2.2));
}

TEST_F(LyricsWebTest, FullQQSearchMissSendsEveryQueryInOrder) {
    onlyRoutes(json::array());
    EXPECT_FALSE(LyricsLookup::findQQTrack("Song (Live)", "Artist", 200));
    const std::string client = "?format=json&p=1&n=5&w=Artist Song";
    EXPECT_EQ(stub_->requests(), (std::vector<std::string>{
                                     "/soso/fcgi-bin/search_for_qq_cp" + client,
                                     "/soso/fcgi-bin/client_search_cp" + client,
                                     "/splcloud/fcgi-bin/smartbox_new.fcg?key=Artist Song&format=json",
                                     "/splcloud/fcgi-bin/smartbox_new.fcg?key=Song&format=json",
                                     "/splcloud/fcgi-bin/smartbox_new.fcg?key=Song (Live)&format=json",
                                     "/splcloud/fcgi-bin/smartbox_new.fcg?key=Artist Song (Live)&format=json",
                                 }));
    for (const auto& entry : stub_->log()) EXPECT_EQ(header(entry, "Referer"), stub_->origin());
}

TEST_F(LyricsWebTest, QQTrackFromTheClientSearchOrTheSmartboxWithItsAlbum) {
    routes(json::array());
    auto track = LyricsLookup::findQQTrack("Qing Tian", "Zhou", 271);
    ASSERT_TRUE(track);
    EXPECT_EQ(*track, (LibraryTrack{"Qing Tian", "Zhou", "Ye Hui Mei", 270, "003bbb", "000MkMni19ClKG"}));
    EXPECT_EQ(stub_->requests().size(), 1u);

    // No client rows: the smartbox finds the song, whose album comes from
    // the song detail.
    routes(
        json::array({{{"path", "/soso/fcgi-bin/search_for_qq_cp"}, {"status", 404}},
                     {{"path", "/soso/fcgi-bin/client_search_cp"}, {"body", "{\"data\":{\"song\":{\"list\":[]}}}"}}}));
    track = LyricsLookup::findQQTrack("Qing Tian", "Zhou", 271);
    ASSERT_TRUE(track);
    EXPECT_EQ(*track, (LibraryTrack{"Qing Tian", "Zhou", std::nullopt, 271, "005ddd", "003RMaRI1iFoYd"}));
    const auto requests = stub_->requests();
    ASSERT_EQ(requests.size(), 4u);
    EXPECT_EQ(
        requests[3],
        "/cgi-bin/musicu.fcg?data="
        R"({"songinfo":{"module":"music.pf_song_detail_svr","method":"get_song_detail_yqq","param":{"song_mid":"005ddd"}}})");
}

TEST_F(LyricsWebTest, ContentPolicyAndUnsendableIdsAskNothing) {
    routes(json::array());
    EXPECT_FALSE(LyricsLookup::qqAlbumMid("00-1"));
    EXPECT_FALSE(LyricsLookup::qqAlbumMid(" "));
    EXPECT_TRUE(stub_->log().empty());
    EXPECT_EQ(LyricsLookup::qqAlbumMid(" 005ddd "), "003RMaRI1iFoYd");

    forbidOutsideLookups();
    routes(json::array());
    EXPECT_FALSE(LyricsLookup::qqLyric("plain"));
    EXPECT_FALSE(LyricsLookup::findQQTrack("Qing Tian", "Zhou", 271));
    EXPECT_FALSE(LyricsLookup::qqAlbumMid("005ddd"));
    EXPECT_TRUE(stub_->log().empty());
}

TEST_F(LyricsWebTest, CatalogHitsAcrossCountriesOnceEachBestFirst) {
    routes(json::array());
    const auto hits = LyricsLookup::catalogHits("Track One", "Alpha", 215, "Demo", {"tw", std::nullopt});
    EXPECT_EQ(stub_->requests(),
              (std::vector<std::string>{"/search?term=Alpha Track One&media=music&entity=song&limit=8&country=tw",
                                        "/search?term=Alpha Track One&media=music&entity=song&limit=8"}));
    ASSERT_EQ(hits.size(), 2u);
    EXPECT_EQ(hits[0].title, "Track One");
    EXPECT_EQ(hits[0].album, "Demo");
    EXPECT_DOUBLE_EQ(hits[0].duration, 215.3);
    EXPECT_EQ(hits[1].artist, "Alpha & Beta");

    routes(json::array());
    EXPECT_TRUE(LyricsLookup::catalogHits("", std::nullopt, 215, std::nullopt, {"tw"}).empty());
    EXPECT_TRUE(stub_->log().empty());
}

TEST_F(LyricsWebTest, CoversAreKeptUnderBothKeysAndOnlyFromTheWeb) {
    routes(json::array({{{"path", "/image/to-file"}, {"status", 302}, {"location", "file:///etc/hostname"}}}));
    const CatalogHit hit{"Track One (Remix)", "Alpha & Beta", std::nullopt, 216, stub_->origin() + "/image/cover.png"};
    LyricsLookup::rememberCover(hit, "Track One", std::nullopt);
    const auto cover = LyricsLookup::cachedCover("Track One", std::nullopt);
    ASSERT_TRUE(cover);
    EXPECT_EQ(cover->substr(0, 2), "\xFF\xD8") << "kept in display form";
    EXPECT_EQ(LyricsLookup::cachedCover("Track One (Remix)", "Alpha & Beta"), cover);
    EXPECT_FALSE(LyricsLookup::cachedCover("Track One", "Alpha"));

    for (const std::string& url : std::vector<std::string>{"file:///etc/hostname", stub_->origin() + "/image/to-file",
                                                           stub_->origin() + "/missing"}) {
        SCOPED_TRACE(url);
        LyricsLookup::rememberCover({"T", "A", std::nullopt, 1, url}, "Other", "Someone");
        EXPECT_FALSE(LyricsLookup::cachedCover("Other", "Someone"));
    }
}

TEST_F(LyricsWebTest, DownloadsAreBoundedBySize) {
    onlyRoutes(json::array({{{"path", "/big"}, {"pad", LyricsLookup::kMaxDownloadBytes + 1}},
                            {{"path", "/fits"}, {"body", "x"}, {"pad", 1000}},
                            {{"path", "/empty"}, {"body", ""}}}));
    EXPECT_FALSE(LyricsLookup::downloadData(stub_->origin() + "/big", 5));
    EXPECT_EQ(LyricsLookup::downloadData(stub_->origin() + "/fits", 5)->size(), 1000u);
    EXPECT_FALSE(LyricsLookup::downloadData(stub_->origin() + "/empty", 5));
}

TEST_F(LyricsWebTest, ConcurrentLookupsShareTheSession) {
    routes(json::array());
    std::vector<std::thread> threads;
    std::atomic<int> found{0};
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 5; ++i) {
                if (LyricsLookup::lrclib("Track One", "Alpha", "Demo", 215)) ++found;
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(found, 40);
    EXPECT_EQ(stub_->log().size(), 40u);
}

// Time-outs: a listener that never answers. The bounds below only tell the
// request's own limit from the caller's; they leave the machine ample room.
TEST(LyricsBlackHoleTest, RequestsGiveUpAtTheirOwnLimit) {
    std::string error;
    auto hole = LyricsStub::start(error, LyricsStub::Mode::blackHole);
    ASSERT_TRUE(hole) << error;
    testing::ScopedVariable endpoints(LyricsEndpoints::kVariable, hole->endpointsJSON().c_str());
    using Clock = std::chrono::steady_clock;
    auto timed = [](auto&& call) {
        const auto start = Clock::now();
        call();
        return std::chrono::duration<double>(Clock::now() - start).count();
    };
    const std::string url = hole->origin() + "/api/get";
    double seconds = timed([&] { EXPECT_FALSE(LyricsLookup::getJSON(url, std::nullopt, 5.0)); });
    EXPECT_GE(seconds, 2.15);
    EXPECT_LT(seconds, 4.5);
    seconds = timed([&] { EXPECT_FALSE(LyricsLookup::getJSON(url, std::nullopt, 1.5)); });
    EXPECT_GE(seconds, 1.45);
    EXPECT_LT(seconds, 2.15);
    seconds = timed([&] { EXPECT_FALSE(LyricsLookup::downloadData(url, 0.8)); });
    EXPECT_GE(seconds, 0.75);
    EXPECT_LT(seconds, 1.45);
    seconds = timed([&] { EXPECT_FALSE(LyricsLookup::lrclib("Song", "Artist", std::nullopt, 200)); });
    EXPECT_GE(seconds, 4.35);
    EXPECT_LT(seconds, 8.0);
}

}  // namespace
}  // namespace veltrane::lyrics
