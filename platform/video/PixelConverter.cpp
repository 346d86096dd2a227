#include "platform/video/PixelConverter.h"

#include <algorithm>
#include <cstring>

#if defined(__x86_64__)
#include <emmintrin.h>
#include <immintrin.h>
#endif

extern "C" {
#include <libswscale/swscale.h>
}

namespace veltrane::video {

void PixelBuffer::fillBlack() {
    std::size_t lumaSize = static_cast<std::size_t>(width) * height;
    std::memset(bytes.data(), 0, lumaSize);
    std::memset(bytes.data() + lumaSize, 128, bytes.size() - lumaSize);
}

Rect fitRect(std::int64_t sourceWidth, std::int64_t sourceHeight, int width, int height) {
    if (sourceWidth <= 0 || sourceHeight <= 0 || width <= 0 || height <= 0) return {};
    // Compare w/W with h/H without floating point; 128 bits hold the products
    // of any 64-bit source size.
    __int128 fitW = width, fitH = height;
    if (static_cast<__int128>(sourceWidth) * height > static_cast<__int128>(sourceHeight) * width)
        fitH = static_cast<__int128>(sourceHeight) * width / sourceWidth;
    else
        fitW = static_cast<__int128>(sourceWidth) * height / sourceHeight;
    int w = std::max(2, static_cast<int>(fitW) & ~1);
    int h = std::max(2, static_cast<int>(fitH) & ~1);
    w = std::min(w, width & ~1);
    h = std::min(h, height & ~1);
    return {((width - w) / 2) & ~1, ((height - h) / 2) & ~1, w, h};
}

SourcePlacement placeSource(const SourceRect& source, int outputWidth, int outputHeight, int width, int height) {
    if (source.width <= 0 || source.height <= 0) return {};
    // Clipped to the display first: nothing is ever sized by the source alone.
    const __int128 left = std::max<__int128>(source.x, 0);
    const __int128 top = std::max<__int128>(source.y, 0);
    const __int128 right = std::min<__int128>(static_cast<__int128>(source.x) + source.width, outputWidth);
    const __int128 bottom = std::min<__int128>(static_cast<__int128>(source.y) + source.height, outputHeight);
    if (right <= left || bottom <= top) return {};
    const Rect fit = fitRect(source.width, source.height, width, height);
    if (fit.width == 0) return {};
    // The clipped part's edges, scaled like the whole, on even pixels.
    auto even = [](__int128 v) { return static_cast<int>(v + 1) & ~1; };
    const int x0 = fit.x + even((left - source.x) * fit.width / source.width);
    const int x1 = fit.x + even((right - source.x) * fit.width / source.width);
    const int y0 = fit.y + even((top - source.y) * fit.height / source.height);
    const int y1 = fit.y + even((bottom - source.y) * fit.height / source.height);
    if (x1 - x0 < 2 || y1 - y0 < 2) return {};
    return {
        {static_cast<int>(left), static_cast<int>(top), static_cast<int>(right - left), static_cast<int>(bottom - top)},
        {x0, y0, x1 - x0, y1 - y0}};
}

namespace {

// BT.709 full range in 15-bit fixed point (so that a coefficient fits the
// 16-bit lanes of the vector path); each row sums to 32768 (luma) or 0
// (chroma), so white and black map exactly. Both paths compute the same.
constexpr int kYR = 6966, kYG = 23436, kYB = 2366;
constexpr int kUR = -3754, kUG = -12630, kUB = 16384;
constexpr int kVR = 16384, kVG = -14882, kVB = -1502;
// Chroma comes from sums of four pixels: two more bits of scale.
constexpr int kChromaOffset = (128 << 17) + (1 << 16);

// Pixels [from, width) of a pair of rows.
void convertRowsPortable(const std::uint8_t* top, const std::uint8_t* bottom, std::uint8_t* yTop,
                         std::uint8_t* yBottom, std::uint8_t* uv, int from, int width) {
    auto luma = [](const std::uint8_t* p) {
        return static_cast<std::uint8_t>((kYR * p[2] + kYG * p[1] + kYB * p[0] + (1 << 14)) >> 15);
    };
    for (int x = from; x + 1 < width; x += 2) {
        const std::uint8_t* a = top + 4 * x;
        const std::uint8_t* b = bottom + 4 * x;
        yTop[x] = luma(a);
        yTop[x + 1] = luma(a + 4);
        yBottom[x] = luma(b);
        yBottom[x + 1] = luma(b + 4);
        int sb = a[0] + a[4] + b[0] + b[4];
        int sg = a[1] + a[5] + b[1] + b[5];
        int sr = a[2] + a[6] + b[2] + b[6];
        int u = (kUR * sr + kUG * sg + kUB * sb + kChromaOffset) >> 17;
        int v = (kVR * sr + kVG * sg + kVB * sb + kChromaOffset) >> 17;
        uv[x] = static_cast<std::uint8_t>(u > 255 ? 255 : u);
        uv[x + 1] = static_cast<std::uint8_t>(v > 255 ? 255 : v);
    }
}

#if defined(__x86_64__)
#define VELTRANE_AVX2 __attribute__((target("avx2"), always_inline)) inline

VELTRANE_AVX2 __m256i load32(const std::uint8_t* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

// Coefficients for B, G, R, A of four pixels at a time.
VELTRANE_AVX2 __m256i coefficients(int b, int g, int r) {
    return _mm256_setr_epi16(b, g, r, 0, b, g, r, 0, b, g, r, 0, b, g, r, 0);
}

// 8 pixels to 8 luma values (32-bit), in order.
VELTRANE_AVX2 __m256i luma8(__m256i pixels) {
    const __m256i zero = _mm256_setzero_si256();
    const __m256i weights = coefficients(kYB, kYG, kYR);
    __m256i lo = _mm256_madd_epi16(_mm256_unpacklo_epi8(pixels, zero), weights);
    __m256i hi = _mm256_madd_epi16(_mm256_unpackhi_epi8(pixels, zero), weights);
    return _mm256_srai_epi32(_mm256_add_epi32(_mm256_hadd_epi32(lo, hi), _mm256_set1_epi32(1 << 14)), 15);
}

// 8 pixels of each of two rows to 4 (U, V) pairs (32-bit), in order.
VELTRANE_AVX2 __m256i chroma8(__m256i top, __m256i bottom) {
    const __m256i zero = _mm256_setzero_si256();
    // Vertical sums, then each pixel added to its right neighbour.
    __m256i lo = _mm256_add_epi16(_mm256_unpacklo_epi8(top, zero), _mm256_unpacklo_epi8(bottom, zero));
    __m256i hi = _mm256_add_epi16(_mm256_unpackhi_epi8(top, zero), _mm256_unpackhi_epi8(bottom, zero));
    lo = _mm256_add_epi16(lo, _mm256_srli_si256(lo, 8));
    hi = _mm256_add_epi16(hi, _mm256_srli_si256(hi, 8));
    __m256i sums = _mm256_unpacklo_epi64(lo, hi);
    __m256i uv = _mm256_hadd_epi32(_mm256_madd_epi16(sums, coefficients(kUB, kUG, kUR)),
                                   _mm256_madd_epi16(sums, coefficients(kVB, kVG, kVR)));
    uv = _mm256_shuffle_epi32(uv, _MM_SHUFFLE(3, 1, 2, 0));
    return _mm256_srai_epi32(_mm256_add_epi32(uv, _mm256_set1_epi32(kChromaOffset)), 17);
}

// Two sets of 8 values to 16 bytes, saturated.
VELTRANE_AVX2 void store16(std::uint8_t* out, __m256i first, __m256i second) {
    __m256i words = _mm256_permute4x64_epi64(_mm256_packs_epi32(first, second), _MM_SHUFFLE(3, 1, 2, 0));
    __m128i bytes = _mm_packus_epi16(_mm256_castsi256_si128(words), _mm256_extracti128_si256(words, 1));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out), bytes);
}

// 16 pixels of two rows a step; returns how many pixels it did.
__attribute__((target("avx2"))) int convertRowsAVX2(const std::uint8_t* top, const std::uint8_t* bottom,
                                                    std::uint8_t* yTop, std::uint8_t* yBottom, std::uint8_t* uv,
                                                    int width) {
    int x = 0;
    for (; x + 16 <= width; x += 16) {
        __m256i a0 = load32(top + 4 * x), a1 = load32(top + 4 * x + 32);
        __m256i b0 = load32(bottom + 4 * x), b1 = load32(bottom + 4 * x + 32);
        store16(yTop + x, luma8(a0), luma8(a1));
        store16(yBottom + x, luma8(b0), luma8(b1));
        store16(uv + x, chroma8(a0, b0), chroma8(a1, b1));
    }
    return x;
}
#endif

}  // namespace

