// The host volume adapter behind a running runtime: commands reach a real
// (private) PulseAudio server, and changes made there reach the tablets.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <functional>
#include <string>
#include <vector>

#include "ControlDeckCore/adapters/MacVolumeAdapter.h"
#include "platform/audio/PulseAudioSystem.h"
#include "platform/process/ChildProcess.h"
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
    std::vector<Json> peer(const std::vector<std::string>& steps, const std::function<void(const Json&)>& onEvent) {
        std::vector<std::string> args = {VELTRANE_SOURCE_DIR "/tools/ws_peer.py", "--url",
                                         "ws://127.0.0.1:" + std::to_string(runtime->port()) + "/ws"};
        args.insert(args.end(), steps.begin(), steps.end());
        std::string error;
        auto child = process::ChildProcess::spawn("/usr/bin/python3", args, error);
        if (!child) throw std::runtime_error(error);
        std::string out, err;
        std::vector<Json> events;
        // Only a guard against hanging; the peer guards each wait itself.
        const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (child->pump(std::chrono::milliseconds(200), [&](auto stream, const char* data, std::size_t size) {
            (stream == process::ChildProcess::Stream::out ? out : err).append(data, size);
        })) {
            for (std::size_t end; (end = out.find('\n')) != std::string::npos; out.erase(0, end + 1)) {
                std::optional<Json> line = JSON::parse(out.substr(0, end));
                if (!line) throw std::runtime_error("peer wrote: " + out);
                events.push_back(*line);
                onEvent(*line);
            }
            if (std::chrono::steady_clock::now() > giveUp) {
                child->sendSignal(SIGKILL);
                ADD_FAILURE() << "peer hung";
                break;
            }
        }
        EXPECT_TRUE(err.empty()) << err;
        EXPECT_TRUE(out.empty()) << "unfinished peer output: " << out;
        return events;
    }

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
    auto events = peer({"open:A:" + tablet.session, "A:recv", R"(A:until:"muted":true)", R"(A:until:"volume":0.25)"},
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
