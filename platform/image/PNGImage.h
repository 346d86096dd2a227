#pragma once
// PNG encoding and decoding of 8-bit RGBA pixels (libpng underneath).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/image/RGBAImage.h"

namespace veltrane::image {

struct PNGImage {
    // Larger images are refused rather than risking a huge allocation.
    static constexpr int kMaxSide = 1 << 15;

    // None when the image is empty, too large or inconsistent.
    static std::optional<std::string> encode(const RGBAImage& image);
    // 8-bit grey, one byte a pixel, rows top to bottom; none as above.
    static std::optional<std::string> encodeGray(int width, int height, const std::vector<std::uint8_t>& pixels);
    // The size the header declares, read without decoding any pixel; none
    // when the bytes do not start a PNG.
    static std::optional<ImageSize> size(std::string_view bytes);
    // None for anything that is not a complete, readable PNG.
    static std::optional<RGBAImage> decode(std::string_view bytes);
};

}  // namespace veltrane::image
