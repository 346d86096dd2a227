// Whatever the bytes, the line's artwork is nothing, the input itself when it
// is small and signed as JPEG or PNG, or a readable JPEG within 600 x 600
// pixels and under 220,000 bytes.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "helpers/mirabeck/DashboardArtwork.h"
#include "platform/image/JPEGImage.h"

using veltrane::mirabeck::DashboardArtworkLimits;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto artwork = veltrane::mirabeck::dashboardArtwork(input);
    const bool signed_ = input.substr(0, 2) == "\xFF\xD8" || input.substr(0, 4) == "\x89PNG";
    if (!size && artwork) std::abort();
    if (size && size < DashboardArtworkLimits::kMaxOutputBytes && signed_) {
        if (!artwork || *artwork != input) std::abort();
        return 0;
    }
    if (!artwork) return 0;
    if (artwork->size() >= DashboardArtworkLimits::kMaxOutputBytes) std::abort();
    const auto dimensions = veltrane::image::JPEGImage::size(*artwork);
    if (!dimensions || dimensions->width < 1 || dimensions->height < 1 ||
        dimensions->width > DashboardArtworkLimits::kMaxSide || dimensions->height > DashboardArtworkLimits::kMaxSide)
        std::abort();
    if (!veltrane::image::JPEGImage::decode(*artwork)) std::abort();
    return 0;
}
