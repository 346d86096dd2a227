// The host volume adapter behind a running runtime: commands reach a real
// (private) PulseAudio server, and changes made there reach the tablets.

#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <vector>

#include "ControlDeckCore/adapters/MacVolumeAdapter.h"
#include "platform/audio/PulseAudioSystem.h"
#include "tests/ControlDeckCore/runtime/RuntimeFixture.h"
#include "tools/pulse/PrivatePulseServer.h"

namespace veltrane::deck::testing {
namespace {

using veltrane::testing::PrivatePulseServer;

class HostVolumeTest : public RuntimeFixture {
protected:
    void SetUp() override {
        if (!server.running()) GTEST_SKIP() << "no private PulseAudio server: " << server.failure();
        // The poll is slowed down so that only the server's change events can
        // bring outside changes in; the fallback runner only counts, so nothing
        // ever reaches the user's own audio server.
        adapters.volume = MacVolumeAdapter::create(
            std::make_shared<audio::PulseAudioSystem>(server.address()),
            [scripts = scripts](const std::string&, const std::vector<std::string>&, double) { ++*scripts; }, 3600);
        startRuntime();
        // No periodic state pushes, so a state a socket sees has a cause here.
        DeckSettings settings = runtime->settings();
        settings.systemStatsEnabled = false;
        runtime->updateSettings(settings);
        pair();
    }

    // Runs tools/ws_peer.py with `steps`; `onEvent` sees each observation as
    // it comes, so the test can act while the peer waits. Returns them all.
    static std::vector<Json> statesOf(const std::vector<Json>& events) {
        std::vector<Json> states;
        for (const Json& e : events) {
            EXPECT_NE(e["event"], "timeout") << "the peer gave up waiting";
            if (e["event"] != "message") continue;
            std::optional<Json> message = JSON::parse(e["text"].get<std::string>());
            if (message && message->value("type", "") == "state") states.push_back((*message)["payload"]);
        }
        return states;
    }

    PrivatePulseServer server;
    std::shared_ptr<std::atomic<int>> scripts = std::make_shared<std::atomic<int>>(0);
};

TEST_F(HostVolumeTest, SetVolumeCommandMovesTheDefaultSink) {
    HTTPReply reply = authed("POST", "/api/command", JSON::text(Json{{"type", "set_volume"}, {"level", 0.404}}));
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_NEAR(body(reply)["data"]["volume"].get<double>(), 0.404, 1e-3) << reply.body;
    std::string line = server.pactlLine({"get-sink-volume", "@DEFAULT_SINK@"});
    EXPECT_NE(line.find("/  40% /"), std::string::npos) << line;

    reply = authed("POST", "/api/command", JSON::text(Json{{"type", "set_mute"}, {"muted", true}}));
    ASSERT_EQ(reply.status, 200) << reply.body;
    EXPECT_EQ(server.pactlLine({"get-sink-mute", "@DEFAULT_SINK@"}), "Mute: yes");

    Json state = body(authed("GET", "/api/state"))["data"];
    EXPECT_NEAR(state["volume"].get<double>(), 0.404, 1e-3);
    EXPECT_EQ(state["muted"], true);
    EXPECT_EQ(*scripts, 0) << "the server took every write itself";
}

TEST_F(HostVolumeTest, ChangesMadeOnTheServerArePushedToTheTablet) {
    // Each change is made only once the socket has seen the state before it.
    // 25% is a whole step of the server's scale, so its text is exactly 0.25.
    int statesSeen = 0;
    auto events = runPeer({"open:A:" + tablet.session, "A:recv", R"(A:until:"muted":true)", R"(A:until:"volume":0.25)"},
                       [&](const Json& e) {
                           if (e["event"] != "message") return;
                           std::optional<Json> message = JSON::parse(e["text"].get<std::string>());
                           if (!message || message->value("type", "") != "state") return;
                           const Json& payload = (*message)["payload"];
                           if (statesSeen++ == 0) {
                               ASSERT_EQ(server.pactl({"set-sink-mute", "@DEFAULT_SINK@", "1"}).status, 0);
                           } else if (payload["muted"] == true && payload["volume"].get<double>() > 0.5) {
                               ASSERT_EQ(server.pactl({"set-sink-volume", "@DEFAULT_SINK@", "25%"}).status, 0);
                           }
                       });
    auto states = statesOf(events);
    ASSERT_GE(states.size(), 3u);
    EXPECT_EQ(states.front()["muted"], false);
    EXPECT_NEAR(states.front()["volume"].get<double>(), 1.0, 1e-3);
    EXPECT_EQ(states.back()["muted"], true);
    EXPECT_NEAR(states.back()["volume"].get<double>(), 0.25, 1e-3);
    EXPECT_EQ(*scripts, 0);
}

}  // namespace
}  // namespace veltrane::deck::testing
