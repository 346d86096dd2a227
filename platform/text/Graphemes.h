#pragma once
// User-perceived characters (ICU underneath).

#include <cstddef>
#include <string_view>

namespace veltrane::text {

// Number of extended grapheme clusters in UTF-8 `text`: "e" + combining acute
// counts as one, a flag as one, "\r\n" as one. Invalid bytes count one each.
std::size_t characterCount(std::string_view utf8);

}  // namespace veltrane::text
