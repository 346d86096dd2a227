#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::brennick {

struct Options {
    std::uint32_t displayID = 0;  // the RandR output whose applications are captured

    static constexpr const char* kInvalid = "Missing or invalid --display-id";

    // The first argument equal to "--display-id" and the one after it; every
    // other argument is ignored. Empty when the option or its value is
    // missing or is not a decimal number in the unsigned 32-bit range
    // (a leading "+" is allowed).
    static std::optional<Options> parse(const std::vector<std::string>& arguments);
    static std::optional<std::uint32_t> parseDisplayID(std::string_view text);
};

}  // namespace veltrane::brennick
