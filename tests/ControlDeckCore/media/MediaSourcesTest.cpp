// The readings of the media adapter's sources: watcher output cut into lines,
// a line's object, and the player backend's dictionary and fetch.
#include <gtest/gtest.h>

#include <cmath>
#include <random>

#include "ControlDeckCore/media/HelperLine.h"
#include "ControlDeckCore/media/MediaRemoteClient.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/mpris/FakeNowPlaying.h"

namespace veltrane::media {
namespace {

using namespace std::chrono_literals;
using Json = nlohmann::json;
namespace info = mpris::info;

constexpr double kNow = 700'000'000;  // seconds since the reference date

TEST(WatchBuffer, LinesComeWholeHoweverTheBytesAreSplit) {
    const std::string stream = "{\"a\":1}\n{\"b\":2}\n{\"c\":\"\xC3\xA9\"}\npartial";
    std::mt19937 random(7);
    for (int round = 0; round < 50; ++round) {
        WatchBuffer buffer;
        std::vector<std::string> lines;
        for (std::size_t at = 0; at < stream.size();) {
            const std::size_t n = std::min<std::size_t>(1 + random() % 9, stream.size() - at);
            for (auto& line : buffer.append(std::string_view(stream).substr(at, n))) lines.push_back(line);
            at += n;
        }
        EXPECT_EQ(lines, (std::vector<std::string>{"{\"a\":1}", "{\"b\":2}", "{\"c\":\"\xC3\xA9\"}"}));
        EXPECT_EQ(buffer.pendingBytes(), 7u);
    }
}

TEST(WatchBuffer, DropsBadUTF8LinesAndUnfinishedLinesPastTheBound) {
    WatchBuffer buffer;
    EXPECT_EQ(buffer.append("\xFF\xFE\n{}\n"), std::vector<std::string>{"{}"});

    // Exactly the bound is kept; one byte more drops the unfinished line, and
    // its rest then arrives as a line of its own.
    buffer.append(std::string(WatchBuffer::kMaxPendingBytes, 'x'));
    EXPECT_EQ(buffer.pendingBytes(), WatchBuffer::kMaxPendingBytes);
    buffer.append("y");
    EXPECT_EQ(buffer.pendingBytes(), 0u);
    EXPECT_EQ(buffer.append("tail\n{\"t\":1}\n"), (std::vector<std::string>{"tail", "{\"t\":1}"}));
}

TEST(HelperLine, Kinds) {
    struct Case {
        const char* name;
        std::string line;
        HelperLine::Kind kind;
    };
    using K = HelperLine::Kind;
    for (const Case& c : {
             Case{"empty with padding", "  {\"ok\":true,\"empty\":true}\r", K::empty},
             Case{"empty needs ok", "{\"ok\":false,\"empty\":true}", K::ignored},
             Case{"no player plays", "{\"ok\":false,\"playing\":false,\"pid\":0}", K::empty},
             Case{"no bus", "{\"ok\":false}", K::ignored},
             Case{"diagnostic text", "mirabeck: starting", K::ignored},
             Case{"array", "[1,2]", K::ignored},
             Case{"not JSON", "{\"title\":", K::ignored},
             Case{"title only", "{\"title\":\"T\"}", K::reading},
             Case{"artist only", "{\"artist\":\"A\"}", K::reading},
             Case{"neither", "{\"ok\":true,\"playing\":true}", K::ignored},
         }) {
        SCOPED_TRACE(c.name);
        EXPECT_EQ(HelperLine::parse(c.line, kNow).kind, c.kind);
    }
    const auto line = HelperLine::parse(R"({"title":"T","rawElapsed":3.5,"scriptable":true})", kNow);
    EXPECT_EQ(line.rawElapsed, 3.5);
    EXPECT_TRUE(line.scriptable);
}

TEST(HelperLine, SnapshotFields) {
    const auto s = snapshotFromHelperJSON(Json::parse(R"({"title":"","album":"Al","source":"mpv","bundleId":"mpv",
        "playing":true,"duration":200,"elapsed":12.5,"elapsedAt":1700000000250,"artwork":"/9j/AA==",
        "liked":false,"songMid":"s1","albumMid":"a1","pid":7,"title2":3})"),
                                          kNow);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->title, "");  // an empty text counts as present
    EXPECT_FALSE(s->artist);
    EXPECT_EQ(s->album, "Al");
    EXPECT_EQ(s->bundleId, "mpv");
    EXPECT_TRUE(s->isPlaying);
    EXPECT_EQ(s->duration, 200);
    EXPECT_EQ(s->elapsed, 12.5);
    EXPECT_TRUE(s->elapsedKnown);  // absent: known
    EXPECT_EQ(s->playbackRate, 1.0);
    EXPECT_NEAR(s->capturedAt, 1'700'000'000.25 - MediaRemoteNowPlaying::kReferenceDateSince1970, 1e-6);
    EXPECT_EQ(s->artwork, std::string("\xFF\xD8\xFF\x00", 4));
    EXPECT_EQ(s->liked, false);
    EXPECT_EQ(s->songMid, "s1");
    EXPECT_EQ(s->albumMid, "a1");
}

TEST(HelperLine, RatesTimesAndBadValues) {
    struct Case {
        const char* name;
        Json line;
        double rate;
        double capturedAt;
        bool artwork;
    };
    for (const Case& c : {
             Case{"playing without a rate", {{"title", "T"}, {"playing", true}}, 1.0, kNow, false},
             Case{"playing at rate 0", {{"title", "T"}, {"playing", true}, {"playbackRate", 0}}, 1.0, kNow, false},
             Case{"paused without a rate", {{"title", "T"}, {"playing", false}}, 0, kNow, false},
             Case{"rate of another type", {{"title", "T"}, {"playbackRate", "2"}}, 0, kNow, false},
             Case{"elapsedAt beyond the clock", {{"title", "T"}, {"elapsedAt", 1e20}}, 0, kNow, false},
             Case{"elapsedAt in milliseconds",
                  {{"title", "T"}, {"elapsedAt", 1000}},
                  0,
                  1 - MediaRemoteNowPlaying::kReferenceDateSince1970,
                  false},
             Case{"artwork that is not Base64", {{"title", "T"}, {"artwork", "not base64!"}}, 0, kNow, false},
             Case{"artwork without padding", {{"title", "T"}, {"artwork", "/9j"}}, 0, kNow, false},
         }) {
        SCOPED_TRACE(c.name);
        const auto s = snapshotFromHelperJSON(c.line, kNow);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->playbackRate, c.rate);
        EXPECT_EQ(s->capturedAt, c.capturedAt);
        EXPECT_EQ(s->artwork.has_value(), c.artwork);
    }
    // Values no JSON text should hold but a parser may still produce.
    Json huge = {{"title", "T"}, {"duration", INFINITY}, {"playbackRate", NAN}, {"elapsed", -INFINITY}};
    const auto s = snapshotFromHelperJSON(huge, kNow);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->duration, 0);
    EXPECT_EQ(s->playbackRate, 0);
    EXPECT_EQ(s->elapsed, 0);
}

