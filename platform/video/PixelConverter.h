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
Rect fitRect(std::int64_t sourceWidth, std::int64_t sourceHeight, int width, int height);

// A rectangle of a display in its own pixels, from its top-left corner; it
// may reach past the display on any side.
struct SourceRect {
    std::int64_t x = 0, y = 0, width = 0, height = 0;
};

// The part of `source` that lies on an `outputWidth` x `outputHeight`
// display (`capture`, in the display's pixels), and where that part lands
// when the whole of `source` is fitted into a `width` x `height` picture
// (`target`). Both are empty when nothing of the display would show: the
// picture stays black.
struct SourcePlacement {
    Rect capture;
    Rect target;
};
SourcePlacement placeSource(const SourceRect& source, int outputWidth, int outputHeight, int width, int height);

// The converter of same-size pictures, our own: 2 x 2 chroma averaging in
// fixed point. `width` and `height` are even.
void convertBGRAToNV12(const std::uint8_t* bgra, int bgraStride, int width, int height, std::uint8_t* luma,
                       int lumaStride, std::uint8_t* chroma, int chromaStride);

// NV12's interleaved chroma rows into the two planes of I420: `pairs`
// Cb/Cr pairs of one row.
void splitChroma(const std::uint8_t* interleaved, int pairs, std::uint8_t* cb, std::uint8_t* cr);

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
    // The same into `rect` of `out` (even offsets and sizes) instead of the
    // fitted rectangle.
    bool convert(const std::uint8_t* bgra, int stride, int width, int height, PixelBuffer& out, Rect rect);

private:
    SwsContext* scaler_ = nullptr;
};

// swscale's own conversion (bilinear, BT.709, full range) of a same-size or
// scaled picture into `rect` of `out`; the reference our converter is held to.
bool swscaleBGRAToNV12(SwsContext*& context, const std::uint8_t* bgra, int stride, int width, int height,
                       PixelBuffer& out, Rect rect);

}  // namespace veltrane::video
