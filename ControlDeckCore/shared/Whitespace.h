#pragma once

#include <string_view>

namespace veltrane::deck {

// `text` without leading and trailing white space and line breaks in the
// Unicode sense: tab to carriage return, space, NEL, no-break space, the
// other space separators, and the line and paragraph separators.
std::string_view trimmingWhitespaceAndNewlines(std::string_view text);

}  // namespace veltrane::deck
