#pragma once
// Screenshots of the whole screen or of the active window, as PNG.

#include <cstdint>
#include <filesystem>
#include <functional>

#include "ControlDeckCore/adapters/ScreenshotCapturing.h"

namespace veltrane::deck {

class MacScreenshot : public ScreenshotCapturing {
public:
    // A file this small cannot hold an image.
    static constexpr std::uintmax_t kMaxUnusableBytes = 32;

    // Writes a PNG of the screen (or with `true` the active window) to a new
    // file at the path; false when nothing could be captured.
    using Capturer = std::function<bool(bool activeWindow, const std::filesystem::path& file)>;

    MacScreenshot();
    explicit MacScreenshot(Capturer capturer) : capturer_(std::move(capturer)) {}

    // Mode exactly "window": the active window when there is one; anything
    // else the whole screen. The image passes through a file readable only
    // by us, in a folder of its own, and both are gone when this returns.
    // No display to capture, or no usable image: permissionDenied "Screen
    // Recording".
    PNGData capture(const std::string& mode) override;

private:
    Capturer capturer_;
};

}  // namespace veltrane::deck
