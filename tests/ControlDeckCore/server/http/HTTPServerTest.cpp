// The server over real loopback sockets: what a handler receives, what a
// client reads back, and how connections end.
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <future>
#include <mutex>
#include <thread>
#include <vector>

#include "ControlDeckCore/server/http/HTTPServer.h"
#include "platform/process/Shell.h"
#include "platform/dispatch/DispatchQueue.h"
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

namespace {

// Answers every request with what the handler saw, and where it ran.
HTTPResponse echo(const HTTPRequest& request) {
    Json headers = Json::object();
    for (const auto& [k, v] : request.headers) headers[k] = v;
    Json query = Json::object();
    for (const auto& [k, v] : request.query) query[k] = v;
    auto bearer = request.bearer();
    return HTTPResponse::json(200, Json{{"method", request.method},
                                        {"path", request.path},
                                        {"query", query},
                                        {"headers", headers},
                                        {"body", request.body},
                                        {"remoteHost", request.remoteHost},
                                        {"bearer", bearer ? Json(*bearer) : Json()},
                                        {"queue", dispatch::DispatchQueue::currentLabel()}});
}

// Installs echo() and counts its calls.
std::shared_ptr<std::atomic<int>> countingEcho(HTTPServer& server) {
    auto calls = std::make_shared<std::atomic<int>>(0);
    server.handler = [calls](const HTTPRequest& request) {
        ++*calls;
        return echo(request);
    };
    return calls;
}

std::optional<Json> echoed(std::uint16_t port, const std::string& request) {
    auto raw = veltrane::testing::exchange(port, request);
    if (!raw) return std::nullopt;
    auto response = veltrane::testing::parseResponse(*raw);
    if (!response) return std::nullopt;
    return JSON::parse(response->body);
}

using veltrane::testing::kCloseNormal;
using veltrane::testing::kExpected101;
using veltrane::testing::kKey;
using veltrane::testing::kUpgrade;

}  // namespace

TEST(HTTPServer, HandlerReceivesTheRequestAsParsed) {
    ServerRig rig;
    rig.server->handler = echo;
    ASSERT_NE(rig.start(), 0);
    struct Case {
        const char* name;
        std::string request;
        Json expected;  // members the echo must hold
    } cases[] = {
        {"headers", "GET /h HTTP/1.1\r\nContent-Type:  text/plain \t\r\nX-Twice: 1\r\nX-Twice: 2\r\n\r\n",
         {{"headers", {{"content-type", "text/plain"}, {"x-twice", "2"}}},
          {"remoteHost", "127.0.0.1"},
          {"queue", "deck.http.work"}}},
        {"query", "GET /x?k=1&k=2&flag&v=%E2%9C%93&p=a+b&%6B=v&bad=%zz HTTP/1.1\r\n\r\n",
         {{"path", "/x"},
          {"query", {{"k", "2"}, {"flag", ""}, {"v", "\u2713"}, {"p", "a+b"}, {"%6B", "v"}, {"bad", "%zz"}}}}},
        {"trailing slash", "GET /api/state/ HTTP/1.1\r\n\r\n", {{"path", "/api/state"}}},
        {"two slashes", "GET // HTTP/1.1\r\n\r\n", {{"path", "/"}}},
        {"encoded space", "GET /a%20b HTTP/1.1\r\n\r\n", {{"path", "/a b"}}},
        {"question mark only", "GET ? HTTP/1.1\r\n\r\n", {{"path", "/"}, {"query", Json::object()}}},
        {"body with +5", "POST /p HTTP/1.1\r\nContent-Length: +5\r\n\r\n12345", {{"body", "12345"}}},
        {"letters as length", "POST /p HTTP/1.1\r\nContent-Length: abc\r\n\r\nxyz", {{"body", ""}}},
        {"negative length", "POST /p HTTP/1.1\r\nContent-Length: -1\r\n\r\nxyz", {{"body", ""}}},
        {"bearer", "GET /b HTTP/1.1\r\nAuthorization: Bearer  tok \r\n\r\n", {{"bearer", "tok"}}},
        {"session fallback", "GET /b HTTP/1.1\r\nAuthorization: Basic eA==\r\nX-Deck-Session: s1\r\n\r\n",
         {{"bearer", "s1"}}},
        {"no headers, no bearer", "GET /b HTTP/1.1\r\n\r\n", {{"bearer", nullptr}, {"headers", Json::object()}}},
        {"lower-case get is not upgraded",
         "get /ws HTTP/1.1\r\nUpgrade: websocket\r\nSec-WebSocket-Key: abc\r\n\r\n",
         {{"method", "get"}, {"path", "/ws"}, {"queue", "deck.http.work"}}},
        {"/ws without upgrade header", "GET /ws HTTP/1.1\r\nConnection: Upgrade\r\n\r\n", {{"path", "/ws"}}},
        {"OPTIONS on the connection's queue", "OPTIONS /anything HTTP/1.1\r\n\r\n",
         {{"method", "OPTIONS"}, {"queue", "deck.http.conn"}}},
        {"health on the connection's queue", "GET /api/health HTTP/1.1\r\n\r\n", {{"queue", "deck.http.conn"}}},
        {"health needs exact GET", "get /api/health HTTP/1.1\r\n\r\n", {{"queue", "deck.http.work"}}},
        {"health needs the exact path", "GET /api/health/ HTTP/1.1\r\n\r\n",
         {{"path", "/api/health"}, {"queue", "deck.http.conn"}}},
    };
    for (const auto& c : cases) {
        auto json = echoed(rig.port, c.request);
        ASSERT_TRUE(json.has_value()) << c.name;
        for (const auto& [key, value] : c.expected.items()) EXPECT_EQ((*json)[key], value) << c.name << ": " << key;
    }
}

