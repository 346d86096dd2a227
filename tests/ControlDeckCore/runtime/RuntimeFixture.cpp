#include "tests/ControlDeckCore/runtime/RuntimeFixture.h"

#include <stdexcept>

#include "platform/system/UUID.h"

namespace veltrane::deck::testing {

TemporaryDirectory::TemporaryDirectory()
    : path_(std::filesystem::temp_directory_path() / ("veltrane-test-" + sys::uuidString())) {
    std::filesystem::create_directories(path_);
}

TemporaryDirectory::~TemporaryDirectory() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

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
