#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ControlDeckCore/server/http/WebSocket.h"
#include "tests/ControlDeckCore/server/http/FakeConnection.h"
#include "tests/ControlDeckCore/server/http/Frames.h"
#include "tests/support/Eventually.h"

using namespace veltrane;
using namespace veltrane::deck;
using veltrane::testing::bytes;
using veltrane::testing::clientFrame;
using veltrane::testing::eventually;
using namespace std::chrono_literals;

TEST(WebSocketFrames, EncodeLengthForms) {
    EXPECT_EQ(WebSocket::encode(1, std::string(125, 'a')).substr(0, 2), bytes({0x81, 0x7D}));
    EXPECT_EQ(WebSocket::encode(1, std::string(126, 'a')).substr(0, 4), bytes({0x81, 0x7E, 0x00, 0x7E}));
    EXPECT_EQ(WebSocket::encode(1, std::string(65535, 'a')).substr(0, 4), bytes({0x81, 0x7E, 0xFF, 0xFF}));
    auto big = WebSocket::encode(1, std::string(65536, 'a'));
    EXPECT_EQ(big.substr(0, 10), bytes({0x81, 0x7F, 0, 0, 0, 0, 0, 1, 0, 0}));
    EXPECT_EQ(big.size(), 65536u + 10);
    EXPECT_EQ(WebSocket::encode(8, bytes({0x03, 0xE9})), bytes({0x88, 0x02, 0x03, 0xE9}));
    EXPECT_EQ(WebSocket::encode(10, "xy"), bytes({0x8A, 0x02, 'x', 'y'}));
}

TEST(WebSocketFrames, Decode) {
    using Frame = WebSocket::Frame;
    const std::string over = bytes({0x81, 0xFF, 0, 0, 0, 0, 0, 0x0F, 0x42, 0x41});  // 1,000,001
    const std::string exact = bytes({0x81, 0xFF, 0, 0, 0, 0, 0, 0x0F, 0x42, 0x40});  // 1,000,000
    struct Case {
        const char* name;
        std::string buffer;
        std::optional<Frame> frame;
        std::string left;
    } cases[] = {
        {"one byte", bytes({0x81}), std::nullopt, bytes({0x81})},
        {"16-bit length not there yet", bytes({0x81, 0xFE, 0x00}), std::nullopt, bytes({0x81, 0xFE, 0x00})},
        {"masked hello", clientFrame(1, "hello") + "rest", Frame{1, "hello"}, "rest"},
        {"payload still arriving", clientFrame(1, "hello").substr(0, 8), std::nullopt,
         clientFrame(1, "hello").substr(0, 8)},
        {"no final bit, reserved bits set", bytes({0x71}) + clientFrame(1, "x").substr(1), Frame{1, "x", false}, ""},
        {"continuation", clientFrame(0, "part"), Frame{0, "part"}, ""},
        {"unmasked", clientFrame(1, "hi", false) + "more", Frame{8, ""}, ""},
        {"over-long on its header alone", over, Frame{8, ""}, ""},
        {"exactly the limit waits for its payload", exact, std::nullopt, exact},
        {"126-byte payload", clientFrame(2, std::string(126, 'z')), Frame{2, std::string(126, 'z')}, ""},
    };
    for (auto& c : cases) {
        std::string buffer = c.buffer;
        EXPECT_EQ(WebSocket::decode(buffer), c.frame) << c.name;
        EXPECT_EQ(buffer, c.left) << c.name;
    }
}

