#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace veltrane::text::utf8 {

bool isValid(std::string_view bytes);

// Length of `bytes` without a trailing multi-byte sequence that was cut short
// (for text truncated at a byte limit).
std::size_t withoutCutTail(std::string_view bytes);

// `bytes` with every invalid sequence replaced by U+FFFD.
std::string sanitized(std::string_view bytes);

}  // namespace veltrane::text::utf8
