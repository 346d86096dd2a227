// JSON text and log redaction on the paths every response and log line takes.
// Peers measured in the same run: nlohmann's own dump() for the writer, and a
// plain copy of the line for redaction (the floor any scanner can reach).
#include <benchmark/benchmark.h>

#include "ControlDeckCore/shared/DeckLogger.h"
#include "ControlDeckCore/shared/JSON.h"

using namespace veltrane::deck;

namespace {
Json stateLike() {
    Json devices = Json::array();
    for (int i = 0; i < 8; ++i)
        devices.push_back({{"id", "2F1C8E7A-0000-4000-8000-00000000000" + std::to_string(i)},
                           {"name", "Tablet " + std::to_string(i)},
                           {"lastSeenAt", "2026-12-10T12:00:00Z"},
                           {"connected", i % 2 == 0}});
    return {{"ok", true},
            {"data",
             {{"devices", devices},
              {"volume", {{"level", 0.42}, {"muted", false}}},
              {"system", {{"cpu", 12.5}, {"memory", 63.25}, {"uptime", 123456}}},
              {"url", "http://192.168.1.10:8741/"}}}};
}

const std::string kLogLine =
    "POST /api/session deviceToken=\"Zq3lK9vB2xR7mN4pT8wY1cF6hJ0sD5gA\" from 192.168.1.23 Authorization: Bearer "
    "abcdefghijklmnopqrstuvwxyz012345";
}  // namespace

static void BM_JSONText(benchmark::State& state) {
    Json value = stateLike();
    for (auto _ : state) benchmark::DoNotOptimize(JSON::text(value));
}
BENCHMARK(BM_JSONText);

static void BM_Peer_NlohmannDump(benchmark::State& state) {
    Json value = stateLike();
    for (auto _ : state) benchmark::DoNotOptimize(value.dump());
}
BENCHMARK(BM_Peer_NlohmannDump);

static void BM_Redact(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(DeckLogger::redact(kLogLine));
}
BENCHMARK(BM_Redact);

static void BM_Peer_CopyLine(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(std::string(kLogLine));
}
BENCHMARK(BM_Peer_CopyLine);