TEST(WebSocketFrames, AssembleJoinsFragmentsInOrder) {
    using Frame = WebSocket::Frame;
    const std::size_t half = WebSocket::kMaxClientPayload / 2;
    struct Case {
        const char* name;
        std::vector<Frame> frames;
        std::vector<Frame> messages;
        bool tooLong;
    } cases[] = {
        {"a whole frame passes", {Frame{1, "a"}}, {Frame{1, "a"}}, false},
        {"three fragments", {Frame{1, "a", false}, Frame{0, "b", false}, Frame{0, "c"}}, {Frame{1, "abc"}}, false},
        {"a binary message keeps its opcode", {Frame{2, "x", false}, Frame{0, "y"}}, {Frame{2, "xy"}}, false},
        {"a continuation with nothing open", {Frame{0, "lost"}, Frame{1, "next"}}, {Frame{1, "next"}}, false},
        {"a new message drops the unfinished one",
         {Frame{1, "old", false}, Frame{1, "new"}, Frame{0, "stray"}},
         {Frame{1, "new"}},
         false},
        {"a new fragmented message replaces the unfinished one",
         {Frame{1, "old", false}, Frame{1, "n", false}, Frame{0, "ew"}},
         {Frame{1, "new"}},
         false},
        {"exactly the limit", {Frame{1, std::string(half, 'a'), false}, Frame{0, std::string(half, 'b')}},
         {Frame{1, std::string(half, 'a') + std::string(half, 'b')}}, false},
        {"one byte past the limit",
         {Frame{1, std::string(half, 'a'), false}, Frame{0, std::string(half + 1, 'b')}, Frame{0, "c"}},
         {},
         true},
    };
    for (const Case& c : cases) {
        std::optional<Frame> open;
        std::vector<Frame> messages;
        bool sawTooLong = false;
        for (const Frame& frame : c.frames) {
            bool tooLong = true;
            if (auto message = WebSocket::assemble(open, frame, tooLong)) messages.push_back(*message);
            sawTooLong = sawTooLong || tooLong;
        }
        EXPECT_EQ(messages, c.messages) << c.name;
        EXPECT_EQ(sawTooLong, c.tooLong) << c.name;
    }
}

namespace {
// A socket over a fake connection, recording its callbacks.
struct Rig {
    explicit Rig(WebSocket::Limits limits = {}) {
        socket = WebSocket::create(
            connection, [this](WebSocket*) { ++released; }, limits);
        socket->onText = [this](const std::string& text) {
            std::lock_guard lock(mutex);
            texts.push_back(text);
        };
        socket->onClose = [this] { ++closes; };
        socket->start();
    }
    ~Rig() {
        // Let work already on the socket's queue finish before the counters go.
        auto queue = socket->queue();
        socket.reset();
        queue->sync([] {});
    }
    std::vector<std::string> received() {
        std::lock_guard lock(mutex);
        return texts;
    }
    // Lets work already queued for the socket (closes, callbacks) run.
    void settle() { socket->queue()->sync([] {}); }

    std::shared_ptr<veltrane::testing::FakeConnection> connection = veltrane::testing::FakeConnection::create();
    std::shared_ptr<WebSocket> socket;
    std::mutex mutex;
    std::vector<std::string> texts;
    std::atomic<int> closes{0};
    std::atomic<int> released{0};
};
using veltrane::testing::kCloseNormal;
}  // namespace

TEST(WebSocketConnection, TextFramesWholeSplitAndTogether) {
    Rig rig;
    const std::string hello = clientFrame(1, "hello");
    rig.connection->deliver(hello.substr(0, 5));
    rig.settle();
    EXPECT_TRUE(rig.received().empty());
    rig.connection->deliver(hello.substr(5));
    ASSERT_TRUE(eventually([&] { return rig.received().size() == 1; }));
    rig.connection->deliver(clientFrame(1, "one") + clientFrame(1, "two"));
    ASSERT_TRUE(eventually([&] { return rig.received().size() == 3; }));
    EXPECT_EQ(rig.received(), (std::vector<std::string>{"hello", "one", "two"}));
    EXPECT_TRUE(rig.connection->sent().empty());
}

TEST(WebSocketConnection, InvalidUTF8BinaryAndPongsAreIgnored) {
    Rig rig;
    rig.connection->deliver(clientFrame(1, "\xC3\x28") + clientFrame(2, "bin") + clientFrame(10, "p") +
                            clientFrame(1, "after"));
    ASSERT_TRUE(eventually([&] { return rig.received().size() == 1; }));
    EXPECT_EQ(rig.received().front(), "after");
    EXPECT_TRUE(rig.connection->sent().empty());
}

TEST(WebSocketConnection, AFragmentedTextMessageArrivesWhole) {
    Rig rig;
    // As a browser sends a long message: a ping between the fragments, and a
    // character cut in two at a fragment's end.
    rig.connection->deliver(clientFrame(1, "{\"t\":\"\xC3", true, false) + clientFrame(9, "p") +
                            clientFrame(0, "\xBC", true, false));
    ASSERT_TRUE(eventually([&] { return rig.connection->sent().size() == 1; }));
    EXPECT_TRUE(rig.received().empty()) << "nothing before the final fragment";
    rig.connection->deliver(clientFrame(0, "\"}") + clientFrame(1, "after"));
    ASSERT_TRUE(eventually([&] { return rig.received().size() == 2; }));
    EXPECT_EQ(rig.received(), (std::vector<std::string>{"{\"t\":\"\xC3\xBC\"}", "after"}));
    EXPECT_EQ(rig.connection->sent(), std::vector<std::string>{bytes({0x8A, 0x01, 'p'})});
    EXPECT_FALSE(rig.socket->closed());
}

