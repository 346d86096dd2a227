#pragma once

#include <chrono>
#include <functional>
#include <mutex>
#include <optional>

#include "ControlDeckCore/adapters/SystemSampling.h"
#include "platform/system/HostStatistics.h"

namespace veltrane::deck {

// Processor load, memory use, battery and uptime of the host. The processor
// is read at most every 2.0 s; samples closer together repeat the last load,
// so a fast poll never measures over a tiny interval. The first load covers
// the time since construction.
class MacSystemSampler : public SystemSampling {
public:
    static constexpr double kProcessorInterval = 2.0;
    using Clock = std::function<std::chrono::steady_clock::time_point()>;

    explicit MacSystemSampler(sys::HostStatistics host = sys::HostStatistics(),
                              Clock clock = [] { return std::chrono::steady_clock::now(); });

    SystemSample sample() override;

private:
    double processorLoad();
    double memory() const;
    void battery(SystemSample& sample) const;

    const sys::HostStatistics host_;
    const Clock clock_;
    // The runtime samples from one queue, but nothing here relies on it.
    std::mutex mutex_;
    sys::ProcessorTicks prevCPU_;
    double lastCPU_ = 0;
    std::optional<std::chrono::steady_clock::time_point> lastSampleAt_;  // none: the distant past
};

}  // namespace veltrane::deck
