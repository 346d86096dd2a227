// The state a tablet reads and is pushed: written straight to text on the
// canned adapters (what the route and the socket send), read back as a Json
// value (buildState), the text rule over that value, and the whole
// GET /api/state answer through the request handler. Peers measured in the
// same run: nlohmann's own dump() of the same value (the tree writer's floor)
// and a copy of the finished answer (what serving it from a file costs, as
// nginx does).
#include <benchmark/benchmark.h>

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>

#include "ControlDeckCore/adapters/AdapterSet.h"
#include "ControlDeckCore/runtime/DeckRuntime.h"
#include "ControlDeckCore/shared/JSON.h"

using namespace veltrane::deck;

namespace {

// A started runtime on the Fake set with three paired tablets, one of them
// holding the session the benchmarks use.
class Host {
public:
    Host() {
        char pattern[] = "/tmp/state-bench-XXXXXX";
        if (!mkdtemp(pattern)) throw std::runtime_error("mkdtemp failed");
        directory_ = pattern;
        RuntimeOptions options;
        options.port = 0;
        options.dataDirectory = directory_;
        options.useFakeAdapters = true;
        options.deviceName = "Bench Desk";
        options.bindLoopbackOnly = true;
        options.autoApprovePairing = true;
        runtime = DeckRuntime::create(std::move(options));
        runtime->start();
        handler = DeckRuntime::requestHandler(runtime);
        for (const char* name : {"Kitchen", "Studio", "Bench"}) session = pair(name);
    }
    ~Host() {
        runtime->stop();
        runtime.reset();
        std::filesystem::remove_all(directory_);
    }

    HTTPResponse call(const std::string& method, const std::string& path, const std::string& body = {},
                      const std::string& bearer = {}) {
        HTTPRequest request;
        request.method = method;
        request.path = path;
        request.body = body;
        request.remoteHost = "127.0.0.1";
        if (!bearer.empty()) request.headers["authorization"] = "Bearer " + bearer;
        return handler(request);
    }

    std::shared_ptr<DeckRuntime> runtime;
    std::function<HTTPServer::Handler> handler;
    std::string session;

private:
    Json data(const HTTPResponse& response) {
        std::optional<Json> parsed = JSON::parse(response.body);
        if (response.status != 200 || !parsed) throw std::runtime_error("pairing failed: " + response.body);
        return (*parsed)["data"];
    }
    std::string pair(const std::string& name) {
        const PairingOffer offer = runtime->beginPairing();
        Json paired =
            data(call("POST", "/api/pairing/request",
                      JSON::text(Json{{"code", offer.code}, {"deviceName", name}, {"deviceKind", "tablet"}})));
        Json opened =
            data(call("POST", "/api/session",
                      JSON::text(Json{{"deviceId", paired["deviceId"]}, {"deviceToken", paired["deviceToken"]}})));
        return opened["session"];
    }

    std::filesystem::path directory_;
};

Host& host() {
    static Host shared;
    return shared;
}

}  // namespace

static void BM_StateTextDirect(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(host().runtime->stateText());
    state.counters["bytes"] = static_cast<double>(host().runtime->stateText().size());
}
BENCHMARK(BM_StateTextDirect);

// The text and its reading back into a tree.
static void BM_BuildState(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(host().runtime->buildState());
}
BENCHMARK(BM_BuildState);

static void BM_StateText(benchmark::State& state) {
    const Json answer{{"ok", true}, {"data", host().runtime->buildState()}};
    for (auto _ : state) benchmark::DoNotOptimize(JSON::text(answer));
}
BENCHMARK(BM_StateText);

static void BM_Peer_NlohmannDumpOfState(benchmark::State& state) {
    const Json answer{{"ok", true}, {"data", host().runtime->buildState()}};
    for (auto _ : state) benchmark::DoNotOptimize(answer.dump());
}
BENCHMARK(BM_Peer_NlohmannDumpOfState);

// The route as the server calls it: session check, the state written into
// its envelope, and the bytes written to the socket.
static void BM_StateAnswer(benchmark::State& state) {
    Host& h = host();
    for (auto _ : state)
        benchmark::DoNotOptimize(HTTPServer::responseBytes(h.call("GET", "/api/state", {}, h.session)));
}
BENCHMARK(BM_StateAnswer);

static void BM_Peer_CopyOfTheAnswer(benchmark::State& state) {
    Host& h = host();
    const std::string bytes = HTTPServer::responseBytes(h.call("GET", "/api/state", {}, h.session));
    for (auto _ : state) benchmark::DoNotOptimize(std::string(bytes));
}
BENCHMARK(BM_Peer_CopyOfTheAnswer);