TEST(HTTPServer, APlacedHandlerRunsAsItsQueuesWorkAndAnswersTheSameBytes) {
    ServerRig rig;
    rig.server->handler = [](const HTTPRequest& request) {
        return request.path == "/same" ? HTTPResponse::ok(Json{{"same", true}}) : echo(request);
    };
    auto serial = dispatch::SerialQueue::create("deck.runtime");
    rig.server->handlerQueue = [serial](const HTTPRequest& request) -> std::shared_ptr<dispatch::DispatchQueue> {
        if (request.path == "/elsewhere") return nullptr;
        return serial;
    };
    ASSERT_NE(rig.start(), 0);
    const std::pair<std::string, std::string> cases[] = {
        {"/placed", "deck.runtime"}, {"/elsewhere", "deck.http.work"}, {"/api/health", "deck.http.conn"}};
    for (const auto& [path, queue] : cases) {
        auto json = echoed(rig.port, "GET " + path + " HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(json.has_value()) << path;
        EXPECT_EQ((*json)["queue"], queue) << path;
    }
    // Placement changes where the handler runs, never what is written.
    auto placed = veltrane::testing::exchange(rig.port, "GET /same HTTP/1.1\r\n\r\n");
    rig.server->handlerQueue = nullptr;
    serial->sync([] {});  // nothing of the placed request is left on its queue
    auto unplaced = veltrane::testing::exchange(rig.port, "GET /same HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(placed && unplaced);
    EXPECT_EQ(*placed, *unplaced);
}

// Brief work is taken by the connection's own thread when its queue is idle,
// and waits its turn on the queue when it is not; either way it runs as the
// queue's work and writes the same bytes.
TEST(HTTPServer, BriefPlacedWorkRunsWhereTheQueueIsFreeAndAsItsWork) {
    ServerRig rig;
    auto serial = dispatch::SerialQueue::create("deck.runtime");
    std::promise<std::thread::id> queueThread;
    serial->async([&] { queueThread.set_value(std::this_thread::get_id()); });
    const std::thread::id serialThread = queueThread.get_future().get();
    struct Run {
        std::thread::id thread;
        std::string label;
    };
    std::mutex mutex;
    std::vector<Run> runs;
    rig.server->handler = [&](const HTTPRequest&) {
        std::lock_guard lock(mutex);
        runs.push_back({std::this_thread::get_id(), dispatch::DispatchQueue::currentLabel()});
        return HTTPResponse::ok(Json{{"same", true}});
    };
    rig.server->handlerQueue = [serial](const HTTPRequest&) { return HTTPServer::Placement(serial, true); };
    ASSERT_NE(rig.start(), 0);
    const std::string request = "GET /brief HTTP/1.1\r\n\r\n";

    ASSERT_TRUE(eventually([&] { return serial->runIfIdle([] {}); }));  // its thread has gone idle
    auto idle = veltrane::testing::exchange(rig.port, request);

    // Busy: the request waits for the queue and is answered from its thread.
    std::promise<void> release;
    std::promise<void> holding;
    serial->async([&] {
        holding.set_value();
        release.get_future().wait();
    });
    holding.get_future().wait();
    auto busyAnswer = std::async(std::launch::async, [&] { return veltrane::testing::exchange(rig.port, request); });
    EXPECT_EQ(busyAnswer.wait_for(200ms), std::future_status::timeout) << "answered while the queue was busy";
    release.set_value();
    auto busy = busyAnswer.get();

    ASSERT_TRUE(idle && busy);
    EXPECT_EQ(*idle, *busy);
    std::lock_guard lock(mutex);
    ASSERT_EQ(runs.size(), 2u);
    EXPECT_NE(runs[0].thread, serialThread);
    EXPECT_EQ(runs[0].label, "deck.runtime");
    EXPECT_EQ(runs[1].thread, serialThread);
    EXPECT_EQ(runs[1].label, "deck.runtime");
}

TEST(HTTPServer, EveryAnswerCarriesLengthCloseAndCrossOriginLines) {
    ServerRig rig;
    rig.server->handler = [](const HTTPRequest& request) {
        int status = std::stoi(request.path.substr(1));
        return HTTPResponse{status, {{"X-Own", "1"}, {"connection", "keep-alive"}}, "body"};
    };
    ASSERT_NE(rig.start(), 0);
    const std::pair<int, const char*> cases[] = {
        {200, "OK"},           {204, "No Content"}, {400, "Bad Request"},     {401, "Unauthorized"},
        {403, "Forbidden"},    {404, "Not Found"},  {409, "Conflict"},        {413, "Payload Too Large"},
        {422, "Unprocessable Entity"},              {500, "Error"},           {206, "Error"},
    };
    const std::map<std::string, std::string> expectedHeaders = {
        {"X-Own", "1"},
        {"Content-Length", "4"},
        {"Connection", "close"},
        {"Access-Control-Allow-Origin", "*"},
        {"Access-Control-Allow-Headers", "Authorization, Content-Type, X-Deck-Session"},
        {"Access-Control-Allow-Methods", "GET, POST, PUT, PATCH, DELETE, OPTIONS"},
    };
    for (const auto& [status, phrase] : cases) {
        auto raw = veltrane::testing::exchange(rig.port, "GET /" + std::to_string(status) + " HTTP/1.1\r\n\r\n");
        ASSERT_TRUE(raw.has_value()) << status;
        auto response = veltrane::testing::parseResponse(*raw);
        ASSERT_TRUE(response.has_value()) << *raw;
        EXPECT_EQ(response->statusLine, "HTTP/1.1 " + std::to_string(status) + " " + phrase);
        EXPECT_EQ(response->headers, expectedHeaders) << status;
        EXPECT_EQ(response->body, "body");
    }
}

TEST(HTTPServer, DefaultHandlerAnswersNotFound) {
    ServerRig rig;
    ASSERT_NE(rig.start(), 0);
    auto response = veltrane::testing::parseResponse(veltrane::testing::exchange(rig.port, "GET /x HTTP/1.1\r\n\r\n").value_or(""));
    ASSERT_TRUE(response.has_value());
    EXPECT_EQ(response->statusLine, "HTTP/1.1 404 Not Found");
    EXPECT_EQ(response->headers.at("Content-Type"), "text/plain; charset=utf-8");
    EXPECT_EQ(response->body, "not found");
}

TEST(HTTPServer, OversizedContentLengthIsRefusedFromTheHeadAlone) {
    ServerRig rig;
    auto calls = countingEcho(*rig.server);
    ASSERT_NE(rig.start(), 0);
    auto socket = LoopbackSocket::connect(rig.port);
    // The head only: the answer must not wait for a body that never comes.
    ASSERT_TRUE(socket.sendAll("POST /api/files/inbox HTTP/1.1\r\nContent-Length: 1572865\r\n\r\n"));
    auto raw = socket.readToEnd();
    ASSERT_TRUE(raw.has_value()) << "no answer before the guard ran out";
    auto response = veltrane::testing::parseResponse(*raw);
    ASSERT_TRUE(response.has_value()) << *raw;
    EXPECT_EQ(response->statusLine, "HTTP/1.1 413 Payload Too Large");
    EXPECT_EQ(response->body,
              R"({"error":{"code":"payload_too_large","message":"That file is larger than the 256 MB limit."},"ok":false})");
    EXPECT_EQ(response->headers.at("Connection"), "close");
    EXPECT_EQ(*calls, 0);

    auto atLimit = veltrane::testing::exchange(rig.port, "POST /u HTTP/1.1\r\nContent-Length: 1572864\r\n\r\n" +
                                                std::string(1'572'864, 'b'));
    ASSERT_TRUE(atLimit.has_value());
    EXPECT_EQ(atLimit->rfind("HTTP/1.1 200 OK\r\n", 0), 0u);
    EXPECT_EQ(*calls, 1);
}

TEST(HTTPServer, IncompleteRequestsAreDroppedWithoutAnAnswer) {
    ServerRig rig;
    auto calls = countingEcho(*rig.server);
    ASSERT_NE(rig.start(), 0);

    auto halfHead = LoopbackSocket::connect(rig.port);
    ASSERT_TRUE(halfHead.sendAll("GET / HTTP/1.1\r\nHost: x\r\n"));
    EXPECT_TRUE(halfHead.silentFor(200ms)) << "a head without its blank line is not answered";
    halfHead.shutdownWrite();
    EXPECT_EQ(halfHead.readToEnd(), std::optional<std::string>("")) << "closed once the client is done";

    auto notUTF8 = LoopbackSocket::connect(rig.port);
    ASSERT_TRUE(notUTF8.sendAll("GET /\xff HTTP/1.1\r\n\r\n"));
    notUTF8.shutdownWrite();
    EXPECT_EQ(notUTF8.readToEnd(), std::optional<std::string>(""));

    // Past 1,605,632 bytes without a complete request the server gives up.
    auto flood = LoopbackSocket::connect(rig.port);
    std::string head = "GET / HTTP/1.1\r\nX-Fill: " + std::string(HTTPServer::kMaxIncompleteBuffer, 'a');
    flood.sendAll(head);  // may fail part-way once the server has closed
    EXPECT_EQ(flood.readToEnd(), std::optional<std::string>(""));
    EXPECT_EQ(*calls, 0);
}

TEST(HTTPServer, ARequestMustArriveBeforeItsDeadline) {
    auto options = ServerRig::options();
    options.requestDeadline = 300ms;
    ServerRig rig(options);
    rig.server->handler = echo;
    ASSERT_NE(rig.start(), 0);
    auto slow = LoopbackSocket::connect(rig.port);
    ASSERT_TRUE(slow.sendAll("GET / HTTP/1.1\r\n"));
    EXPECT_EQ(slow.readToEnd(), std::optional<std::string>("")) << "dropped silently after the deadline";
    // A request that completes in time is answered as usual.
    EXPECT_TRUE(echoed(rig.port, "GET /api/health HTTP/1.1\r\n\r\n").has_value());
}

TEST(HTTPServer, OnlyTheFirstRequestOfAConnectionIsServed) {
    ServerRig rig;
    auto calls = countingEcho(*rig.server);
    ASSERT_NE(rig.start(), 0);
    auto raw = veltrane::testing::exchange(rig.port, "GET /one HTTP/1.1\r\n\r\nGET /two HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(raw.has_value());
    auto response = veltrane::testing::parseResponse(*raw);
    ASSERT_TRUE(response.has_value()) << *raw;
    EXPECT_EQ(JSON::parse(response->body).value_or(Json())["path"], "/one");
    EXPECT_EQ(*calls, 1);
}

TEST(HTTPServer, AThrowingHandlerClosesTheConnectionAndIsLogged) {
    ServerRig rig;
    rig.server->handler = [](const HTTPRequest&) -> HTTPResponse { throw std::runtime_error("boom"); };
    ASSERT_NE(rig.start(), 0);
    EXPECT_EQ(veltrane::testing::exchange(rig.port, "GET /x HTTP/1.1\r\n\r\n"), std::optional<std::string>(""));
    auto lines = ServerRig::log().all();
    EXPECT_NE(std::find(lines.begin(), lines.end(), "[deck] request handler failed: boom"), lines.end());
}

TEST(HTTPServer, OptionsAndHealthAreAnsweredWhileEveryWorkThreadIsBlocked) {
    auto options = ServerRig::options();
    options.workThreads = 2;
    ServerRig rig(options);
    std::mutex mutex;
    std::condition_variable changed;
    int blocked = 0;
    bool release = false;
    rig.server->handler = [&](const HTTPRequest& request) {
        if (request.path == "/block") {
            std::unique_lock lock(mutex);
            ++blocked;
            changed.notify_all();
            changed.wait(lock, [&] { return release; });
        }
        return echo(request);
    };
    ASSERT_NE(rig.start(), 0);
    std::vector<LoopbackSocket> waiting;
    for (int i = 0; i < 3; ++i) {  // two fill the work threads, one waits behind them
        waiting.push_back(LoopbackSocket::connect(rig.port));
        ASSERT_TRUE(waiting.back().sendAll("POST /block HTTP/1.1\r\n\r\n"));
    }
    {
        std::unique_lock lock(mutex);
        ASSERT_TRUE(changed.wait_for(lock, 20s, [&] { return blocked == 2; }));
    }
    auto options1 = echoed(rig.port, "OPTIONS /api/command HTTP/1.1\r\n\r\n");
    auto health = echoed(rig.port, "GET /api/health HTTP/1.1\r\n\r\n");
    {
        std::lock_guard lock(mutex);
        release = true;
        changed.notify_all();
    }
    ASSERT_TRUE(options1.has_value());
    ASSERT_TRUE(health.has_value());
    EXPECT_EQ((*options1)["queue"], "deck.http.conn");
    EXPECT_EQ((*health)["queue"], "deck.http.conn");
    for (auto& socket : waiting) {
        auto raw = socket.readToEnd();
        ASSERT_TRUE(raw.has_value());
        EXPECT_EQ(raw->rfind("HTTP/1.1 200 OK", 0), 0u);
    }
}

TEST(HTTPServer, BindingAPortInUseReportsAddressInUse) {
    ServerRig first;
    ASSERT_NE(first.start(), 0);
    ServerRig second;
    EXPECT_EQ(second.start(first.port), 0) << "onReady(0) on failure";
    EXPECT_TRUE(second.server->bindFailed());
    EXPECT_EQ(second.server->bindError(), std::optional<std::string>("address in use"));
    EXPECT_EQ(second.server->port(), 0);
    // The first server is untouched, and the second can bind elsewhere.
    auto answer = veltrane::testing::exchange(first.port, "GET /api/health HTTP/1.1\r\n\r\n");
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->rfind("HTTP/1.1 404 Not Found", 0), 0u);
    EXPECT_NE(second.start(), 0);
    EXPECT_FALSE(second.server->bindFailed());
    EXPECT_EQ(second.server->bindError(), std::nullopt);
}

TEST(HTTPServer, StopReleasesThePortAndRestartServes) {
    ServerRig rig;
    rig.server->handler = echo;
    ASSERT_NE(rig.start(), 0);
    const auto port = rig.port;
    rig.server->stop();
    EXPECT_FALSE(LoopbackSocket::tryConnect(port).valid()) << "nothing listens after stop()";
    ASSERT_EQ(rig.start(port), port);
    EXPECT_TRUE(echoed(port, "GET /again HTTP/1.1\r\n\r\n").has_value());
}

// --- WebSocket upgrade -----------------------------------------------------

namespace {
// A server whose WebSockets the runtime-like table takes.
class HTTPServerWebSocket : public ::testing::Test {
protected:
    void SetUp() override {
        clients.install(*rig.server);
        ASSERT_NE(rig.start(), 0);
    }
    ServerRig rig;
    veltrane::testing::RuntimeClients clients;
};

LoopbackSocket upgraded(std::uint16_t port, const std::string& extra = {}) {
    auto socket = LoopbackSocket::connect(port);
    socket.sendAll(kUpgrade + extra);
    auto head = socket.readHead();
    EXPECT_EQ(head, std::optional<std::string>(kExpected101));
    return socket;
}
}  // namespace

TEST_F(HTTPServerWebSocket, UpgradeAnswersExactlyAndEchoes) {
    // A frame sent right behind the handshake is not lost.
    auto socket = upgraded(rig.port, clientFrame(1, "early"));
    EXPECT_EQ(socket.readExactly(7), std::optional<std::string>(bytes({0x81, 0x05}) + "early"));
    socket.sendAll(clientFrame(1, "hello"));
    EXPECT_EQ(socket.readExactly(7), std::optional<std::string>(bytes({0x81, 0x05}) + "hello"));
    ASSERT_TRUE(eventually([&] { return rig.server->clientCount() == 1; }));
}

TEST_F(HTTPServerWebSocket, UpgradeHeaderInAnyLetterCase) {
    auto socket = LoopbackSocket::connect(rig.port);
    socket.sendAll(std::string("GET /ws HTTP/1.1\r\nupgrade: WebSocket\r\nsec-websocket-key: ") + kKey + "\r\n\r\n");
    EXPECT_EQ(socket.readHead(), std::optional<std::string>(kExpected101));
}

TEST(HTTPServerWebSocketUpgrade, MissingKeyIsRefusedWith400) {
    ServerRig rig;
    std::atomic<int> upgrades{0};
    rig.server->wsHandler = [&](const HTTPRequest&, std::shared_ptr<WebSocket>) { ++upgrades; };
    ASSERT_NE(rig.start(), 0);
    auto raw = veltrane::testing::exchange(rig.port, "GET /ws HTTP/1.1\r\nUpgrade: websocket\r\n\r\n");
    ASSERT_TRUE(raw.has_value());
    auto response = veltrane::testing::parseResponse(*raw);
    ASSERT_TRUE(response.has_value()) << *raw;
    EXPECT_EQ(response->statusLine, "HTTP/1.1 400 Bad Request");
    EXPECT_EQ(response->body, "missing websocket key");
    EXPECT_EQ(response->headers.at("Content-Type"), "text/plain; charset=utf-8");
    EXPECT_EQ(response->headers.at("Access-Control-Allow-Origin"), "*");
    EXPECT_EQ(response->headers.at("Connection"), "close");
    EXPECT_EQ(upgrades, 0);
}

TEST_F(HTTPServerWebSocket, AnUnmaskedFrameGetsTheNormalCloseFrameThenEndOfStream) {
    auto socket = upgraded(rig.port);
    socket.sendAll(clientFrame(1, "hi", /*masked=*/false));
    EXPECT_EQ(socket.readToEnd(), std::optional<std::string>(kCloseNormal));
    ASSERT_TRUE(eventually([&] { return rig.server->clientCount() == 0 && clients.size() == 0; }));
    EXPECT_EQ(clients.closed(), 1);
}

TEST_F(HTTPServerWebSocket, RuntimeAndServerCloseCallbacksBothRunOnPeerEndOfStream) {
    {
        auto socket = upgraded(rig.port);
        ASSERT_TRUE(eventually([&] { return rig.server->clientCount() == 1 && clients.size() == 1; }));
    }  // the client just drops the connection
    ASSERT_TRUE(eventually([&] { return rig.server->clientCount() == 0 && clients.size() == 0; }));
    EXPECT_EQ(clients.closed(), 1);
}

TEST_F(HTTPServerWebSocket, StopClosesEverySocketWith1000) {
    std::vector<LoopbackSocket> sockets;
    for (int i = 0; i < 3; ++i) sockets.push_back(upgraded(rig.port));
    ASSERT_TRUE(eventually([&] { return rig.server->clientCount() == 3; }));
    rig.server->stop();
    EXPECT_EQ(rig.server->clientCount(), 0u);
    for (auto& socket : sockets) EXPECT_EQ(socket.readToEnd(), std::optional<std::string>(kCloseNormal));
    ASSERT_TRUE(eventually([&] { return clients.size() == 0; }));
}

TEST(HTTPServerWebSocketUpgrade, StopClosesSocketsThatOnlyTheServerHolds) {
    ServerRig rig;
    std::atomic<int> upgrades{0};
    rig.server->wsHandler = [&](const HTTPRequest&, std::shared_ptr<WebSocket>) { ++upgrades; };
    ASSERT_NE(rig.start(), 0);
    std::vector<LoopbackSocket> sockets;
    for (int i = 0; i < 3; ++i) sockets.push_back(upgraded(rig.port));
    ASSERT_TRUE(eventually([&] { return rig.server->clientCount() == 3; }));
    rig.server->stop();
    for (auto& socket : sockets) EXPECT_EQ(socket.readToEnd(), std::optional<std::string>(kCloseNormal));
    EXPECT_EQ(upgrades, 3);
}

TEST(HTTPServerWebSocketQueue, AClientThatStopsReadingIsClosedAndOthersCarryOn) {
    ServerRig rig;
    struct Named {
        std::mutex mutex;
        std::map<std::string, std::shared_ptr<WebSocket>> sockets;
        std::map<std::string, int> closes;
    };
    auto named = std::make_shared<Named>();
    rig.server->wsHandler = [named](const HTTPRequest& request, std::shared_ptr<WebSocket> socket) {
        const std::string name = request.query.at("name");
        std::weak_ptr<WebSocket> weak = socket;
        socket->onText = [weak](const std::string& text) {
            if (auto s = weak.lock()) s->send(text);
        };
        socket->onClose = [weakNamed = std::weak_ptr<Named>(named), name] {
            auto named = weakNamed.lock();
            if (!named) return;
            std::lock_guard lock(named->mutex);
            ++named->closes[name];
        };
        std::lock_guard lock(named->mutex);
        named->sockets[name] = socket;
    };
    ASSERT_NE(rig.start(), 0);
    auto connect = [&](const std::string& name) {
        auto socket = LoopbackSocket::connect(rig.port);
        std::string request = kUpgrade;
        request.replace(request.find("/ws"), 3, "/ws?name=" + name);
        socket.sendAll(request);
        EXPECT_EQ(socket.readHead(), std::optional<std::string>(kExpected101));
        return socket;
    };
    auto reader = connect("reader");
    auto sleeper = connect("sleeper");  // never reads
    std::shared_ptr<WebSocket> toReader, toSleeper;
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(named->mutex);
        return named->sockets.size() == 2;
    }));
    {
        std::lock_guard lock(named->mutex);
        toReader = named->sockets["reader"];
        toSleeper = named->sockets["sleeper"];
    }
    // 48 MiB is far beyond the kernel's buffers and the 8 MiB limit.
    const std::string chunk(64 * 1024, 's');
    for (int i = 0; i < 768 && !toSleeper->closed(); ++i) toSleeper->send(chunk);
    ASSERT_TRUE(eventually([&] {
        std::lock_guard lock(named->mutex);
        return named->closes["sleeper"] == 1;
    })) << "the socket of a client that reads nothing must close";

    // The other client is not affected: 4 MiB (under the limit) and an echo.
    const std::string block(64 * 1024, 'r');
    for (int i = 0; i < 64; ++i) toReader->send(block);
    const std::string frame = WebSocket::encode(WebSocket::kText, block);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(reader.readExactly(frame.size()), std::optional<std::string>(frame)) << i;
    reader.sendAll(clientFrame(1, "still here"));
    EXPECT_EQ(reader.readExactly(12), std::optional<std::string>(bytes({0x81, 0x0A}) + "still here"));
    std::lock_guard lock(named->mutex);
    EXPECT_EQ(named->closes["reader"], 0);
    EXPECT_FALSE(toReader->closed());
}

TEST_F(HTTPServerWebSocket, InteropWithPythonWebsockets) {
    auto result = process::Shell::run("/usr/bin/python3",
                             {VELTRANE_SOURCE_DIR "/tools/ws_interop_client.py",
                              "ws://127.0.0.1:" + std::to_string(rig.port) + "/ws"},
                             60);
    EXPECT_EQ(result.status, 0) << result.stdout << result.stderr;
    EXPECT_EQ(result.stdout, "echo:ok\npong:xy\nclose:1000\n") << result.stderr;
    ASSERT_TRUE(eventually([&] { return rig.server->clientCount() == 0 && clients.size() == 0; }));
}