mpris::InfoDictionary dictionary(std::initializer_list<std::pair<const std::string, mpris::InfoValue>> values) {
    mpris::InfoDictionary dict;
    for (const auto& [key, value] : values) dict.emplace(key, value);
    return dict;
}

TEST(NowPlayingInfo, DictionaryReaders) {
    const auto app = std::optional<mpris::RunningApplication>({"mpv", "mpv", 42});
    // The framework key of only spaces gives way to the plain key.
    auto s = snapshotFromNowPlayingInfo(
        dictionary({{std::string(info::kTitle), std::string("   ")}, {"title", std::string("Song")}}), true, app, kNow);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->title, "Song");
    EXPECT_EQ(s->bundleId, "mpv");
    EXPECT_EQ(s->source, "mpv");
    EXPECT_EQ(s->playbackRate, 1.0);  // no rate while playing
    EXPECT_FALSE(s->elapsedKnown);
    EXPECT_EQ(s->capturedAt, kNow);

    EXPECT_FALSE(snapshotFromNowPlayingInfo(dictionary({{std::string(info::kAlbum), std::string("Al")}}), true,
                                            std::nullopt, kNow));

    s = snapshotFromNowPlayingInfo(dictionary({{std::string(info::kArtist), std::string("A")},
                                               {"elapsedTime", 12.0},
                                               {std::string(info::kPlaybackRate), std::nan("")},
                                               {std::string(info::kDuration), std::int64_t{200}},
                                               {std::string(info::kIsLiked), std::int64_t{1}},
                                               {std::string(info::kTimestamp), mpris::InfoDate{1e300}}}),
                                   false, std::nullopt, kNow);
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->elapsedKnown);
    EXPECT_EQ(s->elapsed, 12.0);
    EXPECT_EQ(s->playbackRate, 0);  // a NaN rate is no rate
    EXPECT_EQ(s->duration, 200);
    EXPECT_EQ(s->liked, true);
    EXPECT_EQ(s->capturedAt, kNow);  // a date the clock cannot hold
    EXPECT_FALSE(s->bundleId);
    EXPECT_FALSE(s->source);
}

