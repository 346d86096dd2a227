#pragma once
// QR codes rendered as PNG images (libqrencode and libpng underneath).

#include <cstddef>
#include <string>
#include <string_view>

namespace veltrane::image {

// Quiet zone around the code, in modules (the width scanners expect).
inline constexpr int kQuietZoneModules = 4;
// The most bytes any QR code holds (version 40, level L); longer texts are
// refused before encoding.
inline constexpr std::size_t kMaxTextBytes = 2953;
// Largest image side in pixels; a bigger request fails rather than allocating
// hundreds of megabytes for one picture.
inline constexpr int kMaxImageSide = 8192;

// `text`'s bytes as a QR code of error-correction level M in byte mode,
// smallest version that holds them, each module `moduleSize` pixels square,
// black on white, 8-bit grey PNG. Empty when the text does not fit a QR code
// or is empty, when `moduleSize` is below 1, when the image would exceed
// kMaxImageSide, or when encoding fails.
std::string qrCodePNG(std::string_view text, int moduleSize);

}  // namespace veltrane::image