TEST(WebSocketConnection, PingIsAnsweredWithItsPayload) {
    Rig rig;
    rig.connection->deliver(clientFrame(9, "xy"));
    ASSERT_TRUE(eventually([&] { return rig.connection->sent().size() == 1; }));
    EXPECT_EQ(rig.connection->sent().front(), bytes({0x8A, 0x02, 'x', 'y'}));
    EXPECT_FALSE(rig.socket->closed());
}

TEST(WebSocketConnection, ProtocolViolationsCloseWith1000) {
    const std::pair<const char*, std::string> cases[] = {
        {"unmasked frame", clientFrame(1, "hi", false)},
        {"over-long frame", bytes({0x81, 0xFF, 0, 0, 0, 0, 0, 0x0F, 0x42, 0x41})},
        {"client close 1001", clientFrame(8, bytes({0x03, 0xE9}))},
        {"fragments joining past the limit",
         clientFrame(1, std::string(WebSocket::kMaxClientPayload, 'a'), true, false) + clientFrame(0, "b")},
    };
    for (const auto& [name, frame] : cases) {
        Rig rig;
        rig.connection->deliver(frame);
        ASSERT_TRUE(eventually([&] { return rig.released == 1; })) << name;
        EXPECT_EQ(rig.connection->sent(), std::vector<std::string>{kCloseNormal}) << name;
        EXPECT_EQ(rig.closes, 1) << name;
        EXPECT_TRUE(rig.socket->closed()) << name;
        EXPECT_GE(rig.connection->cancelCount(), 1) << name;
    }
}

TEST(WebSocketConnection, FramesBehindACloseAreStillHandled) {
    Rig rig;
    rig.connection->deliver(clientFrame(8, "") + clientFrame(1, "late"));
    ASSERT_TRUE(eventually([&] { return rig.released == 1; }));
    EXPECT_EQ(rig.received(), std::vector<std::string>{"late"});
}

TEST(WebSocketConnection, CloseSendsOnceThenNothing) {
    Rig rig;
    rig.socket->close(1001);
    rig.socket->close(1000);
    rig.socket->send("too late");
    rig.socket->ping();
    ASSERT_TRUE(eventually([&] { return rig.released == 1; }));
    rig.settle();
    EXPECT_EQ(rig.connection->sent(), std::vector<std::string>{bytes({0x88, 0x02, 0x03, 0xE9})});
    EXPECT_EQ(rig.closes, 1);
}

TEST(WebSocketConnection, PeerEndOfStreamClosesWithoutAFrameAndReleasesTheConnection) {
    Rig rig;
    rig.connection->endStream();
    ASSERT_TRUE(eventually([&] { return rig.released == 1; }));
    EXPECT_EQ(rig.closes, 1);
    EXPECT_TRUE(rig.connection->sent().empty());
    EXPECT_GE(rig.connection->cancelCount(), 1) << "the descriptor must not outlive the stream";
    rig.socket->close(1000);
    rig.settle();
    EXPECT_TRUE(rig.connection->sent().empty());
}

TEST(WebSocketConnection, ReplacedOnCloseAndTheServersHookBothRunOnce) {
    Rig rig;
    std::atomic<int> first{0}, second{0};
    rig.socket->onClose = [&] { ++first; };
    rig.socket->onClose = [&] { ++second; };  // a single slot: replaces the one before
    rig.connection->endStream();
    ASSERT_TRUE(eventually([&] { return rig.released == 1; }));
    EXPECT_EQ(first, 0);
    EXPECT_EQ(second, 1);
}

TEST(WebSocketConnection, SendPingAndJSON) {
    Rig rig;
    rig.socket->send("hi");
    rig.socket->ping();
    rig.socket->sendJSON(Json{{"type", "state"}, {"a", "b/c"}});
    ASSERT_TRUE(eventually([&] { return rig.connection->sent().size() == 3; }));
    auto sent = rig.connection->sent();
    EXPECT_EQ(sent[0], bytes({0x81, 0x02, 'h', 'i'}));
    EXPECT_EQ(sent[1], bytes({0x89, 0x00}));
    EXPECT_EQ(sent[2], WebSocket::encode(1, R"({"a":"b\/c","type":"state"})"));
}

