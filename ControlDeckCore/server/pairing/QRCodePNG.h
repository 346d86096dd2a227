#pragma once

#include <string>
#include <string_view>

namespace veltrane::deck {

// The pairing URL as a scannable picture for the Mac's window.
struct QRCodePNG {
    // PNG bytes of `text` as a QR code (level M, 4-module quiet zone), each
    // module `scale` pixels square (rounded to whole pixels). Empty when
    // rendering fails: no text, text too long for a QR code, a scale below one
    // pixel or not a number, or an image too large to draw.
    static std::string make(std::string_view text, double scale);
};

}  // namespace veltrane::deck
