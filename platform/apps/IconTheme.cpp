#include "platform/apps/IconTheme.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace veltrane::apps {
namespace fs = std::filesystem;
namespace {

constexpr const char* kExtensions[] = {".png", ".svg"};

bool isFile(const fs::path& file) {
    std::error_code error;
    return fs::is_regular_file(file, error);
}

// "48x48", "48x48@2" and "scalable"; the pixel size, 0 for scalable.
std::optional<int> folderSize(const std::string& name) {
    if (name == "scalable") return 0;
    int size = 0;
    auto [end, error] = std::from_chars(name.data(), name.data() + name.size(), size);
    if (error != std::errc() || size <= 0 || end == name.data() + name.size() || *end != 'x') return std::nullopt;
    int scale = 1;
    if (auto at = name.find('@'); at != std::string::npos) {
        auto [scaleEnd, scaleError] = std::from_chars(name.data() + at + 1, name.data() + name.size(), scale);
        if (scaleError != std::errc() || scale <= 0 || scaleEnd != name.data() + name.size()) return std::nullopt;
    }
    return size * scale;
}

// Lower is better.
long rank(int size, int side) {
    if (size == side) return 0;
    if (size == 0) return 1;
    if (size > side) return 2 + (size - side);
    return 1L << 20 | (side - size);
}

std::string bareName(const std::string& icon) {
    for (const char* ext : {".png", ".svg", ".xpm"}) {
        std::string e(ext);
        if (icon.size() > e.size() && icon.compare(icon.size() - e.size(), e.size(), e) == 0)
            return icon.substr(0, icon.size() - e.size());
    }
    return icon;
}

}  // namespace

std::optional<fs::path> IconTheme::find(const std::string& icon, const std::vector<fs::path>& dataDirectories,
                                        int side) {
    if (icon.empty()) return std::nullopt;
    if (icon[0] == '/') return isFile(icon) ? std::optional<fs::path>(icon) : std::nullopt;
    // A name is one path component; anything else could walk out of the theme.
    if (icon.find('/') != std::string::npos || icon == "." || icon == "..") return std::nullopt;
    const std::string name = bareName(icon);

    std::optional<fs::path> best;
    long bestRank = std::numeric_limits<long>::max();
    for (const auto& dir : dataDirectories) {
        const fs::path theme = dir / "icons" / "hicolor";
        std::error_code error;
        for (fs::directory_iterator it(theme, error), end; !error && it != end; it.increment(error)) {
            auto size = folderSize(it->path().filename().string());
            if (!size) continue;
            long r = rank(*size, side);
            if (r >= bestRank) continue;
            for (const char* ext : kExtensions) {
                fs::path candidate = it->path() / "apps" / (name + ext);
                if (isFile(candidate)) {
                    best = candidate;
                    bestRank = r;
                    break;
                }
            }
        }
    }
    if (best) return best;

    std::vector<fs::path> pixmaps;
    for (const auto& dir : dataDirectories) pixmaps.push_back(dir / "pixmaps");
    pixmaps.emplace_back("/usr/share/pixmaps");
    for (const auto& folder : pixmaps)
        for (const char* ext : kExtensions)
            if (isFile(folder / (name + ext))) return folder / (name + ext);
    return std::nullopt;
}

}  // namespace veltrane::apps
