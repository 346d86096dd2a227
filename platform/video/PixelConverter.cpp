#include "platform/video/PixelConverter.h"

#include <algorithm>
#include <cstring>

extern "C" {
#include <libswscale/swscale.h>
}

namespace veltrane::video {

void PixelBuffer::fillBlack() {
    std::size_t lumaSize = static_cast<std::size_t>(width) * height;
    std::memset(bytes.data(), 0, lumaSize);
    std::memset(bytes.data() + lumaSize, 128, bytes.size() - lumaSize);
}

Rect fitRect(int sourceWidth, int sourceHeight, int width, int height) {
    if (sourceWidth <= 0 || sourceHeight <= 0 || width <= 0 || height <= 0) return {};
    // Compare w/W with h/H without floating point.
    long long fitW = width, fitH = height;
    if (static_cast<long long>(sourceWidth) * height > static_cast<long long>(sourceHeight) * width)
        fitH = static_cast<long long>(sourceHeight) * width / sourceWidth;
    else
        fitW = static_cast<long long>(sourceWidth) * height / sourceHeight;
    int w = std::max(2, static_cast<int>(fitW) & ~1);
    int h = std::max(2, static_cast<int>(fitH) & ~1);
    w = std::min(w, width & ~1);
    h = std::min(h, height & ~1);
    return {((width - w) / 2) & ~1, ((height - h) / 2) & ~1, w, h};
}

namespace {

// BT.709 full range in 16-bit fixed point; each row of coefficients sums to
// 65536 (luma) or 0 (chroma), so white and black map exactly.
constexpr int kYR = 13933, kYG = 46871, kYB = 4732;
constexpr int kUR = -7509, kUG = -25259, kUB = 32768;
constexpr int kVR = 32768, kVG = -29764, kVB = -3004;

inline std::uint8_t clampByte(int v) { return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v)); }

inline std::uint8_t lumaOf(const std::uint8_t* p) {
    return static_cast<std::uint8_t>((kYR * p[2] + kYG * p[1] + kYB * p[0] + 32768) >> 16);
}

}  // namespace

void convertBGRAToNV12(const std::uint8_t* bgra, int bgraStride, int width, int height, std::uint8_t* luma,
                       int lumaStride, std::uint8_t* chroma, int chromaStride) {
    // Two rows at a time: each pair yields one chroma row, so every source
    // pixel is read once.
    for (int y = 0; y + 1 < height; y += 2) {
        const std::uint8_t* top = bgra + static_cast<std::ptrdiff_t>(y) * bgraStride;
        const std::uint8_t* bottom = top + bgraStride;
        std::uint8_t* yTop = luma + static_cast<std::ptrdiff_t>(y) * lumaStride;
        std::uint8_t* yBottom = yTop + lumaStride;
        std::uint8_t* uv = chroma + static_cast<std::ptrdiff_t>(y / 2) * chromaStride;
        for (int x = 0; x + 1 < width; x += 2) {
            const std::uint8_t* a = top + 4 * x;
            const std::uint8_t* b = bottom + 4 * x;
            yTop[x] = lumaOf(a);
            yTop[x + 1] = lumaOf(a + 4);
            yBottom[x] = lumaOf(b);
            yBottom[x + 1] = lumaOf(b + 4);
            int sb = a[0] + a[4] + b[0] + b[4];
            int sg = a[1] + a[5] + b[1] + b[5];
            int sr = a[2] + a[6] + b[2] + b[6];
            // Sums of four pixels: two more bits of scale to take off.
            uv[x] = clampByte((kUR * sr + kUG * sg + kUB * sb + (128 << 18) + (1 << 17)) >> 18);
            uv[x + 1] = clampByte((kVR * sr + kVG * sg + kVB * sb + (128 << 18) + (1 << 17)) >> 18);
        }
    }
}

bool swscaleBGRAToNV12(SwsContext*& context, const std::uint8_t* bgra, int stride, int width, int height,
                       PixelBuffer& out, Rect rect) {
    context = sws_getCachedContext(context, width, height, AV_PIX_FMT_BGRA, rect.width, rect.height,
                                   AV_PIX_FMT_NV12, SWS_BILINEAR, nullptr, nullptr, nullptr);
    if (context == nullptr) return false;
    const int* bt709 = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(context, bt709, 1, bt709, 1, 0, 1 << 16, 1 << 16);
    const std::uint8_t* src[4] = {bgra, nullptr, nullptr, nullptr};
    int srcStride[4] = {stride, 0, 0, 0};
    std::uint8_t* dst[4] = {out.luma() + static_cast<std::ptrdiff_t>(rect.y) * out.lumaStride() + rect.x,
                            out.chroma() + static_cast<std::ptrdiff_t>(rect.y / 2) * out.chromaStride() + rect.x,
                            nullptr, nullptr};
    int dstStride[4] = {out.lumaStride(), out.chromaStride(), 0, 0};
    return sws_scale(context, src, srcStride, 0, height, dst, dstStride) == rect.height;
}

PixelConverter::~PixelConverter() { sws_freeContext(scaler_); }

bool PixelConverter::convert(const std::uint8_t* bgra, int stride, int width, int height, PixelBuffer& out) {
    Rect rect = fitRect(width, height, out.width, out.height);
    if (rect.width == 0) return false;
    if (rect.width == width && rect.height == height) {
        convertBGRAToNV12(bgra, stride, width, height,
                          out.luma() + static_cast<std::ptrdiff_t>(rect.y) * out.lumaStride() + rect.x,
                          out.lumaStride(),
                          out.chroma() + static_cast<std::ptrdiff_t>(rect.y / 2) * out.chromaStride() + rect.x,
                          out.chromaStride());
        return true;
    }
    return swscaleBGRAToNV12(scaler_, bgra, stride, width, height, out, rect);
}

}  // namespace veltrane::video
