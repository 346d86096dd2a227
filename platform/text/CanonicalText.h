#pragma once
// Unicode canonical equivalence (ICU underneath).

#include <string>
#include <string_view>

namespace veltrane::text {

// The NFC form of UTF-8 text: canonically equivalent texts give the same
// bytes, and comparing those bytes orders texts by Unicode scalar value.
// Invalid sequences come back as U+FFFD.
std::string nfc(std::string_view utf8);

// Whether two UTF-8 texts are canonically equivalent ("é" precomposed equals
// "e" with a combining accent). Equal bytes need no normalising.
bool canonicallyEqual(std::string_view a, std::string_view b);

}  // namespace veltrane::text
