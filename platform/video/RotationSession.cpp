#include "platform/video/RotationSession.h"

#include <cstdint>
#include <cstring>

#if defined(__x86_64__)
#include <emmintrin.h>
#endif

namespace veltrane::video {
namespace {

// Element (x, y) of a W x H plane goes to (H - 1 - y, x) of the turned one.
// The turned plane's rows are the source's columns read upwards, so each
// 8 x 8 block is a transpose of eight source rows taken bottom first.
template <class T>
void rotatePortable(const std::uint8_t* source, int sourceStride, int height, std::uint8_t* destination,
                    int destinationStride, int rowFrom, int rowTo, int columnFrom, int columnTo) {
    for (int row = rowFrom; row < rowTo; ++row) {
        T* out = reinterpret_cast<T*>(destination + static_cast<std::ptrdiff_t>(row) * destinationStride);
        for (int column = columnFrom; column < columnTo; ++column) {
            const std::uint8_t* in = source + static_cast<std::ptrdiff_t>(height - 1 - column) * sourceStride;
            std::memcpy(&out[column], in + sizeof(T) * row, sizeof(T));
        }
    }
}

#if defined(__x86_64__)
inline __m128i load64(const std::uint8_t* p) { return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p)); }
inline void store64(std::uint8_t* p, __m128i v) { _mm_storel_epi64(reinterpret_cast<__m128i*>(p), v); }
inline __m128i load128(const std::uint8_t* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void store128(std::uint8_t* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// rows[k] holds 8 bytes; out row j gets byte j of rows 0..7.
inline void transpose8x8Bytes(const std::uint8_t* const rows[8], std::uint8_t* out, int outStride) {
    __m128i t0 = _mm_unpacklo_epi8(load64(rows[0]), load64(rows[1]));
    __m128i t1 = _mm_unpacklo_epi8(load64(rows[2]), load64(rows[3]));
    __m128i t2 = _mm_unpacklo_epi8(load64(rows[4]), load64(rows[5]));
    __m128i t3 = _mm_unpacklo_epi8(load64(rows[6]), load64(rows[7]));
    __m128i u0 = _mm_unpacklo_epi16(t0, t1), u1 = _mm_unpackhi_epi16(t0, t1);
    __m128i u2 = _mm_unpacklo_epi16(t2, t3), u3 = _mm_unpackhi_epi16(t2, t3);
    const __m128i pairs[4] = {_mm_unpacklo_epi32(u0, u2), _mm_unpackhi_epi32(u0, u2), _mm_unpacklo_epi32(u1, u3),
                              _mm_unpackhi_epi32(u1, u3)};
    for (int i = 0; i < 4; ++i) {
        store64(out + static_cast<std::ptrdiff_t>(2 * i) * outStride, pairs[i]);
        store64(out + static_cast<std::ptrdiff_t>(2 * i + 1) * outStride, _mm_unpackhi_epi64(pairs[i], pairs[i]));
    }
}

// The same with 16-bit elements (Cb/Cr pairs): rows[k] holds 8 of them.
inline void transpose8x8Pairs(const std::uint8_t* const rows[8], std::uint8_t* out, int outStride) {
    __m128i a[8];
    for (int k = 0; k < 8; ++k) a[k] = load128(rows[k]);
    __m128i t0 = _mm_unpacklo_epi16(a[0], a[1]), t1 = _mm_unpackhi_epi16(a[0], a[1]);
    __m128i t2 = _mm_unpacklo_epi16(a[2], a[3]), t3 = _mm_unpackhi_epi16(a[2], a[3]);
    __m128i t4 = _mm_unpacklo_epi16(a[4], a[5]), t5 = _mm_unpackhi_epi16(a[4], a[5]);
    __m128i t6 = _mm_unpacklo_epi16(a[6], a[7]), t7 = _mm_unpackhi_epi16(a[6], a[7]);
    __m128i u0 = _mm_unpacklo_epi32(t0, t2), u1 = _mm_unpackhi_epi32(t0, t2);
    __m128i u2 = _mm_unpacklo_epi32(t1, t3), u3 = _mm_unpackhi_epi32(t1, t3);
    __m128i u4 = _mm_unpacklo_epi32(t4, t6), u5 = _mm_unpackhi_epi32(t4, t6);
    __m128i u6 = _mm_unpacklo_epi32(t5, t7), u7 = _mm_unpackhi_epi32(t5, t7);
    const __m128i result[8] = {_mm_unpacklo_epi64(u0, u4), _mm_unpackhi_epi64(u0, u4), _mm_unpacklo_epi64(u1, u5),
                               _mm_unpackhi_epi64(u1, u5), _mm_unpacklo_epi64(u2, u6), _mm_unpackhi_epi64(u2, u6),
                               _mm_unpacklo_epi64(u3, u7), _mm_unpackhi_epi64(u3, u7)};
    for (int j = 0; j < 8; ++j) store128(out + static_cast<std::ptrdiff_t>(j) * outStride, result[j]);
}
#endif

// A W x H plane of T into an H x W one.
template <class T>
void rotatePlane(const std::uint8_t* source, int sourceStride, int width, int height, std::uint8_t* destination,
                 int destinationStride) {
    // Turned: `width` rows of `height` elements.
    int rows = width, columns = height;
    int blockRows = 0, blockColumns = 0;
#if defined(__x86_64__)
    blockRows = rows & ~7;
    blockColumns = columns & ~7;
    for (int row = 0; row < blockRows; row += 8)
        for (int column = 0; column < blockColumns; column += 8) {
            const std::uint8_t* in[8];
            for (int k = 0; k < 8; ++k)
                in[k] = source + static_cast<std::ptrdiff_t>(height - 1 - column - k) * sourceStride + sizeof(T) * row;
            std::uint8_t* out = destination + static_cast<std::ptrdiff_t>(row) * destinationStride + sizeof(T) * column;
            if constexpr (sizeof(T) == 1)
                transpose8x8Bytes(in, out, destinationStride);
            else
                transpose8x8Pairs(in, out, destinationStride);
        }
#endif
    // What the blocks left: the right-hand columns, then the bottom rows.
    rotatePortable<T>(source, sourceStride, height, destination, destinationStride, 0, blockRows, blockColumns,
                      columns);
    rotatePortable<T>(source, sourceStride, height, destination, destinationStride, blockRows, rows, 0, columns);
}

}  // namespace

int rotateClockwise(const PixelBuffer& source, PixelBuffer& destination) {
    if (destination.width != source.height || destination.height != source.width) return -1;
    if (source.width <= 0 || source.height <= 0 || source.width % 2 != 0 || source.height % 2 != 0) return -1;
    rotatePlane<std::uint8_t>(source.luma(), source.lumaStride(), source.width, source.height, destination.luma(),
                              destination.lumaStride());
    rotatePlane<std::uint16_t>(source.chroma(), source.chromaStride(), source.width / 2, source.height / 2,
                               destination.chroma(), destination.chromaStride());
    return 0;
}

}  // namespace veltrane::video
