#pragma once

#include <vector>

#include "ControlDeckCore/adapters/BrightnessControlling.h"

namespace veltrane::deck {

class FakeBrightnessAdapter : public BrightnessControlling {
public:
    std::vector<DisplayOutput> displays() override { return items; }
    void setBrightness(double level, const std::string& displayId) override;

    std::vector<DisplayOutput> items = {
        {"built-in", "Built-in Display", 0.8, true},
        {"external", "External Display", 0.55, false},
    };
};

}  // namespace veltrane::deck
