#pragma once
// Unicode text questions that need the Unicode character database (ICU
// underneath).

#include <string>
#include <string_view>

namespace veltrane::text {

// The user-perceived characters (extended grapheme clusters) of `utf8` whose
// first code point has a numeric type (decimal digits of any script, "½",
// "Ⅻ", "①" ...), in order, each whole with any marks that follow it.
// Invalid UTF-8 bytes count as non-numeric and are dropped. Throws
// std::runtime_error when ICU cannot build its character iterator.
std::string numericCharacters(std::string_view utf8);

}  // namespace veltrane::text
