// Bounded load on loopback: descriptors come back after many connections, and
// stalled peers cannot crowd out the health check.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <thread>

#include "ControlDeckCore/server/http/HTTPServer.h"
#include "tests/ControlDeckCore/server/http/FakeConnection.h"
#include "tests/ControlDeckCore/server/http/Frames.h"
#include "tests/ControlDeckCore/server/http/ServerRig.h"
#include "tests/support/Eventually.h"
#include "tests/support/LoopbackSocket.h"

using namespace veltrane;
using namespace veltrane::deck;
using namespace std::chrono_literals;
using veltrane::testing::bytes;
using veltrane::testing::clientFrame;
using veltrane::testing::eventually;
using veltrane::testing::LoopbackSocket;
using veltrane::testing::ServerRig;

using veltrane::testing::kCloseNormal;
using veltrane::testing::kUpgrade;

namespace {

// One connection's life, ending in one of three ways; false when it went wrong.
bool cycle(std::uint16_t port, int kind) {
    auto socket = LoopbackSocket::connect(port);
    if (!socket.valid() || !socket.sendAll(kUpgrade)) return false;
    auto head = socket.readHead();
    if (!head || head->rfind("HTTP/1.1 101 ", 0) != 0) return false;
    switch (kind % 3) {
    case 0:  // closing handshake from the client
        socket.sendAll(clientFrame(8, bytes({0x03, 0xE8})));
        return socket.readToEnd() == std::optional<std::string>(kCloseNormal);
    case 1:  // the client just goes away
        return true;
    default:  // the owner closes
        socket.sendAll(clientFrame(1, "bye"));
        return socket.readToEnd() == std::optional<std::string>(bytes({0x88, 0x02, 0x0F, 0xA1}));
    }
}
}  // namespace

TEST(HTTPServerLoad, TenThousandWebSocketCyclesLeaveDescriptorsAtBaseline) {
    ServerRig rig;
    veltrane::testing::RuntimeClients owner;  // says "bye" to close with 4001
    owner.install(*rig.server);
    ASSERT_NE(rig.start(), 0);
    for (int kind = 0; kind < 3; ++kind) ASSERT_TRUE(cycle(rig.port, kind));  // network threads and queues warmed up
    ASSERT_TRUE(eventually([&] { return rig.server->clientCount() == 0 && owner.size() == 0; }));
    const std::size_t baseline = veltrane::testing::openDescriptorCount();

    constexpr int kThreads = 4;
    constexpr int kCycles = 10'000;
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&, t] {
            for (int i = t; i < kCycles; i += kThreads)
                if (!cycle(rig.port, i)) ++failures;
        });
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures, 0);
    ASSERT_TRUE(eventually([&] { return rig.server->clientCount() == 0 && owner.size() == 0; }, 60s))
        << rig.server->clientCount() << " sockets still in the server's table, " << owner.size() << " in the owner's";
    // Descriptors of earlier work may still close meanwhile: never above the baseline.
    EXPECT_TRUE(eventually([&] { return veltrane::testing::openDescriptorCount() <= baseline; }, 60s))
        << veltrane::testing::openDescriptorCount() << " descriptors open, " << baseline << " before";
}

TEST(HTTPServerLoad, TwoThousandStalledConnectionsDoNotStopTheHealthCheck) {
    // Both ends live in this process: 2,000 clients and up to 1,024 server sides.
    if (!veltrane::testing::allowDescriptors(4'096)) GTEST_SKIP() << "the hard descriptor limit is below 4,096";
    ServerRig rig;  // default limits: 1,024 connections
    rig.server->handler = [](const HTTPRequest& request) {
        if (request.path == "/api/health") return HTTPResponse::ok(Json{{"name", "Deck"}});
        return HTTPResponse::err(DeckError::notFound());
    };
    ASSERT_NE(rig.start(), 0);
    constexpr int kStalled = 2'000;
    std::vector<LoopbackSocket> stalled;
    stalled.reserve(kStalled);
    for (int i = 0; i < kStalled; ++i) {
        stalled.push_back(LoopbackSocket::connect(rig.port));
        ASSERT_TRUE(stalled.back().sendAll("GET /api/state HTTP/1.1\r\nHost: x\r\n"));  // and never more
    }
    auto health = veltrane::testing::exchange(rig.port, "GET /api/health HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(health.has_value());
    EXPECT_EQ(health->rfind("HTTP/1.1 200 OK\r\n", 0), 0u) << *health;

    // The longest waiting made room. At least 976 were dropped (977 when the
    // kernel hands the connections over in the order they were made).
    auto droppedCount = [&] {
        int dropped = 0;
        for (auto& socket : stalled) {
            pollfd p{socket.fd(), POLLIN | POLLRDHUP, 0};
            if (::poll(&p, 1, 0) == 1 && (p.revents & (POLLRDHUP | POLLHUP | POLLIN))) ++dropped;
        }
        return dropped;
    };
    EXPECT_TRUE(eventually([&] { return droppedCount() >= kStalled - 1'024; }))
        << droppedCount() << " of " << kStalled << " dropped";
    EXPECT_LE(droppedCount(), kStalled + 1 - 1'024) << "only as many as the limit demands";
}

TEST(HTTPServerLoad, ConnectionCapacityLeavesDescriptorsToSpare) {
    constexpr std::size_t reserve = HTTPServer::kDescriptorReserve;
    struct Case {
        std::size_t wanted;
        std::optional<std::size_t> limit;
        std::size_t capacity;
    };
    const Case cases[] = {
        {1'024, std::nullopt, 1'024},             // unlimited
        {1'024, 1'048'576, 1'024},                // a roomy limit keeps the cap
        {1'024, 1'024 + reserve, 1'024},          // exactly enough
        {1'024, 1'024, 1'024 - reserve},          // the usual soft limit
        {1'024, 256, 128},                        // a small one keeps half for connections
        {1'024, 2 * reserve + 1, reserve + 1},
        {1'024, 2 * reserve, reserve},
        {1'024, 1, 1},                            // never none at all
        {1'024, 0, 1},
        {10, 1'024, 10},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(HTTPServer::connectionCapacity(c.wanted, c.limit), c.capacity)
            << c.wanted << " wanted, limit " << c.limit.value_or(0);
    }
}
