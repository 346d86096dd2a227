#pragma once
// Unicode text questions that need the Unicode character database (ICU
// underneath).

#include <cstddef>
#include <string>
#include <string_view>

namespace veltrane::text {

// The user-perceived characters (extended grapheme clusters) of `utf8` whose
// first code point has a numeric type (decimal digits of any script, "½",
// "Ⅻ", "①" ...), in order, each whole with any marks that follow it.
// Invalid UTF-8 bytes count as non-numeric and are dropped. Throws
// std::runtime_error when ICU cannot build its character iterator.
std::string numericCharacters(std::string_view utf8);

// The number of user-perceived characters of `utf8`; an invalid byte counts
// as one character. Throws std::runtime_error as above.
std::size_t characterCount(std::string_view utf8);

// The byte length of the longest prefix of `utf8` made of whole characters
// that has at most `maxCharacters` characters and `maxBytes` bytes, so a cut
// there never splits a character or its marks. Throws std::runtime_error as
// above.
std::size_t characterPrefixLength(std::string_view utf8, std::size_t maxCharacters, std::size_t maxBytes);

// `utf8` in lower case by the language-neutral Unicode rules ("ẞ" becomes
// "ß", "İ" becomes "i̇"). Invalid sequences come back as U+FFFD.
std::string lowercased(std::string_view utf8);

// Whether any scalar of `utf8` has the Unicode property Ideographic (Han
// characters and the like). Invalid bytes count as not ideographic.
bool containsIdeographic(std::string_view utf8);

// Whether every scalar of `utf8` is a letter or a number (general categories
// L and N, any script). The empty text qualifies; an invalid byte does not.
bool onlyLettersAndNumbers(std::string_view utf8);

}  // namespace veltrane::text
