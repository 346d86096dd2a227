#include "helpers/brennick/Options.h"

#include <algorithm>
#include <limits>

namespace veltrane::brennick {

std::optional<std::uint32_t> Options::parseDisplayID(std::string_view text) {
    if (!text.empty() && text.front() == '+') text.remove_prefix(1);
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > std::numeric_limits<std::uint32_t>::max()) return std::nullopt;
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<Options> Options::parse(const std::vector<std::string>& arguments) {
    auto option = std::find(arguments.begin(), arguments.end(), "--display-id");
    if (option == arguments.end() || option + 1 == arguments.end()) return std::nullopt;
    auto id = parseDisplayID(*(option + 1));
    if (!id) return std::nullopt;
    return Options{*id};
}

}  // namespace veltrane::brennick
