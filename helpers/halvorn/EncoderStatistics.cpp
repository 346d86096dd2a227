#include "helpers/halvorn/EncoderStatistics.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>

namespace veltrane::halvorn {

std::optional<std::string> EncoderStatistics::record(std::int64_t nowNs, double latencySeconds) {
    ++frames_;
    if (std::isfinite(latencySeconds) && latencySeconds < kLatencyLimitSeconds)
        latenciesMs_.push_back(latencySeconds * 1000.0);
    std::int64_t elapsed = nowNs - startedAt_;
    if (elapsed < kWindowNs) return std::nullopt;
    double rate = static_cast<double>(frames_) * 1'000'000'000.0 / static_cast<double>(elapsed);
    double mean = 0.0, p95 = 0.0;
    if (!latenciesMs_.empty()) {
        std::sort(latenciesMs_.begin(), latenciesMs_.end());
        mean = std::accumulate(latenciesMs_.begin(), latenciesMs_.end(), 0.0) / static_cast<double>(latenciesMs_.size());
        p95 = latenciesMs_[static_cast<std::size_t>(static_cast<double>(latenciesMs_.size() - 1) * 0.95)];
    }
    char line[160];
    std::snprintf(line, sizeof line, "Encoder %.1f fps; capture-to-encode %.1f ms mean, %.1f ms p95\n", rate, mean, p95);
    startedAt_ = nowNs;
    frames_ = 0;
    latenciesMs_.clear();
    return std::string(line);
}

}  // namespace veltrane::halvorn
