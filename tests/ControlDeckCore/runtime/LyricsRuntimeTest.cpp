// The runtime with a media adapter that asks the lyrics front on every
// refresh, as the host adapter does: while every lyric service hangs the
// deck keeps answering, and once one answers its lyrics reach the state.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "ControlDeckCore/adapters/FakeMediaAdapter.h"
#include "ControlDeckCore/lyrics/LyricsService.h"
#include "platform/dispatch/SerialQueue.h"
#include "tests/ControlDeckCore/runtime/RuntimeFixture.h"
#include "tests/support/Eventually.h"
#include "tests/support/LyricsStub.h"

namespace veltrane::deck::testing {
namespace {

using lyrics::LyricsService;
using lyrics::OptionalSnapshot;
using Clock = std::chrono::steady_clock;

// Fetches the current track's lyrics on each refresh; the answer hops to
// the adapter's own queue, lands in its cell and fires onChange.
class LyricsFetchingMedia : public FakeMediaAdapter, public std::enable_shared_from_this<LyricsFetchingMedia> {
public:
    LyricsFetchingMedia() {
        fields.modify([](Fields& f) {
            f.lyrics.reset();
            f.isPlaying = true;
            f.title = "Hanging 0";
            f.artist = "Alpha";
            f.album = "Demo";
            f.duration = 215;
            f.source = "org.example.Player";
        });
    }

    void refresh() override {
        const Fields f = fields.wrappedValue();
        ++refreshes;
        std::weak_ptr<LyricsFetchingMedia> weak = weak_from_this();
        lyrics::LyricsLookup::fetch(f.title.value_or(""), f.artist, f.album, f.duration, f.source, std::nullopt,
                                    nullptr, [weak, queue = queue_, title = f.title](const OptionalSnapshot& answer) {
                                        queue->async([weak, answer, title] {
                                            auto self = weak.lock();
                                            if (!self || self->fields.wrappedValue().title != title) return;
                                            self->fields.modify([&](Fields& g) { g.lyrics = answer; });
                                            self->changed();
                                        });
                                    });
    }

    std::atomic<int> refreshes{0};

private:
    std::shared_ptr<dispatch::SerialQueue> queue_ = dispatch::SerialQueue::create("deck.media.adapter");
};

class LyricsRuntime : public RuntimeFixture {};

TEST_F(LyricsRuntime, HangingServicesNeverHoldTheDeckAndAnsweringOnesReachTheState) {
    std::string error;
    auto hole = veltrane::testing::LyricsStub::start(error, veltrane::testing::LyricsStub::Mode::blackHole);
    ASSERT_TRUE(hole) << error;
    auto stub = veltrane::testing::LyricsStub::start(error);
    ASSERT_TRUE(stub) << error;
    ASSERT_TRUE(stub->setRoutes(
        {{{"path", "/api/get"},
          {"json", {{"trackName", "Track One"}, {"syncedLyrics", "[00:01.00]First line\n[00:02.00]Second line"}}}}}));

    std::atomic<bool> answering{false};
    lyrics::LyricsSources sources = lyrics::LyricsSources::standard();
    sources.externalLookupsAllowed = [] { return true; };
    sources.endpoints = [&, hanging = hole->origin(), serving = stub->origin()] {
        lyrics::LyricsEndpoints e;
        e.lrclib = e.qqSearch = e.qqApi = e.qqSite = e.catalog = e.qqImage = answering ? serving : hanging;
        return e;
    };
    auto service = LyricsService::create(std::move(sources));
    auto previous = LyricsService::install(service);

    auto media = std::make_shared<LyricsFetchingMedia>();
    adapters.media = media;
    startRuntime();
    pair();

    // A tablet stays connected (so the media timer refreshes) and pings
    // while the state broadcasts pace it.
    std::vector<Json> peerEvents;
    std::thread peer([&] {
        std::vector<std::string> steps{"open:A:" + tablet.session, "A:recv"};
        for (int i = 0; i < 5; ++i) {
            steps.push_back(R"(A:send:{"type":"ping","t":)" + std::to_string(i) + "}");
            steps.push_back(R"(A:until:"type":"pong")");
            steps.push_back(R"(A:until:"type":"state")");
        }
        peerEvents = runPeer(steps);
    });

    // New tracks keep starting lookups that hang on the black hole.
    const auto until = Clock::now() + std::chrono::seconds(10);
    double slowestMs = 0;
    for (int i = 1; Clock::now() < until; ++i) {
        media->fields.modify([&](LyricsFetchingMedia::Fields& f) { f.title = "Hanging " + std::to_string(i); });
        for (const char* path : {"/api/health", "/api/state"}) {
            const auto start = Clock::now();
            const auto reply = authed("GET", path);
            slowestMs = std::max(slowestMs, std::chrono::duration<double, std::milli>(Clock::now() - start).count());
            EXPECT_EQ(reply.status, 200) << path;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
    }
    peer.join();
    EXPECT_GE(media->refreshes.load(), 3);
    EXPECT_GE(service->counts().pendingKeys, 2u) << "lookups were hanging meanwhile";
    // Generous: a request that waited on a lookup would take seconds.
    EXPECT_LT(slowestMs, 2000.0);
    int pongs = 0;
    for (const auto& event : peerEvents) {
        EXPECT_NE(event.value("event", ""), "timeout");
        if (event.value("text", "").find(R"("type":"pong")") != std::string::npos) ++pongs;
    }
    EXPECT_EQ(pongs, 5);

    // A service answers: its lyrics reach the tablet's state at a later
    // refresh, and the state the routes build.
    answering = true;
    media->fields.modify([](LyricsFetchingMedia::Fields& f) { f.title = "Track One"; });
    const auto seen = runPeer({"open:A:" + tablet.session, "A:recv", R"(A:until:"provider":"lrclib")"});
    ASSERT_FALSE(seen.empty());
    EXPECT_NE(seen.back().value("text", "").find("First line"), std::string::npos);
    const Json lyrics = body(authed("GET", "/api/state"))["data"]["media"]["lyrics"];
    EXPECT_EQ(lyrics["provider"], "lrclib");
    EXPECT_EQ(lyrics["synced"], true);
    EXPECT_EQ(lyrics["lines"], Json::parse(R"([{"t":1,"text":"First line"},{"t":2,"text":"Second line"}])"));

    runtime->stop();
    LyricsService::install(previous);
    // The hanging lookups end on their own, each within its time-outs.
    EXPECT_TRUE(veltrane::testing::eventually([&] { return service.use_count() == 1; }, std::chrono::seconds(90)));
}

}  // namespace
}  // namespace veltrane::deck::testing
