#pragma once
// Renders an icon file (SVG or PNG) into a square PNG, keeping its aspect
// ratio and centring it on a transparent background (cairo and librsvg
// underneath).

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

namespace veltrane::image {

struct IconRenderer {
    // Icon files are small; a larger one is not an icon worth parsing.
    static constexpr std::uintmax_t kMaxFileBytes = 8 * 1024 * 1024;

    // None when the file is missing, too large, of another format or broken.
    static std::optional<std::string> renderPNG(const std::filesystem::path& file, int side);
};

}  // namespace veltrane::image
