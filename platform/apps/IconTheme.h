#pragma once
// Finds the image file behind a desktop entry's Icon key: an absolute path as
// it is, else the name in the hicolor theme of each data directory, else in
// the pixmaps folders.

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace veltrane::apps {

struct IconTheme {
    // Picks, for `side` pixels: that exact size; else a scalable image; else
    // the nearest larger size; else the nearest smaller one. Among equal
    // candidates the earlier data directory wins.
    static std::optional<std::filesystem::path> find(const std::string& icon,
                                                     const std::vector<std::filesystem::path>& dataDirectories,
                                                     int side);
};

}  // namespace veltrane::apps
