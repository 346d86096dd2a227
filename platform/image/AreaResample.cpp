#include "platform/image/AreaResample.h"

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <vector>

namespace veltrane::image {
namespace {

// One axis of an area-averaging resample: for each target position, the
// source positions it covers and how much of each.
struct Span {
    int first = 0;
    std::vector<float> weights;
};

std::vector<Span> spans(int from, int to) {
    std::vector<Span> result(static_cast<std::size_t>(to));
    const double scale = static_cast<double>(from) / to;
    for (int i = 0; i < to; ++i) {
        const double start = i * scale, end = (i + 1) * scale;
        Span& span = result[static_cast<std::size_t>(i)];
        span.first = static_cast<int>(start);
        const int last = std::min(from - 1, static_cast<int>(std::ceil(end)) - 1);
        for (int s = span.first; s <= last; ++s) {
            const double covered = std::min<double>(end, s + 1) - std::max<double>(start, s);
            span.weights.push_back(static_cast<float>(covered / scale));
        }
    }
    return result;
}

}  // namespace

RGBAImage redrawOverTransparent(const RGBAImage& source, int width, int height) {
    const auto columns = spans(source.width, width);
    const auto rows = spans(source.height, height);
    const std::size_t sourceStride = static_cast<std::size_t>(source.width) * 4;

    // Horizontal pass into premultiplied floats, one row of the source at a time.
    std::vector<float> across(static_cast<std::size_t>(width) * 3 * static_cast<std::size_t>(source.height));
    for (int y = 0; y < source.height; ++y) {
        const std::uint8_t* row = source.pixels.data() + sourceStride * static_cast<std::size_t>(y);
        float* out = across.data() + static_cast<std::size_t>(y) * width * 3;
        for (int x = 0; x < width; ++x) {
            const Span& span = columns[static_cast<std::size_t>(x)];
            float r = 0, g = 0, b = 0;
            for (std::size_t k = 0; k < span.weights.size(); ++k) {
                const std::uint8_t* p = row + (static_cast<std::size_t>(span.first) + k) * 4;
                const float w = span.weights[k] * (p[3] / 255.0f);
                r += w * p[0];
                g += w * p[1];
                b += w * p[2];
            }
            out[x * 3] = r;
            out[x * 3 + 1] = g;
            out[x * 3 + 2] = b;
        }
    }

    RGBAImage result;
    result.width = width;
    result.height = height;
    result.pixels.assign(static_cast<std::size_t>(width) * height * 4, 255);
    for (int y = 0; y < height; ++y) {
        const Span& span = rows[static_cast<std::size_t>(y)];
        std::uint8_t* out = result.pixels.data() + static_cast<std::size_t>(y) * width * 4;
        for (int x = 0; x < width * 3; ++x) {
            float sum = 0;
            for (std::size_t k = 0; k < span.weights.size(); ++k)
                sum += span.weights[k] * across[(static_cast<std::size_t>(span.first) + k) * width * 3 + x];
            out[(x / 3) * 4 + x % 3] = static_cast<std::uint8_t>(std::clamp(sum + 0.5f, 0.0f, 255.0f));
        }
    }
    return result;
}

}  // namespace veltrane::image
