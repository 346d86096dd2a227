#include "helpers/halvorn/Options.h"

#include <algorithm>
#include <limits>

#include "helpers/halvorn/CaptureError.h"

namespace veltrane::halvorn {

std::optional<std::int64_t> Options::parseInteger(const std::string& text) {
    std::size_t i = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == text.size()) return std::nullopt;
    // Accumulated negatively so that the smallest value fits.
    std::int64_t value = 0;
    constexpr std::int64_t lowest = std::numeric_limits<std::int64_t>::min();
    for (; i < text.size(); ++i) {
        char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        int digit = c - '0';
        if (value < (lowest + digit) / 10) return std::nullopt;
        value = value * 10 - digit;
    }
    if (!negative) {
        if (value == lowest) return std::nullopt;
        value = -value;
    }
    return value;
}

namespace {

std::optional<std::int64_t> valueOf(const std::vector<std::string>& arguments, const std::string& name) {
    auto it = std::find(arguments.begin(), arguments.end(), name);
    if (it == arguments.end() || it + 1 == arguments.end()) return std::nullopt;
    return Options::parseInteger(*(it + 1));
}

std::int64_t required(const std::vector<std::string>& arguments, const std::string& name, std::int64_t lowest,
                      std::int64_t highest) {
    auto value = valueOf(arguments, name);
    if (!value || *value < lowest || *value > highest) throw CaptureError::message("Missing or invalid " + name);
    return *value;
}

bool flag(const std::vector<std::string>& arguments, const std::string& name) {
    return std::find(arguments.begin(), arguments.end(), name) != arguments.end();
}

}  // namespace

Options Options::parse(const std::vector<std::string>& arguments) {
    constexpr std::int64_t max32 = std::numeric_limits<std::int32_t>::max();
    Options options;
    options.displayID = static_cast<std::uint32_t>(
        required(arguments, "--display-id", 0, std::numeric_limits<std::uint32_t>::max()));
    options.width = static_cast<std::int32_t>(required(arguments, "--width", 1, max32));
    options.height = static_cast<std::int32_t>(required(arguments, "--height", 1, max32));
    options.fps = static_cast<std::int32_t>(required(arguments, "--fps", 1, max32));
    options.bitrate = static_cast<std::int32_t>(required(arguments, "--bitrate", 1, max32));
    options.lengthPrefixed = flag(arguments, "--length-prefix");
    options.rotateClockwise = flag(arguments, "--rotate-clockwise");
    options.hevc = flag(arguments, "--hevc");
    options.sourceX = valueOf(arguments, "--source-x");
    options.sourceY = valueOf(arguments, "--source-y");
    options.sourceWidth = valueOf(arguments, "--source-width");
    options.sourceHeight = valueOf(arguments, "--source-height");
    return options;
}

}  // namespace veltrane::halvorn
