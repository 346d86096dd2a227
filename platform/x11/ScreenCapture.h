#pragma once
// Captures what the display server shows, in process (Xlib's GetImage on the
// root window).

#include <filesystem>
#include <optional>

#include "platform/image/PNGImage.h"

namespace veltrane::x11 {

struct ScreenCapture {
    // The whole screen, or with `activeWindow` the area of the window that
    // the window manager marks active (_NET_ACTIVE_WINDOW) with its frame;
    // the whole screen when there is none or it is not shown. None when no
    // display server is reachable or the server refused.
    static std::optional<image::RGBAImage> capture(bool activeWindow);

    // Captures and writes a PNG to `file`, which must not exist yet; it is
    // created readable by the owner only. False when nothing could be
    // captured or written (a partly written file is removed).
    static bool writePNG(bool activeWindow, const std::filesystem::path& file);
};

}  // namespace veltrane::x11
