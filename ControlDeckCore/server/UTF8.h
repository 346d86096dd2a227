#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace veltrane::deck::utf8 {

bool isValid(std::string_view bytes);

// Length of `bytes` without a trailing multi-byte sequence that was cut short
// (for text truncated at a byte limit).
std::size_t withoutCutTail(std::string_view bytes);

// `bytes` with every invalid sequence replaced by U+FFFD.
std::string sanitized(std::string_view bytes);

// `text` without leading and trailing white space and line breaks (Unicode
// space separators, line and paragraph separators, U+0009 to U+000D, U+0085).
std::string_view trimmed(std::string_view text);

}  // namespace veltrane::deck::utf8
