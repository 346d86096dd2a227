#pragma once

#include <string>
#include <vector>

#include "ControlDeckCore/adapters/ScreenshotCapturing.h"

namespace veltrane::deck {

class FakeScreenshot : public ScreenshotCapturing {
public:
    PNGData capture(const std::string& mode) override {
        shots.push_back(mode);
        return png;
    }

    std::vector<std::string> shots;
    // The PNG signature alone: recognisably PNG, not a complete image.
    PNGData png = std::string("\x89PNG\r\n\x1A\n", 8);
};

}  // namespace veltrane::deck
