#pragma once
// Decoded pixels as the image codecs hand them over.

#include <cstdint>
#include <vector>

namespace veltrane::image {

// Straight (not premultiplied) RGBA, 4 bytes a pixel, rows top to bottom.
struct RGBAImage {
    int width = 0;
    int height = 0;
    std::vector<std::uint8_t> pixels;
};

// An image's size in pixels, as its header declares it.
struct ImageSize {
    int width = 0;
    int height = 0;
};

}  // namespace veltrane::image
