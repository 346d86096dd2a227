#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "ControlDeckCore/adapters/FakeClipboard.h"
#include "ControlDeckCore/adapters/FakeMediaAdapter.h"
#include "ControlDeckCore/adapters/FakeSystemSampler.h"
#include "ControlDeckCore/data/ClipboardHistoryItem.h"
#include "platform/crypto/Crypto.h"
#include "tests/ControlDeckCore/runtime/RuntimeFixture.h"

namespace veltrane::deck::testing {
namespace {

using namespace std::chrono_literals;

class State : public RuntimeFixture {
protected:
    std::shared_ptr<FakeMediaAdapter> media() { return fake<FakeMediaAdapter>(); }
    void setSettings(const std::function<void(DeckSettings&)>& change) {
        DeckSettings settings = runtime->settings();
        change(settings);
        runtime->updateSettings(settings);
    }

    // A runtime whose state holds some of everything: clipboard text and
    // history, four paired tablets, two paused timers and an outbox file.
    // Media is paused at a fixed playhead, so two writes of the state agree.
    void startFullRuntime() {
        const Date now = std::chrono::system_clock::now();
        std::ofstream(data.path() / "clipboard-history.json")
            << JSON::text(Json::array({ClipboardHistoryItem{"H1", "fresh / \u00FC", now - 10s}.encode(),
                                       ClipboardHistoryItem{"H2", "old", now - 7200s}.encode()}));
        startRuntime();
        fake<FakeClipboard>()->text = "copied\t/ text";
        setSettings([](DeckSettings& s) {
            s.clipboardEnabled = true;
            s.clipboardHistoryEnabled = true;
            s.clipboardHistoryTTLSeconds = 3600;
        });
        for (const char* name : {"Kitchen", "Studio / 2", "\u00C9tage"}) pair(name);
        pair("Tab");
        for (const char* label : {"Tea / \u8336", "Eggs"}) {
            Json started = body(authed("POST", "/api/command",
                                       JSON::text(Json{{"type", "start_timer"}, {"seconds", 90}, {"label", label}})));
            authed("POST", "/api/command", JSON::text(Json{{"type", "pause_timer"}, {"id", started["data"]["id"]}}));
        }
        const std::filesystem::path offered = data.path() / "offered report.txt";
        std::ofstream(offered) << "report";
        runtime->addOutboxFiles({offered});
        media()->fields.setWrappedValue(pausedMedia());
    }

