#include "ControlDeckCore/adapters/MacSystemSampler.h"

#include <algorithm>

namespace veltrane::deck {

MacSystemSampler::MacSystemSampler(sys::HostStatistics host, Clock clock)
    : host_(std::move(host)), clock_(std::move(clock)), prevCPU_(host_.processorTicks().value_or(sys::ProcessorTicks{})) {}

SystemSample MacSystemSampler::sample() {
    SystemSample sample;
    {
        std::lock_guard lock(mutex_);
        auto now = clock_();
        if (lastSampleAt_ && now - *lastSampleAt_ < std::chrono::duration<double>(kProcessorInterval)) {
            sample.cpu = lastCPU_;
        } else {
            lastSampleAt_ = now;
            lastCPU_ = processorLoad();
            sample.cpu = lastCPU_;
        }
    }
    sample.memory = memory();
    battery(sample);
    sample.uptime = host_.uptime().value_or(0.0);
    return sample;
}

// Needs mutex_.
double MacSystemSampler::processorLoad() {
    auto ticks = host_.processorTicks();
    if (!ticks) return lastCPU_;
    // Differences wrap like the 32-bit counters themselves.
    std::uint32_t user = ticks->user - prevCPU_.user;
    std::uint32_t system = ticks->system - prevCPU_.system;
    std::uint32_t idle = ticks->idle - prevCPU_.idle;
    std::uint32_t nice = ticks->nice - prevCPU_.nice;
    prevCPU_ = *ticks;
    double busy = static_cast<double>(user) + system + nice;
    double total = busy + idle;
    return total > 0 ? busy / total : lastCPU_;
}

double MacSystemSampler::memory() const {
    auto usage = host_.memory();
    if (!usage || usage->totalBytes == 0) return 0.0;
    return std::min(1.0, static_cast<double>(usage->usedBytes) / static_cast<double>(usage->totalBytes));
}

void MacSystemSampler::battery(SystemSample& sample) const {
    sample.battery = std::nullopt;
    sample.charging = false;
    auto sources = host_.powerSources();
    if (!sources) return;
    for (const auto& source : *sources) {
        if (!source.currentCapacity || !source.maxCapacity || *source.maxCapacity < 1) continue;
        sample.battery = static_cast<double>(*source.currentCapacity) / static_cast<double>(*source.maxCapacity);
        sample.charging = source.isCharging.value_or(false);
        return;
    }
}

}  // namespace veltrane::deck