void convertBGRAToNV12(const std::uint8_t* bgra, int bgraStride, int width, int height, std::uint8_t* luma,
                       int lumaStride, std::uint8_t* chroma, int chromaStride) {
#if defined(__x86_64__)
    static const bool avx2 = __builtin_cpu_supports("avx2");
#else
    constexpr bool avx2 = false;
#endif
    // Two rows at a time: each pair yields one chroma row, so every source
    // pixel is read once.
    for (int y = 0; y + 1 < height; y += 2) {
        const std::uint8_t* top = bgra + static_cast<std::ptrdiff_t>(y) * bgraStride;
        const std::uint8_t* bottom = top + bgraStride;
        std::uint8_t* yTop = luma + static_cast<std::ptrdiff_t>(y) * lumaStride;
        std::uint8_t* yBottom = yTop + lumaStride;
        std::uint8_t* uv = chroma + static_cast<std::ptrdiff_t>(y / 2) * chromaStride;
        int done = 0;
#if defined(__x86_64__)
        if (avx2) done = convertRowsAVX2(top, bottom, yTop, yBottom, uv, width);
#endif
        convertRowsPortable(top, bottom, yTop, yBottom, uv, done, width);
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

void splitChroma(const std::uint8_t* interleaved, int pairs, std::uint8_t* cb, std::uint8_t* cr) {
    int i = 0;
#if defined(__x86_64__)
    // 16 pairs a step: the low bytes of each 16-bit lane are Cb, the high Cr.
    const __m128i low = _mm_set1_epi16(0x00FF);
    for (; i + 16 <= pairs; i += 16) {
        __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(interleaved + 2 * i));
        __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(interleaved + 2 * i + 16));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cb + i),
                         _mm_packus_epi16(_mm_and_si128(a, low), _mm_and_si128(b, low)));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(cr + i),
                         _mm_packus_epi16(_mm_srli_epi16(a, 8), _mm_srli_epi16(b, 8)));
    }
#endif
    for (; i < pairs; ++i) {
        cb[i] = interleaved[2 * i];
        cr[i] = interleaved[2 * i + 1];
    }
}

bool PixelConverter::convert(const std::uint8_t* bgra, int stride, int width, int height, PixelBuffer& out) {
    return convert(bgra, stride, width, height, out, fitRect(width, height, out.width, out.height));
}

bool PixelConverter::convert(const std::uint8_t* bgra, int stride, int width, int height, PixelBuffer& out, Rect rect) {
    if (rect.width <= 0 || rect.height <= 0) return false;
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
