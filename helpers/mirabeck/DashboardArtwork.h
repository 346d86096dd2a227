#pragma once
// Cover art as the line carries it: small JPEG or PNG data as it is, anything
// else fitted into 600 x 600 as a JPEG under 220,000 bytes.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace veltrane::mirabeck {

struct DashboardArtworkLimits {
    static constexpr std::size_t kMaxInputBytes = 20'000'000;  // this much or more: not looked at
    static constexpr std::size_t kMaxOutputBytes = 220'000;
    static constexpr int kMaxSide = 600;
    // Declared sizes past this are refused before any pixel is decoded: a
    // small PNG may declare 50,000 x 50,000 pixels.
    static constexpr long long kMaxInputPixels = 40'000'000;
};

// None for empty or oversized data, anything that is not a readable JPEG or
// PNG, and what no quality step gets small enough.
std::optional<std::string> dashboardArtwork(std::string_view data);

}  // namespace veltrane::mirabeck
