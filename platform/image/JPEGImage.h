#pragma once
// JPEG decoding and encoding (libjpeg-turbo underneath).

#include <optional>
#include <string>
#include <string_view>

#include "platform/image/RGBAImage.h"

namespace veltrane::image {

struct JPEGImage {
    // The size the frame header declares, read without decoding any pixel;
    // none when the bytes are not a JPEG stream with a frame header.
    static std::optional<ImageSize> size(std::string_view bytes);
    // RGBA with opaque alpha. Greyscale and colour (YCbCr, RGB) images are
    // read; CMYK ones and anything libjpeg rejects give none. A stream that
    // ends early still gives its image, the missing rows grey, as viewers
    // show it.
    static std::optional<RGBAImage> decode(std::string_view bytes);
    // Baseline JPEG of the pixels' colour (alpha is ignored) at a quality of
    // 1 to 100; none for an empty or inconsistent image.
    static std::optional<std::string> encode(const RGBAImage& image, int quality);
};

}  // namespace veltrane::image
