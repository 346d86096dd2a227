#pragma once
// A picture in NV12: a full-size luma plane followed by one plane of
// interleaved Cb/Cr at half width and half height. Full range, BT.709.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace veltrane::video {

struct PixelBuffer {
    PixelBuffer(int w, int h)
        : width(w), height(h), bytes(static_cast<std::size_t>(w) * h + static_cast<std::size_t>(w) * ((h + 1) / 2)) {}

    int width;
    int height;
    std::vector<std::uint8_t> bytes;

    int lumaStride() const { return width; }
    int chromaStride() const { return width; }
    std::uint8_t* luma() { return bytes.data(); }
    std::uint8_t* chroma() { return bytes.data() + static_cast<std::size_t>(width) * height; }
    const std::uint8_t* luma() const { return bytes.data(); }
    const std::uint8_t* chroma() const { return bytes.data() + static_cast<std::size_t>(width) * height; }

    // Black in full range: luma 0, chroma at its middle.
    void fillBlack();
};

}  // namespace veltrane::video
