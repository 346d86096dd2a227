#pragma once
// Unsigned decimal numbers as the system's own number parsing reads them
// from text: an optional "+" (or "-" when the value is zero), then digits
// only, no white space.

#include <cstdint>
#include <optional>
#include <string_view>

namespace veltrane::deck {

// None when the text is not such a number or exceeds `max`.
std::optional<std::uint64_t> parseUnsignedDecimal(std::string_view text, std::uint64_t max);

}  // namespace veltrane::deck
