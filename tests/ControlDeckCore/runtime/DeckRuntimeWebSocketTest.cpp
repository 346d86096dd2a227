// The WebSocket channel, driven by tools/ws_peer.py on python3-websockets: a
// client that nobody here wrote.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ControlDeckCore/adapters/FakeNotifier.h"
#include "tests/ControlDeckCore/runtime/RuntimeFixture.h"

namespace veltrane::deck::testing {
namespace {

class WebSocketChannelTest : public RuntimeFixture {
protected:
    void SetUp() override {
        startRuntime();
        // No periodic state pushes, so every state a socket sees has a cause here.
        DeckSettings settings = runtime->settings();
        settings.systemStatsEnabled = false;
        runtime->updateSettings(settings);
        pair();
    }

    std::vector<Json> peer(const std::vector<std::string>& steps) { return runPeer(steps); }

    // The messages one socket received, in order, with its close code last
    // ("closed <code>") when the server closed it.
    static std::vector<std::string> seenBy(const std::vector<Json>& events, const std::string& socket) {
        std::vector<std::string> seen;
        for (const Json& e : events) {
            if (e.value("socket", "") != socket) continue;
            if (e["event"] == "message") seen.push_back(e["text"]);
            if (e["event"] == "closed") seen.push_back("closed " + std::to_string(e["code"].get<int>()));
            if (e["event"] == "timeout") seen.push_back("timeout");
        }
        for (const Json& e : events)
            if (e["event"] == "timeout") seen.push_back("timeout");
        return seen;
    }

    static std::string typeOf(const std::string& message) {
        std::optional<Json> json = JSON::parse(message);
        return json && json->is_object() ? json->value("type", "") : "";
    }

