#pragma once
// BGRA (little-endian 32-bit X11 pixels, alpha ignored) into NV12, full
// range, BT.709. A picture of another size is scaled to fit the buffer,
// keeping its aspect and centred on black.

#include <cstdint>
#include <memory>

#include "platform/video/PixelBuffer.h"

struct SwsContext;

namespace veltrane::video {

struct Rect {
    int x = 0, y = 0, width = 0, height = 0;
    bool operator==(const Rect&) const = default;
};

// Where a `sourceWidth` x `sourceHeight` picture lands in a `width` x
// `height` buffer when fitted: even offsets and sizes, as 4:2:0 needs.
Rect fitRect(int sourceWidth, int sourceHeight, int width, int height);

// The converter of same-size pictures, our own: 2 x 2 chroma averaging in
// fixed point. `width` and `height` are even.
void convertBGRAToNV12(const std::uint8_t* bgra, int bgraStride, int width, int height, std::uint8_t* luma,
                       int lumaStride, std::uint8_t* chroma, int chromaStride);

// One converter per source size; not shared between threads.
class PixelConverter {
public:
    PixelConverter() = default;
    ~PixelConverter();
    PixelConverter(const PixelConverter&) = delete;
    PixelConverter& operator=(const PixelConverter&) = delete;

    // Converts (and when sizes differ scales) into `out`, whose borders
    // outside the fitted rectangle must already be black. Returns false when
    // the scaler cannot be set up.
    bool convert(const std::uint8_t* bgra, int stride, int width, int height, PixelBuffer& out);

private:
    SwsContext* scaler_ = nullptr;
};

// swscale's own conversion (bilinear, BT.709, full range) of a same-size or
// scaled picture into `rect` of `out`; the reference our converter is held to.
bool swscaleBGRAToNV12(SwsContext*& context, const std::uint8_t* bgra, int stride, int width, int height,
                       PixelBuffer& out, Rect rect);

}  // namespace veltrane::video