TEST(NowPlayingInfo, DisplayNames) {
    EXPECT_EQ(MediaRemoteNowPlaying::displayName("com.spotify.client", "Other"), "Spotify");
    EXPECT_EQ(MediaRemoteNowPlaying::displayName("org.example", ""), "Now Playing");
    EXPECT_EQ(MediaRemoteNowPlaying::displayName("org.example", "Podcasts"), "Podcasts");
    EXPECT_EQ(MediaRemoteNowPlaying::displayName(std::nullopt, std::nullopt), "Now Playing");
}

struct FetchResult {
    int calls = 0;
    std::optional<MediaRemoteNowPlaying::Snapshot> reading;
    bool nothingPlays = false;
    bool onMain = false;
};

// Built field by field: GCC 12 misreads a braced State temporary as
// uninitialised.
mpris::FakeNowPlaying::State state(std::optional<mpris::InfoDictionary> info, bool playing,
                                   std::optional<std::int32_t> pid) {
    mpris::FakeNowPlaying::State s;
    s.reading.info = std::move(info);
    s.reading.playing = playing;
    s.pid = pid;
    if (pid && *pid >= 1) s.application = mpris::RunningApplication{"mpv", "mpv", *pid};
    return s;
}

FetchResult fetchFrom(const std::shared_ptr<MediaRemoteLibrary>& library) {
    auto result = std::make_shared<FetchResult>();
    auto& main = dispatch::MainQueue::shared();
    fetchNowPlaying(library, [result, &main](auto reading, bool nothingPlays) {
        ++result->calls;
        result->reading = std::move(reading);
        result->nothingPlays = nothingPlays;
        result->onMain = dispatch::DispatchQueue::currentLabel() == main.label();
    });
    main.runUntil([&] { return result->calls > 0; }, std::chrono::seconds(30));
    // The deadline's completion also passes; it must not call again.
    main.runUntil([] { return false; }, std::chrono::milliseconds(600));
    return *result;
}

TEST(NowPlayingFetch, ReadsThePlayerOnceOnTheMainQueue) {
    mpris::FakeNowPlaying players;
    mpris::FakeRunningApps apps;
    auto library = std::make_shared<MediaRemoteLibrary>(MediaRemoteLibrary{players, apps, nullptr});
    mpris::InfoDictionary dict =
        dictionary({{std::string(info::kTitle), std::string("Song")}, {std::string(info::kElapsedTime), 3.0}});
    players.set(state(dict, true, 42));
    auto result = fetchFrom(library);
    EXPECT_EQ(result.calls, 1);
    EXPECT_TRUE(result.onMain);
    ASSERT_TRUE(result.reading);
    EXPECT_EQ(result.reading->title, "Song");
    EXPECT_EQ(result.reading->source, "mpv");
    EXPECT_TRUE(result.reading->isPlaying);

    // No player plays or pauses: no reading, and the backend says so.
    players.set(state(std::nullopt, false, 0));
    result = fetchFrom(library);
    EXPECT_EQ(result.calls, 1);
    EXPECT_FALSE(result.reading);
    EXPECT_TRUE(result.nothingPlays);

    // No answer about the player: nothing is claimed.
    players.set(state(std::nullopt, false, std::nullopt));
    result = fetchFrom(library);
    EXPECT_FALSE(result.nothingPlays);

    // Without a backend (no session bus) the answer is at once.
    result = fetchFrom(nullptr);
    EXPECT_EQ(result.calls, 1);
    EXPECT_FALSE(result.reading);
    EXPECT_FALSE(result.nothingPlays);
}

}  // namespace
}  // namespace veltrane::media
