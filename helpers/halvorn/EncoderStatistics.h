#pragma once
// Encoder statistics in windows of at least 2 s: frame rate, and the mean
// and 95th percentile of capture-to-encode latency. Not locked: its owner
// serialises the calls.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltrane::halvorn {

class EncoderStatistics {
public:
    static constexpr std::int64_t kWindowNs = 2'000'000'000;
    // Latencies this long (or not finite) count as frames but not as latencies.
    static constexpr double kLatencyLimitSeconds = 5.0;

    explicit EncoderStatistics(std::int64_t startNs) : startedAt_(startNs) {}

    // One encoded frame at `nowNs`. When it closes a window: the statistics
    // line, and a new window begins.
    std::optional<std::string> record(std::int64_t nowNs, double latencySeconds);

private:
    std::int64_t startedAt_;
    std::int64_t frames_ = 0;
    std::vector<double> latenciesMs_;
};

}  // namespace veltrane::halvorn
