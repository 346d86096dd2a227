#include "tests/ControlDeckCore/runtime/RuntimeFixture.h"

#include <chrono>
#include <csignal>
#include <stdexcept>

#include "platform/process/ChildProcess.h"

namespace veltrane::deck::testing {

void RuntimeFixture::TearDown() {
    if (runtime) runtime->stop();
    runtime.reset();
}

RuntimeOptions RuntimeFixture::optionsFor(const std::filesystem::path& directory) const {
    RuntimeOptions options;
    options.port = 0;
    options.dataDirectory = directory;
    options.useFakeAdapters = true;
    options.deviceName = "Test Desk";
    options.bindLoopbackOnly = true;
    return options;
}

std::shared_ptr<DeckRuntime> RuntimeFixture::startRuntime(RuntimeOptions options) {
    runtime = DeckRuntime::create(std::move(options), adapters);
    runtime->start();
    return runtime;
}

HTTPReply RuntimeFixture::request(const std::string& method, const std::string& target, const std::string& body,
                                  const HeaderList& headers) const {
    return veltrane::testing::httpRequest(runtime->port(), method, target, body, headers);
}

Json RuntimeFixture::body(const HTTPReply& reply) {
    std::optional<Json> json = JSON::parse(reply.body);
    if (!json) throw std::runtime_error("not JSON: " + reply.body);
    return *json;
}

void RuntimeFixture::expectError(const HTTPReply& reply, int status, const std::string& code,
                                 const std::string& message) {
    EXPECT_EQ(reply.status, status) << reply.body;
    Json error = body(reply)["error"];
    EXPECT_EQ(error["code"], code);
    EXPECT_EQ(error["message"], message);
    EXPECT_EQ(body(reply)["ok"], false);
}

std::vector<Json> RuntimeFixture::runPeer(const std::vector<std::string>& steps,
                                          const std::function<void(const Json&)>& onEvent) {
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
    auto takeLines = [&] {
        for (std::size_t end; (end = out.find('\n')) != std::string::npos; out.erase(0, end + 1)) {
            std::optional<Json> line = JSON::parse(out.substr(0, end));
            if (!line) throw std::runtime_error("peer wrote: " + out);
            events.push_back(*line);
            if (onEvent) onEvent(*line);
        }
    };
    while (child->pump(std::chrono::milliseconds(200), [&](auto stream, const char* data, std::size_t size) {
        (stream == process::ChildProcess::Stream::out ? out : err).append(data, size);
    })) {
        takeLines();
        if (std::chrono::steady_clock::now() > giveUp) {
            child->sendSignal(SIGKILL);
            ADD_FAILURE() << "peer hung after " << events.size() << " observations";
            break;
        }
    }
    takeLines();
    EXPECT_TRUE(err.empty()) << err;
    EXPECT_TRUE(out.empty()) << "unfinished peer output: " << out;
    return events;
}

PairedTablet RuntimeFixture::pair(const std::string& name) {
    const PairingOffer offer = runtime->beginPairing();
    HTTPReply requested = request("POST", "/api/pairing/request",
                                  JSON::text(Json{{"code", offer.code}, {"deviceName", name}, {"deviceKind", "tablet"}}));
    if (requested.status != 200) throw std::runtime_error("pairing request failed: " + requested.body);
    const std::string requestId = body(requested)["data"]["requestId"];
    Json data = body(requested)["data"];
    if (data["status"] == "pending") {
        runtime->approvePairing(requestId);
        data = body(request("GET", "/api/pairing/wait?requestId=" + requestId))["data"];
    }
    PairedTablet paired{data["deviceId"], data["deviceToken"], {}};
    HTTPReply session = request("POST", "/api/session",
                                JSON::text(Json{{"deviceId", paired.deviceId}, {"deviceToken", paired.deviceToken}}));
    if (session.status != 200) throw std::runtime_error("session failed: " + session.body);
    paired.session = body(session)["data"]["session"];
    tablet = paired;
    return paired;
}

}  // namespace veltrane::deck::testing
