#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace veltrane::deck {

// Decodes every "%XX" escape. Absent when an escape is not "%" and two hex
// digits, or when the decoded bytes are not valid UTF-8. "+" stays "+".
std::optional<std::string> removingPercentEncoding(std::string_view text);

}  // namespace veltrane::deck