    // The step by which `socket` says hello with the tablet's session.
    std::string hello(const std::string& socket) const {
        return socket + ":send:" + JSON::text(Json{{"type", "hello"}, {"session", tablet.session}});
    }
};

TEST_F(WebSocketChannelTest, BearerAtTheUpgradeGetsOneStateUnasked) {
    auto seen = seenBy(peer({"open:A:" + tablet.session, "A:recv", R"(A:send:{"type":"ping","t":5})", "A:recv"}), "A");
    ASSERT_EQ(seen.size(), 2u);
    EXPECT_EQ(typeOf(seen[0]), "state");
    EXPECT_EQ(JSON::parse(seen[0]).value()["payload"]["serverId"], body(authed("GET", "/api/state"))["data"]["serverId"]);
    EXPECT_EQ(seen[1], R"({"t":5,"type":"pong"})");
}

TEST_F(WebSocketChannelTest, UnauthenticatedSocketGetsPongsAndErrorsButNoState) {
    auto seen = seenBy(peer({"open:U",
                             R"(U:send:{"type":"ping","t":5})", "U:recv",
                             R"(U:send:{"type":"ping"})", "U:recv",
                             R"(U:send:{"type":"ping","t":{"a":[1,"x"]}})", "U:recv",
                             R"(U:send:{"type":"command","payload":{"type":"toggle_mute"}})", "U:recv",
                             R"(U:send:{"type":"what"})", "U:recv",
                             "U:send:not json", "U:recv",
                             "U:send:[1,2]", "U:recv",
                             R"(U:send:{"type":"ping","t":6})", "U:recv"}),
                       "U");
    const std::string unpaired = R"({"error":{"code":"unpaired","message":"Authenticate first."},"type":"error"})";
    const std::string malformed =
        R"({"error":{"code":"malformed_payload","message":"Invalid WebSocket frame."},"type":"error"})";
    EXPECT_EQ(seen, (std::vector<std::string>{R"({"t":5,"type":"pong"})", R"({"t":null,"type":"pong"})",
                                              R"({"t":{"a":[1,"x"]},"type":"pong"})", unpaired, unpaired, malformed,
                                              malformed, R"({"t":6,"type":"pong"})"}));
}

TEST_F(WebSocketChannelTest, FailedHelloAnswersAnErrorThenCloses) {
    for (const std::string hello : {R"({"type":"hello","session":"not-a-session"})", R"({"type":"hello"})",
                                    R"({"type":"hello","session":42})"}) {
        SCOPED_TRACE(hello);
        auto seen = seenBy(peer({"open:U", "U:send:" + hello, "U:close"}), "U");
        EXPECT_EQ(seen, (std::vector<std::string>{
                            R"({"error":{"code":"unpaired","message":"This device is not paired."},"type":"error"})",
                            "closed 4001"}));
    }
}

TEST_F(WebSocketChannelTest, HelloAuthenticatesAndCommandsAnswerBeforeTheirState) {
    auto seen = seenBy(peer({"open:H", hello("H"), "H:recv",
                             R"(H:send:{"type":"command","payload":{"type":"lock_mac"}})", "H:recv", "H:recv",
                             R"(H:send:{"type":"command"})", "H:recv",
                             R"(H:send:{"type":"command","payload":{"type":"open_url","url":"ftp://x"}})", "H:recv",
                             R"(H:send:{"type":"whatever"})",
                             R"(H:send:{"type":"ping","t":1})", "H:recv"}),
                       "H");
    ASSERT_EQ(seen.size(), 6u);
    EXPECT_EQ(typeOf(seen[0]), "state");
    EXPECT_EQ(seen[1], R"({"data":{"locked":true},"ok":true,"type":"command_result"})");
    EXPECT_EQ(typeOf(seen[2]), "state");
    EXPECT_EQ(seen[3], "{\"error\":{\"code\":\"invalid_action\",\"message\":\"Action type \u201Ccommand\u201D is not "
                       "allowed.\"},\"ok\":false,\"type\":\"command_result\"}");
    EXPECT_EQ(seen[4], R"({"error":{"code":"malformed_payload","message":"The request body is not a valid command."},"ok":false,"type":"command_result"})");
    // Nothing answers the unknown type: the next message is the pong.
    EXPECT_EQ(seen[5], R"({"t":1,"type":"pong"})");
}

TEST_F(WebSocketChannelTest, CommandStatePushReachesEveryAuthenticatedSocketAndNoOther) {
    const std::string command = JSON::text(Json{{"type", "lock_mac"}});
    auto events = peer({"open:A:" + tablet.session, "A:recv", "open:B", hello("B"), "B:recv",
                        "open:U", R"(U:send:{"type":"ping","t":1})", "U:recv",
                        "http:POST /api/command " + tablet.session + " " + command,
                        "A:recv", "B:recv",
                        // Were a state sent to U, it would come before this pong.
                        R"(U:send:{"type":"ping","t":2})", "U:recv"});
    bool answered = false;
    for (const Json& e : events)
        if (e["event"] == "http") {
            EXPECT_EQ(e["status"], 200);
            EXPECT_EQ(e["body"], R"({"data":{"locked":true},"ok":true})");
            answered = true;
        }
    EXPECT_TRUE(answered);
    for (const char* socket : {"A", "B"}) {
        auto seen = seenBy(events, socket);
        ASSERT_EQ(seen.size(), 2u) << socket;
        EXPECT_EQ(typeOf(seen[0]), "state");
        EXPECT_EQ(typeOf(seen[1]), "state");
    }
    EXPECT_EQ(seenBy(events, "U"),
              (std::vector<std::string>{R"({"t":1,"type":"pong"})", R"({"t":2,"type":"pong"})"}));
}

TEST_F(WebSocketChannelTest, FinishedTimerSendsItsEventThenTheState) {
    const std::string start = JSON::text(
        Json{{"type", "command"}, {"payload", {{"type", "start_timer"}, {"seconds", 1}, {"label", "Tea"}}}});
    auto seen = seenBy(peer({"open:A:" + tablet.session, "A:recv", "A:send:" + start, "A:recv",
                             "A:until:timer.completed", "A:recv"}),
                       "A");
    ASSERT_GE(seen.size(), 5u);
    Json result = JSON::parse(seen[1]).value();
    ASSERT_EQ(result["ok"], true) << seen[1];
    const std::string id = result["data"]["id"];
    EXPECT_EQ(result["data"]["remaining"], 1);
    EXPECT_EQ(seen[seen.size() - 2],
              JSON::text(Json{{"type", "event"}, {"name", "timer.completed"}, {"payload", {{"id", id}, {"label", "Tea"}}}}));
    Json after = JSON::parse(seen.back()).value();
    EXPECT_EQ(after["type"], "state");
    EXPECT_EQ(after["payload"]["timers"], Json::array());
    runtime->settings();  // orders the notifier's record before this read
    auto notifier = fake<FakeNotifier>();
    EXPECT_EQ(notifier->finished, (std::vector<std::pair<std::string, std::string>>{{id, "Tea"}}));
}

TEST_F(WebSocketChannelTest, RevokingTheDeviceClosesItsSockets) {
    PairedTablet other = tablet;
    PairedTablet revoked = pair("Second");
    auto events = peer({"open:A:" + revoked.session, "A:recv", "open:B", hello("B"), "B:recv",
                        "open:C:" + other.session, "C:recv",
                        "http:DELETE /api/devices/" + revoked.deviceId + " " + other.session,
                        "A:close", "B:close", R"(C:send:{"type":"ping","t":3})", "C:until:pong"});
    EXPECT_EQ(seenBy(events, "A").back(), "closed 4001");
    EXPECT_EQ(seenBy(events, "B").back(), "closed 4001");
    auto seen = seenBy(events, "C");
    EXPECT_EQ(seen.back(), R"({"t":3,"type":"pong"})");
}

TEST_F(WebSocketChannelTest, SocketsThatNeverAuthenticateAreClosed) {
    runtime->setWaitingSocketLimits({std::chrono::seconds(2), 64});
    // H authenticates by hello before its grace runs out; U never does. H's
    // grace ends before U's, so once U is closed H has outlived its own.
    auto events = peer({"open:A:" + tablet.session, "A:recv", "open:H", hello("H"), "H:recv",
                        "open:U", R"(U:send:{"type":"ping","t":0})", "U:close",
                        R"(A:send:{"type":"ping","t":1})", "A:recv", R"(H:send:{"type":"ping","t":2})", "H:recv"});
    EXPECT_EQ(seenBy(events, "U"), (std::vector<std::string>{R"({"t":0,"type":"pong"})", "closed 4001"}));
    EXPECT_EQ(seenBy(events, "A").back(), R"({"t":1,"type":"pong"})");
    EXPECT_EQ(seenBy(events, "H").back(), R"({"t":2,"type":"pong"})");
}

TEST_F(WebSocketChannelTest, WaitingSocketsAreCapped) {
    runtime->setWaitingSocketLimits({std::chrono::seconds(60), 2});
    // Each pong proves its socket is registered before the next one opens.
    auto events = peer({"open:U1", R"(U1:send:{"type":"ping","t":1})", "U1:recv",
                        "open:U2", R"(U2:send:{"type":"ping","t":2})", "U2:recv",
                        "open:U3", "U3:close",
                        "open:A:" + tablet.session, "A:recv",
                        R"(U1:send:{"type":"ping","t":4})", "U1:recv"});
    EXPECT_EQ(seenBy(events, "U3"), (std::vector<std::string>{"closed 1013"}));
    EXPECT_EQ(typeOf(seenBy(events, "A").front()), "state");
    EXPECT_EQ(seenBy(events, "U1").back(), R"({"t":4,"type":"pong"})");
}

}  // namespace
}  // namespace veltrane::deck::testing
