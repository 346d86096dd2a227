#include "ControlDeckCore/shared/DecimalText.h"

namespace veltrane::deck {

std::optional<std::uint64_t> parseUnsignedDecimal(std::string_view text, std::uint64_t max) {
    bool negative = false;
    if (!text.empty() && (text.front() == '+' || text.front() == '-')) {
        negative = text.front() == '-';
        text.remove_prefix(1);
    }
    if (text.empty()) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        auto digit = static_cast<std::uint64_t>(c - '0');
        if (value > (max - digit) / 10) return std::nullopt;  // value * 10 + digit would pass max
        value = value * 10 + digit;
    }
    if (negative && value != 0) return std::nullopt;
    return value;
}

}  // namespace veltrane::deck
