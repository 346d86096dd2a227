#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "ControlDeckCore/adapters/FakeClipboard.h"
#include "ControlDeckCore/adapters/FakeNetworkSampler.h"
#include "tests/ControlDeckCore/runtime/RuntimeFixture.h"

namespace veltrane::deck::testing {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

class RouteTable : public RuntimeFixture {};

struct RouteCase {
    const char* name;
    const char* method;
    const char* target;
    bool withSession;
    const char* body;
    int status;
    const char* code;  // the error code, or "" for a success or non-JSON answer
};

// Access rules and fall-through of the route table, over real HTTP.
TEST_F(RouteTable, AnswersEachRowWithItsAccessRule) {
    startRuntime();
    pair();
    const RouteCase cases[] = {
        {"options any path", "OPTIONS", "/anything/at/all", false, "", 204, ""},
        {"health needs no session", "GET", "/api/health", false, "", 200, ""},
        {"pairing info is open", "GET", "/api/pairing/info", false, "", 200, ""},
        {"begin always 401", "POST", "/api/pairing/begin", false, "", 401, "unpaired"},
        {"begin 401 with a session", "POST", "/api/pairing/begin", true, "{}", 401, "unpaired"},
        {"qr always 404", "GET", "/api/pairing/qr.png", false, "", 404, "not_found"},
        {"qr 404 with a session", "GET", "/api/pairing/qr.png", true, "", 404, "not_found"},
        {"wait without request id", "GET", "/api/pairing/wait", false, "", 404, "not_found"},
        {"wait with unknown id", "GET", "/api/pairing/wait?requestId=nope", false, "", 404, "not_found"},
        {"approve needs a session", "POST", "/api/pairing/approve", false, "{\"id\":\"x\"}", 401, "unpaired"},
        {"approve non-JSON is 400", "POST", "/api/pairing/approve", true, "nope", 400, "malformed_payload"},
        {"approve without id", "POST", "/api/pairing/approve", true, "{}", 400, "malformed_payload"},
        {"approve unknown id", "POST", "/api/pairing/approve", true, "{\"id\":\"x\"}", 404, "not_found"},
        {"deny unknown id", "POST", "/api/pairing/deny", true, "{\"id\":\"x\"}", 404, "not_found"},
        {"session array body", "POST", "/api/session", false, "[]", 400, "malformed_payload"},
        {"session missing token", "POST", "/api/session", false, "{\"deviceId\":\"x\"}", 400, "malformed_payload"},
        {"session unknown device", "POST", "/api/session", false, "{\"deviceId\":\"x\",\"deviceToken\":\"y\"}", 401,
         "unpaired"},
        {"session non-JSON is 422", "POST", "/api/session", false, "nope", 422, "invalid_state"},
        {"state without bearer", "GET", "/api/state", false, "", 401, "unpaired"},
        {"state with bearer", "GET", "/api/state", true, "", 200, ""},
        {"delete state never checks session", "DELETE", "/api/state", false, "", 404, "not_found"},
        {"delete state with session", "DELETE", "/api/state", true, "", 404, "not_found"},
        {"command needs a session", "POST", "/api/command", false, "{}", 401, "unpaired"},
        {"command non-JSON is 400", "POST", "/api/command", true, "nope", 400, "malformed_payload"},
        {"command array is 400", "POST", "/api/command", true, "[]", 400, "malformed_payload"},
        {"layout needs a session", "GET", "/api/layout", false, "", 401, "unpaired"},
        {"apps needs a session", "GET", "/api/apps", false, "", 401, "unpaired"},
        {"settings needs a session", "GET", "/api/settings", false, "", 401, "unpaired"},
        {"devices needs a session", "GET", "/api/devices", false, "", 401, "unpaired"},
        {"actions needs a session", "GET", "/api/actions", false, "", 401, "unpaired"},
        {"files needs a session", "GET", "/api/files", false, "", 401, "unpaired"},
        {"mirroring needs a session", "POST", "/api/veltrane/mirroring", false, "", 401, "unpaired"},
        {"icon needs a session", "GET", "/api/apps/com.apple.Safari/icon", false, "", 401, "unpaired"},
        {"icon of empty id", "GET", "/api/apps/icon", true, "", 404, "not_found"},
        {"icon the fake has none", "GET", "/api/apps/com.apple.Safari/icon", true, "", 404, "not_found"},
        {"screenshot needs a session", "GET", "/api/screenshots/x", false, "", 401, "unpaired"},
        {"screenshot not a uuid", "GET", "/api/screenshots/not-a-uuid", true, "", 404, "not_found"},
        {"rename needs a session", "PATCH", "/api/devices/x", false, "{}", 401, "unpaired"},
        {"rename unknown device", "PATCH", "/api/devices/x", true, "{\"name\":\"n\"}", 404, "not_found"},
        {"rename non-JSON is 422", "PATCH", "/api/devices/x", true, "nope", 422, "invalid_state"},
        {"rename array is 400", "PATCH", "/api/devices/x", true, "[]", 400, "malformed_payload"},
        {"revoke needs a session", "DELETE", "/api/devices/x", false, "", 401, "unpaired"},
        {"settings put array", "PUT", "/api/settings", true, "[]", 400, "malformed_payload"},
        {"settings put non-JSON", "PUT", "/api/settings", true, "nope", 422, "invalid_state"},
        {"actions put non-JSON", "PUT", "/api/actions", true, "nope", 422, "invalid_state"},
        {"actions put text", "PUT", "/api/actions", true, "\"x\"", 400, "malformed_payload"},
        {"layout put array", "PUT", "/api/layout", true, "[]", 400, "malformed_payload"},
        {"post to unknown api path", "POST", "/api/nothing", true, "", 404, "not_found"},
        {"put to unknown path", "PUT", "/elsewhere", false, "", 404, "not_found"},
        {"lower-case method matches nothing", "get", "/api/state", true, "", 404, "not_found"},
        {"get of unknown api path goes to static", "GET", "/api/nothing", false, "", 404, ""},
    };
    for (const RouteCase& c : cases) {
        SCOPED_TRACE(c.name);
        HTTPReply reply = request(c.method, c.target, c.body, c.withSession ? bearer(tablet.session) : HeaderList{});
        EXPECT_EQ(reply.status, c.status) << reply.body;
        if (*c.code != '\0') {
            EXPECT_EQ(body(reply)["error"]["code"], c.code) << reply.body;
            EXPECT_EQ(body(reply)["ok"], false);
        }
    }
}

// A clipboard read from another program (the selection's owner), as the
// computer's own is.
class OwnedClipboard : public FakeClipboard {
public:
    bool readsAtOnce() const override { return false; }
};

// Only reads of the runtime's own records may be answered by a connection's
// thread; everything else waits its turn on the runtime queue, and icons are
// drawn off it.
TEST_F(RouteTable, OnlyReadsThatWaitOnNoOtherProgramArePlacedAsBrief) {
    adapters.clipboard = std::make_shared<OwnedClipboard>();
    startRuntime();
    const auto place = DeckRuntime::requestQueue(runtime);
    auto placed = [&](const std::string& method, const std::string& path) {
        HTTPRequest request;
        request.method = method;
        request.path = path;
        return place(request);
    };
    struct Case {
        std::string method, path;
        bool onRuntime, brief;
    };
    const Case cases[] = {
        {"GET", "/api/state", true, true},  // the clipboard is off
        {"GET", "/api/settings", true, true},
        {"GET", "/api/layout", true, true},
        {"GET", "/api/devices", true, true},
        {"GET", "/api/actions", true, true},
        {"GET", "/api/pairing/info", true, true},
        {"PUT", "/api/settings", true, false},
        {"POST", "/api/command", true, false},
        {"GET", "/api/apps", true, false},
        {"GET", "/api/screenshots/0F6B3E2A-7C1D-4E55-9A0B-2D3C4E5F6A7B", true, false},
        {"get", "/api/state", true, false},
        {"GET", "/api/apps/org.example.App/icon", false, false},
    };
    for (const Case& c : cases) {
        const HTTPServer::Placement placement = placed(c.method, c.path);
        ASSERT_EQ(placement.queue != nullptr, c.onRuntime) << c.method << " " << c.path;
        if (placement.queue) {
            EXPECT_EQ(placement.queue->label(), "deck.runtime") << c.path;
        }
        EXPECT_EQ(placement.brief, c.brief) << c.method << " " << c.path;
    }

    // With the clipboard on, building the state reads it from its owner.
    DeckSettings settings = runtime->settings();
    settings.clipboardEnabled = true;
    runtime->setSettings(settings);
    EXPECT_FALSE(placed("GET", "/api/state").brief);
    EXPECT_TRUE(placed("GET", "/api/settings").brief);
    settings.clipboardEnabled = false;
    runtime->setSettings(settings);
    EXPECT_TRUE(placed("GET", "/api/state").brief);
}

TEST_F(RouteTable, OptionsAnswersEmptyWithCORSLines) {
    startRuntime();
    HTTPReply reply = request("OPTIONS", "/api/state");
    EXPECT_EQ(reply.status, 204);
    EXPECT_EQ(reply.body, "");
    EXPECT_EQ(reply.headers["access-control-allow-origin"], "*");
    EXPECT_EQ(reply.headers["connection"], "close");
}

TEST_F(RouteTable, UnknownApiGetIsTheStaticPlainTextNotFound) {
    startRuntime();
    HTTPReply reply = request("GET", "/api/nothing");
    EXPECT_EQ(reply.status, 404);
    EXPECT_EQ(reply.headers["content-type"], "text/plain; charset=utf-8");
    EXPECT_EQ(reply.body, "Dashboard assets are missing. Build the dashboard and restart Veltrane Control Deck.");
}

TEST_F(RouteTable, NonJSONPairingBodyIsTheGeneralFailureAndLogged) {
    std::vector<std::string> lines;
    std::mutex mutex;
    runtime = DeckRuntime::create(optionsFor(data.path()), adapters);
    runtime->setOnLog([&](const std::string& line) {
        std::lock_guard lock(mutex);
        lines.push_back(line);
    });
    runtime->start();
    HTTPReply reply = request("POST", "/api/pairing/request", "this is not json");
    EXPECT_EQ(reply.status, 422);
    EXPECT_EQ(reply.body,
              R"({"error":{"code":"invalid_state","message":"The Mac could not complete that action."},"ok":false})");
    std::lock_guard lock(mutex);
    bool logged = false;
    for (const std::string& line : lines) logged = logged || line.rfind("[deck] handler error: ", 0) == 0;
    EXPECT_TRUE(logged);
}

TEST_F(RouteTable, HealthReportsNameServerIdPortAndCode) {
    startRuntime();
    Json health = body(request("GET", "/api/health"))["data"];
    EXPECT_EQ(health["name"], "Test Desk");
    EXPECT_EQ(health["port"], runtime->port());
    EXPECT_EQ(health["pairing"], false);
    EXPECT_EQ(health["serverId"].get<std::string>().size(), 36u);
    runtime->beginPairing();
    EXPECT_EQ(body(request("GET", "/api/health"))["data"]["pairing"], true);
}

TEST_F(RouteTable, PairingInfoAlwaysNeedsPairing) {
    startRuntime();
    pair();
    Json info = body(request("GET", "/api/pairing/info"))["data"];
    EXPECT_EQ(info["needsPairing"], true);
    EXPECT_TRUE(info["addresses"].is_array());
    EXPECT_EQ(info["name"], "Test Desk");
}

TEST_F(RouteTable, AddressesComeFromTheAdapterSet) {
    auto network = fake<FakeNetworkSampler>();
    ASSERT_TRUE(network);
    network->ip = "10.1.2.3";
    startRuntime();
    EXPECT_EQ(body(request("GET", "/api/pairing/info"))["data"]["addresses"], Json::array({"10.1.2.3"}));
    const std::string port = std::to_string(runtime->port());
    EXPECT_EQ(runtime->dashboardURLs(),
              (std::vector<std::string>{"http://127.0.0.1:" + port + "/", "http://10.1.2.3:" + port + "/"}));
}

TEST_F(RouteTable, HandlerAnswersStoppingOnceTheRuntimeIsGone) {
    startRuntime();
    std::function<HTTPServer::Handler> handler = DeckRuntime::requestHandler(runtime);
    runtime->stop();
    runtime.reset();
    HTTPRequest request;
    request.method = "GET";
    request.path = "/api/state";
    HTTPResponse response = handler(request);
    EXPECT_EQ(response.status, 503);
    EXPECT_EQ(response.body, "stopping");
    EXPECT_EQ(response.headers["Content-Type"], "text/plain; charset=utf-8");
}

// Health and OPTIONS read published values: a busy runtime queue never
// holds them up.
TEST_F(RouteTable, HealthAndOptionsAnswerWhileTheRuntimeQueueIsBusy) {
    startRuntime();
    std::mutex mutex;
    std::condition_variable changed;
    bool entered = false, release = false;
    runtime->setOnStateChange([&](const DeckState&) {
        std::unique_lock lock(mutex);
        entered = true;
        changed.notify_all();
        changed.wait(lock, [&] { return release; });
    });
    std::thread busy([&] { runtime->updateSettings(runtime->settings()); });
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return entered; });
    }
    EXPECT_EQ(request("GET", "/api/health").status, 200);
    EXPECT_EQ(request("OPTIONS", "/api/state").status, 204);
    {
        std::lock_guard lock(mutex);
        release = true;
    }
    changed.notify_all();
    busy.join();
}

TEST_F(RouteTable, SuccessfulEnvelopeHasSortedKeys) {
    startRuntime();
    pair();
    EXPECT_THAT(authed("GET", "/api/settings").body, StartsWith("{\"data\":{"));
    EXPECT_THAT(authed("GET", "/api/settings").body, HasSubstr("\"ok\":true}"));
}

}  // namespace
}  // namespace veltrane::deck::testing