    static FakeMediaAdapter::Fields pausedMedia() {
        FakeMediaAdapter::Fields fields;
        fields.elapsedKnown = false;
        fields.isPlaying = false;
        fields.elapsedCapturedAt = Date(std::chrono::milliseconds(1'700'000'000'123));
        return fields;
    }
};

TEST_F(State, HasExactlyTheSeventeenKeys) {
    startRuntime();
    pair();
    Json state = body(authed("GET", "/api/state"))["data"];
    std::vector<std::string> keys;
    for (const auto& [key, value] : state.items()) keys.push_back(key);
    EXPECT_THAT(keys, ::testing::UnorderedElementsAre("hostName", "serverId", "online", "volume", "muted", "outputs",
                                                      "displays", "media", "system", "network", "clipboard", "timers",
                                                      "features", "files", "lastScreenshotId", "permissions",
                                                      "connectedDevices"));
    EXPECT_EQ(state["hostName"], "Test Desk");
    EXPECT_EQ(state["online"], true);
    EXPECT_EQ(state["volume"], 0.72);
    EXPECT_EQ(state["outputs"].size(), 2u);
    EXPECT_EQ(state["displays"][0],
              Json({{"id", "built-in"}, {"name", "Built-in Display"}, {"brightness", 0.8}, {"builtin", true}}));
    EXPECT_EQ(state["system"]["cpu"], 0.24);
    EXPECT_EQ(state["network"]["port"], runtime->port());
    EXPECT_EQ(state["network"]["serverListening"], true);
    EXPECT_EQ(state["lastScreenshotId"], nullptr);
    EXPECT_EQ(state["permissions"], Json({{"accessibility", true}, {"screenRecording", true}}));
    EXPECT_EQ(state["features"].size(), 10u);
    EXPECT_EQ(state["files"]["enabled"], true);
    EXPECT_EQ(state["connectedDevices"].size(), 1u);
    EXPECT_EQ(state["clipboard"], Json({{"enabled", false}, {"historyEnabled", false}}));
}

TEST_F(State, SystemStatisticsOffDoesNotAskTheSampler) {
    startRuntime();
    auto sampler = fake<FakeSystemSampler>();
    ASSERT_TRUE(sampler);
    setSettings([](DeckSettings& s) { s.systemStatsEnabled = false; });
    sampler->cpu = 0.9;
    Json system = runtime->buildState()["system"];
    EXPECT_EQ(system["cpu"], 0);
    EXPECT_EQ(system["memory"], 0);
    EXPECT_EQ(system["battery"], nullptr);
    EXPECT_EQ(system["charging"], false);
    EXPECT_GT(system["uptime"].get<double>(), 0);
}

struct PositionCase {
    const char* name;
    bool playing;
    double elapsed;
    double rate;
    double duration;
    double expected;  // with the capture 2 s before the build
};

TEST_F(State, MediaPositionMovesWithThePlayhead) {
    startRuntime();
    const PositionCase cases[] = {
        {"rate 0 counts as 1", true, 10, 0, 200, 12},
        {"rate 2", true, 10, 2, 200, 14},
        {"lowered to the duration", true, 199, 1, 200, 200},
        {"no duration leaves it", true, 199, 1, 0, 201},
        {"paused stays", false, 10, 1, 200, 10},
        {"negative raised to 0", false, -5, 1, 200, 0},
    };
    for (const PositionCase& c : cases) {
        SCOPED_TRACE(c.name);
        const Date before = std::chrono::system_clock::now();
        const Date captured = before - 2s;
        media()->fields.modify([&](FakeMediaAdapter::Fields& f) {
            f.elapsedKnown = true;
            f.isPlaying = c.playing;
            f.elapsed = c.elapsed;
            f.playbackRate = c.rate;
            f.duration = c.duration;
            f.elapsedCapturedAt = captured;
        });
        Json state = runtime->buildState()["media"];
        const Date after = std::chrono::system_clock::now();
        // The build reads the clock itself, somewhere between `before` and `after`.
        const double rate = c.playing ? (c.rate > 0 ? c.rate : 1) : 0;
        const double slack = rate * std::chrono::duration<double>(after - before).count();
        const double elapsed = state["elapsed"].get<double>();
        EXPECT_GE(elapsed, c.expected - 1e-9);
        EXPECT_LE(elapsed,
                  (c.duration > 0 && c.playing ? std::min(c.expected + slack, c.duration) : c.expected + slack) + 1e-9);
        EXPECT_GE(state["elapsedAt"].get<std::int64_t>(), millisecondsSince1970(before));
        EXPECT_LE(state["elapsedAt"].get<std::int64_t>(), millisecondsSince1970(after));
    }
}

TEST_F(State, UnknownPositionPassesThroughWithItsCaptureTime) {
    startRuntime();
    const Date captured = std::chrono::system_clock::now() - 5s;
    media()->fields.modify([&](FakeMediaAdapter::Fields& f) {
        f.elapsedKnown = false;
        f.isPlaying = true;
        f.elapsed = 7;
        f.elapsedCapturedAt = captured;
    });
    Json state = runtime->buildState()["media"];
    EXPECT_EQ(state["elapsed"], 7);
    EXPECT_EQ(state["elapsedAt"], millisecondsSince1970(captured));
    EXPECT_EQ(state["elapsedKnown"], false);
}

TEST_F(State, MediaStaysVisibleWhenDisabledAndLikedOnlyWhenKnown) {
    startRuntime();
    setSettings([](DeckSettings& s) { s.mediaEnabled = false; });
    media()->fields.modify([](FakeMediaAdapter::Fields& f) { f.liked.reset(); });
    Json state = runtime->buildState()["media"];
    EXPECT_EQ(state["available"], false);
    EXPECT_EQ(state["title"], "Sample Track");
    EXPECT_FALSE(state.contains("liked"));
}

TEST_F(State, ArtworkBelowTheLimitOnly) {
    startRuntime();
    struct ArtworkCase {
        std::string bytes;
        const char* prefix;  // nullptr: left out
    };
    const std::string png = "\x89PNG" + std::string(10, 'x');
    const ArtworkCase cases[] = {
        {png, "data:image/png;base64,"},
        {"JPEGDATA", "data:image/jpeg;base64,"},
        {std::string(219'999, 'j'), "data:image/jpeg;base64,"},
        {std::string(220'000, 'j'), nullptr},
        {"", nullptr},
    };
    for (const ArtworkCase& c : cases) {
        SCOPED_TRACE(c.bytes.size());
        media()->fields.modify([&](FakeMediaAdapter::Fields& f) { f.artworkPNG = c.bytes; });
        Json state = runtime->buildState()["media"];
        if (!c.prefix) {
            EXPECT_FALSE(state.contains("artwork"));
        } else {
            EXPECT_THAT(state["artwork"].get<std::string>(), ::testing::StartsWith(c.prefix));
        }
    }
}

TEST_F(State, LyricsAreBounded) {
    startRuntime();
    lyrics::LyricsSnapshot synced{"p", true, {}, std::string()};
    for (int i = 0; i < 500; ++i) synced.lines.push_back({static_cast<double>(i), "line"});
    media()->fields.modify([&](FakeMediaAdapter::Fields& f) {
        f.lyrics = synced;
        f.karaokeLine = "now";
    });
    Json lyrics = runtime->buildState()["media"]["lyrics"];
    EXPECT_EQ(lyrics["lines"].size(), 400u);
    EXPECT_EQ(lyrics["lines"][1], Json({{"t", 1}, {"text", "line"}}));
    EXPECT_FALSE(lyrics.contains("text"));
    EXPECT_EQ(lyrics["current"], "now");

    // Plain text is cut after 4000 user-perceived characters, never inside one.
    auto repeated = [](std::string_view character, int times) {
        std::string out;
        for (int i = 0; i < times; ++i) out += character;
        return out;
    };
    const struct {
        std::string_view character;  // one user-perceived character
    } cases[] = {{"a"}, {"e\u0301"}, {"\U0001F1EB\U0001F1F7"}, {"\u00E9"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.character));
        lyrics::LyricsSnapshot plain{"p", false, {{0, "x"}}, repeated(c.character, 4001)};
        media()->fields.modify([&](FakeMediaAdapter::Fields& f) { f.lyrics = plain; });
        lyrics = runtime->buildState()["media"]["lyrics"];
        EXPECT_FALSE(lyrics.contains("lines"));
        EXPECT_EQ(lyrics["text"], repeated(c.character, 4000));
    }
}

TEST_F(State, ClipboardHistoryExpiresByAge) {
    const Date now = std::chrono::system_clock::now();
    Json history = Json::array({ClipboardHistoryItem{"A", "fresh", now - 10s}.encode(),
                                ClipboardHistoryItem{"B", "old", now - 7200s}.encode()});
    std::ofstream(data.path() / "clipboard-history.json") << JSON::text(history);
    startRuntime();
    Json clipboard = runtime->buildState()["clipboard"];
    EXPECT_FALSE(clipboard.contains("text"));
    EXPECT_FALSE(clipboard.contains("history"));

    setSettings([](DeckSettings& s) {
        s.clipboardEnabled = true;
        s.clipboardHistoryEnabled = true;
        s.clipboardHistoryTTLSeconds = 3600;
    });
    clipboard = runtime->buildState()["clipboard"];
    EXPECT_EQ(clipboard["text"], "");
    ASSERT_EQ(clipboard["history"].size(), 1u);
    EXPECT_EQ(clipboard["history"][0]["text"], "fresh");
    // The old entry is gone from memory too, even with a longer limit again.
    setSettings([](DeckSettings& s) { s.clipboardHistoryTTLSeconds = 86400; });
    EXPECT_EQ(runtime->buildState()["clipboard"]["history"].size(), 1u);
}

struct StateCase {
    const char* name;
    std::function<void(FakeMediaAdapter::Fields&)> media;
    std::function<void(DeckSettings&)> settings;  // from the settings startFullRuntime leaves
    std::function<void(const Json&)> check;       // the state read back
    bool stable = true;                           // two writes give the same text (no clock in it)
};

// The state is written straight to text: it must be the canonical text of
// its own value (keys sorted at every level, the text rule's escapes and
// numbers), and the route answer must be exactly that text in its envelope.
TEST_F(State, TextIsCanonicalAndIsWhatTheRouteAnswers) {
    startFullRuntime();
    const std::string png = "\x89PNG\r\n\x1a\n\xff\xfe\xfd\x00" + std::string(300, '\xfb');  // "/" in Base64
    const std::string jpeg = "\xff\xd8\xff\xe0" + std::string(64, '\xff');
    const DeckSettings base = runtime->settings();
    const StateCase cases[] = {
        {"synced and plain lyrics, PNG cover, liked",
         [&](FakeMediaAdapter::Fields& f) {
             f.artworkPNG = png;
             f.liked = true;
             f.lyrics =
                 lyrics::LyricsSnapshot{"lrc/lib", true, {{0.25, "a/b"}, {61.5, "\"quoted\" \\"}}, "plain\ntext"};
             f.karaokeLine = "a/b";
         },
         {},
         [&](const Json& state) {
             const Json& media = state["media"];
             EXPECT_EQ(media["artwork"], "data:image/png;base64," + crypto::base64(png));
             EXPECT_EQ(media["liked"], true);
             EXPECT_EQ(media["lyrics"],
                       Json({{"current", "a/b"},
                             {"lines", {{{"t", 0.25}, {"text", "a/b"}}, {{"t", 61.5}, {"text", "\"quoted\" \\"}}}},
                             {"provider", "lrc/lib"},
                             {"synced", true},
                             {"text", "plain\ntext"}}));
         }},
        {"plain lyrics only, JPEG cover, like unknown",
         [&](FakeMediaAdapter::Fields& f) {
             f.artworkPNG = jpeg;
             f.liked.reset();
             f.lyrics = lyrics::LyricsSnapshot{"plain", false, {{1, "unsynced"}}, "only plain"};
         },
         {},
         [&](const Json& state) {
             const Json& media = state["media"];
             EXPECT_EQ(media["artwork"], "data:image/jpeg;base64," + crypto::base64(jpeg));
             EXPECT_FALSE(media.contains("liked"));
             EXPECT_EQ(media["lyrics"], Json({{"provider", "plain"}, {"synced", false}, {"text", "only plain"}}));
         }},
        {"non-ASCII, invalid UTF-8, slashes and control characters",
         [](FakeMediaAdapter::Fields& f) {
             f.title = "Caf\u00E9 \u4E2D\u6587 \U0001F600";
             f.artist = "bad\xFF\xFE bytes";
             f.album = "a/b\x01\x1f\"\\";
             f.source.reset();
             f.lyrics.reset();
             f.duration = 0.1 + 0.2;
             f.elapsed = 1e-7;
             f.playbackRate = 0.5;
         },
         [](DeckSettings& s) { s.deviceName = "Desk / \u00E9\t\"1\""; },
         [](const Json& state) {
             const Json& media = state["media"];
             EXPECT_EQ(media["title"], "Caf\u00E9 \u4E2D\u6587 \U0001F600");
             EXPECT_EQ(media["artist"], "bad\uFFFD\uFFFD bytes");
             EXPECT_EQ(media["album"], "a/b\x01\x1f\"\\");
             EXPECT_EQ(media["source"], nullptr);
             EXPECT_FALSE(media.contains("lyrics"));
             EXPECT_EQ(media["duration"], 0.1 + 0.2);
             EXPECT_EQ(media["elapsed"], 1e-7);
             EXPECT_EQ(state["hostName"], "Desk / \u00E9\t\"1\"");
         }},
        {"media off, the world as started",
         {},
         [](DeckSettings& s) { s.mediaEnabled = false; },
         [](const Json& state) {
             EXPECT_EQ(state["media"]["available"], false);
             EXPECT_EQ(state["media"]["elapsedAt"], 1'700'000'000'123);
             EXPECT_EQ(state["clipboard"], Json({{"enabled", true},
                                                 {"historyEnabled", true},
                                                 {"text", "copied\t/ text"},
                                                 {"history",
                                                  {{{"id", "H1"},
                                                    {"text", "fresh / \u00FC"},
                                                    {"createdAt", state["clipboard"]["history"][0]["createdAt"]}}}}}));
             ASSERT_EQ(state["connectedDevices"].size(), 4u);
             std::vector<std::string> names;
             for (const Json& device : state["connectedDevices"]) {
                 names.push_back(device["name"]);
                 EXPECT_EQ(device["connected"], false);
             }
             EXPECT_THAT(names, ::testing::UnorderedElementsAre("Kitchen", "Studio / 2", "\u00C9tage", "Tab"));
             ASSERT_EQ(state["timers"].size(), 2u);
             EXPECT_EQ(state["timers"][0]["label"], "Eggs");
             EXPECT_EQ(state["timers"][1]["running"], false);
             ASSERT_EQ(state["files"]["outbox"].size(), 1u);
             EXPECT_EQ(state["files"]["enabled"], true);
         }},
        {"clipboard and system statistics off",
         {},
         [](DeckSettings& s) {
             s.clipboardEnabled = false;
             s.systemStatsEnabled = false;
         },
         [](const Json& state) {
             EXPECT_EQ(state["clipboard"], Json({{"enabled", false}, {"historyEnabled", true}}));
             EXPECT_EQ(state["system"]["cpu"], 0);
             EXPECT_EQ(state["system"]["battery"], nullptr);
         },
         /*stable=*/false},
    };
    for (const StateCase& c : cases) {
        SCOPED_TRACE(c.name);
        FakeMediaAdapter::Fields fields = pausedMedia();
        if (c.media) c.media(fields);
        media()->fields.setWrappedValue(fields);
        DeckSettings settings = base;
        if (c.settings) c.settings(settings);
        runtime->updateSettings(settings);

        const std::string text = runtime->stateText();
        std::optional<Json> parsed = JSON::parse(text);
        ASSERT_TRUE(parsed);
        EXPECT_EQ(JSON::text(*parsed), text);
        c.check(*parsed);
        if (c.stable) {
            EXPECT_EQ(runtime->buildState(), *parsed);
            // The request marks its tablet as seen, perhaps a second later:
            // the text read after it carries the same mark.
            const std::string answer = authed("GET", "/api/state").body;
            EXPECT_EQ(answer, "{\"data\":" + runtime->stateText() + ",\"ok\":true}");
        }
    }
}

// A number that cannot be written makes the whole state "{}", as it makes
// any other text, and so the whole answer.
TEST_F(State, UnwritableNumberGivesTheEmptyObjectEverywhere) {
    startRuntime();
    pair();
    media()->fields.modify([](FakeMediaAdapter::Fields& f) { f.duration = std::nan(""); });
    EXPECT_EQ(runtime->stateText(), "{}");
    EXPECT_EQ(runtime->buildState(), Json::object());
    EXPECT_EQ(authed("GET", "/api/state").body, "{}");
}

// The socket's state message is the state text in its envelope, and the
// socket's own device shows as connected in it.
TEST_F(State, SocketStateMessageIsTheStateTextInItsEnvelope) {
    startFullRuntime();
    std::string expected;
    runPeer({"open:A:" + tablet.session, "A:recv", "A:recv"}, [&](const Json& event) {
        if (event["event"] != "message" || !expected.empty()) return;
        // The socket is still open: the peer waits for a second message,
        // which the command below causes.
        expected = "{\"payload\":" + runtime->stateText() + ",\"type\":\"state\"}";
        EXPECT_EQ(event["text"], expected);
        authed("POST", "/api/command", R"({"type":"media_next"})");
    });
    ASSERT_FALSE(expected.empty());
    const Json state = JSON::parse(expected).value()["payload"];
    int connected = 0;
    for (const Json& device : state["connectedDevices"]) {
        connected += device["connected"].get<bool>();
        if (device["connected"] == true) {
            EXPECT_EQ(device["id"], tablet.deviceId);
        }
    }
    EXPECT_EQ(connected, 1);
}

}  // namespace
}  // namespace veltrane::deck::testing
