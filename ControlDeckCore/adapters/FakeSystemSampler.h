#pragma once

#include <optional>

#include "ControlDeckCore/adapters/SystemSampling.h"

namespace veltrane::deck {

class FakeSystemSampler : public SystemSampling {
public:
    SystemSample sample() override { return {cpu, memory, battery, charging, uptime}; }

    double cpu = 0.24;
    double memory = 0.61;
    std::optional<double> battery = 0.78;
    bool charging = false;
    double uptime = 12000.0;
};

}  // namespace veltrane::deck