TEST(WebSocketConnection, BytesReceivedWithTheUpgradeAreDecodedFirst) {
    auto connection = veltrane::testing::FakeConnection::create();
    auto socket = WebSocket::create(connection);
    std::mutex mutex;
    std::vector<std::string> texts;
    socket->onText = [&](const std::string& t) {
        std::lock_guard lock(mutex);
        texts.push_back(t);
    };
    socket->start(clientFrame(1, "early"));
    connection->deliver(clientFrame(1, "later"));
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(mutex);
        return texts.size() == 2;
    }));
    EXPECT_EQ(texts, (std::vector<std::string>{"early", "later"}));
}

TEST(WebSocketConnection, AClientThatStopsReadingIsClosedAtTheQueueLimit) {
    WebSocket::Limits limits;
    limits.maxQueuedBytes = 1000;
    Rig rig(limits);
    rig.connection->stall();
    const std::string text(600, 's');
    rig.socket->send(text);
    rig.settle();
    EXPECT_EQ(rig.closes, 0) << "under the limit";
    rig.socket->send(text);  // 1,208 bytes would wait
    ASSERT_TRUE(eventually([&] { return rig.released == 1; }));
    EXPECT_EQ(rig.closes, 1);
    EXPECT_TRUE(rig.socket->closed());
    EXPECT_GE(rig.connection->cancelCount(), 1);
    EXPECT_EQ(rig.connection->sent().size(), 1u) << "the second frame was never queued";
}

TEST(WebSocketConnection, OneMessageLargerThanTheLimitStillGoesOutAlone) {
    WebSocket::Limits limits;
    limits.maxQueuedBytes = 1000;
    Rig rig(limits);
    rig.connection->stall();
    rig.socket->send(std::string(1500, 'b'));
    rig.settle();
    EXPECT_EQ(rig.closes, 0);
    EXPECT_EQ(rig.connection->sent().size(), 1u);
    rig.socket->send("x");  // now behind a backlog past the limit
    ASSERT_TRUE(eventually([&] { return rig.released == 1; }));
    EXPECT_EQ(rig.closes, 1);
}

TEST(WebSocketConnection, CloseToAClientThatDoesNotReadEndsAfterTheGrace) {
    WebSocket::Limits limits;
    limits.closeGrace = 50ms;
    Rig rig(limits);
    rig.connection->stall();
    rig.socket->close(4001);
    ASSERT_TRUE(eventually([&] { return rig.released == 1; }));
    EXPECT_EQ(rig.closes, 1);
    EXPECT_GE(rig.connection->cancelCount(), 1);
    EXPECT_EQ(rig.connection->sent(), std::vector<std::string>{bytes({0x88, 0x02, 0x0F, 0xA1})});
}

TEST(WebSocketConnection, DroppingTheLastReferenceCancelsTheConnection) {
    auto connection = veltrane::testing::FakeConnection::create();
    {
        auto socket = WebSocket::create(connection);
        socket->start();
        ASSERT_TRUE(eventually([&] { return connection->receivePending(); }));
    }
    EXPECT_GE(connection->cancelCount(), 1);
}

TEST(WebSocketBroadcast, EveryOpenSocketGetsTheFrameBeforeItReturns) {
    // More sockets than one thread writes alone, so the network threads share them.
    constexpr std::size_t kSockets = 5 * WebSocket::kBroadcastSlice + 3;
    std::vector<std::shared_ptr<veltrane::testing::FakeConnection>> connections;
    std::vector<std::shared_ptr<WebSocket>> sockets;
    for (std::size_t i = 0; i < kSockets; ++i) {
        connections.push_back(veltrane::testing::FakeConnection::create());
        sockets.push_back(WebSocket::create(connections.back()));
    }
    sockets[3]->close(1000);
    const std::string state = R"({"payload":{},"type":"state"})";

    WebSocket::broadcast(sockets, state);
    // Whatever is sent to a socket afterwards follows the broadcast.
    for (auto& socket : sockets) socket->send("after");

    const std::vector<std::string> expected{WebSocket::encode(1, state), WebSocket::encode(1, "after")};
    for (std::size_t i = 0; i < kSockets; ++i) {
        if (i == 3)
            EXPECT_EQ(connections[i]->sent(), std::vector<std::string>{bytes({0x88, 0x02, 0x03, 0xE8})});
        else
            EXPECT_EQ(connections[i]->sent(), expected) << "socket " << i;
    }
    WebSocket::broadcast({}, state);  // nothing to do, nothing to fail
}
