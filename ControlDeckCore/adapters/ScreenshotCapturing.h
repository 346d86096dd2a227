#pragma once

#include <string>

#include "ControlDeckCore/adapters/AdapterRecords.h"

namespace veltrane::deck {

class ScreenshotCapturing {
public:
    virtual ~ScreenshotCapturing() = default;
    // "window" captures the frontmost window, anything else the whole screen.
    virtual PNGData capture(const std::string& mode) = 0;
};

}  // namespace veltrane::deck
