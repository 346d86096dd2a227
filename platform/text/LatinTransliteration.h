#pragma once
// Chinese characters written in Latin letters, for comparing names across
// scripts (ICU transforms underneath).

#include <string>
#include <string_view>

namespace veltrane::text {

// Han characters as pinyin syllables separated by spaces, then every
// non-spacing mark removed (tone marks and other accents), so traditional and
// simplified characters of the same reading give the same text. Other
// scripts pass through, without their accents. Letter case is kept. Invalid
// UTF-8 is read as U+FFFD. Callable from any thread: the transform is built
// once and used by one thread at a time. Throws std::runtime_error when ICU
// cannot build the transform.
std::string latinTransliteration(std::string_view utf8);

}  // namespace veltrane::text
