#pragma once

#include <string>
#include <vector>

#include "ControlDeckCore/adapters/AdapterRecords.h"

namespace veltrane::deck {

class BrightnessControlling {
public:
    virtual ~BrightnessControlling() = default;

    virtual std::vector<DisplayOutput> displays() = 0;
    // Level clamped to 0 to 1; unknown display id: DeckError::notFound.
    virtual void setBrightness(double level, const std::string& displayId) = 0;
};

}  // namespace veltrane::deck
