#pragma once
// PNG encoding and decoding of 8-bit RGBA pixels (libpng underneath).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::image {

// Straight (not premultiplied) RGBA, 4 bytes a pixel, rows top to bottom.
struct RGBAImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
};

struct PNGImage {
    // Larger images are refused rather than risking a huge allocation.
    static constexpr int kMaxSide = 1 << 15;

    // None when the image is empty, too large or inconsistent.
    static std::optional<std::string> encode(const RGBAImage& image);
    // 8-bit grey, one byte a pixel, rows top to bottom; none as above.
    static std::optional<std::string> encodeGray(int width, int height, const std::vector<std::uint8_t>& pixels);
    // None for anything that is not a complete, readable PNG.
    static std::optional<RGBAImage> decode(std::string_view bytes);
};

}  // namespace veltrane::image
