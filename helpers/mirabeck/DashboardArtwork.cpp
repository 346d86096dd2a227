#include "helpers/mirabeck/DashboardArtwork.h"

#include <algorithm>
#include <climits>
#include <cmath>

#include "platform/image/AreaResample.h"
#include "platform/image/BoundedDecode.h"
#include "platform/image/JPEGImage.h"

namespace veltrane::mirabeck {
namespace {
constexpr int kQualities[] = {80, 60, 40};
}

std::optional<std::string> dashboardArtwork(std::string_view data) {
    using L = DashboardArtworkLimits;
    if (data.empty() || data.size() >= L::kMaxInputBytes) return std::nullopt;
    if (data.size() < L::kMaxOutputBytes && (image::hasJPEGSignature(data) || data.substr(0, 4) == "\x89PNG"))
        return std::string(data);

    const auto decoded = image::decodeWithin(data, {INT_MAX, L::kMaxInputPixels});
    if (!decoded || decoded->width <= 0 || decoded->height <= 0) return std::nullopt;
    // Never enlarged; the longer side becomes 600 and the other follows.
    const double scale = std::min(static_cast<double>(L::kMaxSide) / std::max(decoded->width, decoded->height), 1.0);
    const int width = std::max(1, static_cast<int>(std::lround(decoded->width * scale)));
    const int height = std::max(1, static_cast<int>(std::lround(decoded->height * scale)));
    const auto drawn = image::redrawOverTransparent(*decoded, width, height);
    for (int quality : kQualities) {
        auto jpeg = image::JPEGImage::encode(drawn, quality);
        if (!jpeg) return std::nullopt;
        if (jpeg->size() < L::kMaxOutputBytes) return jpeg;
    }
    return std::nullopt;
}

}  // namespace veltrane::mirabeck
