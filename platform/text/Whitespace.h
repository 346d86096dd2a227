#pragma once
// The two white-space sets that text rules trim by, over UTF-8 without ICU
// (they sit on hot paths such as the lyrics parser).

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace veltrane::text {

// Space separators (general category Zs) and the tab: white space that is not
// a line break.
bool isSpace(char32_t c);
// The Unicode White_Space set: space separators, line and paragraph
// separators, U+0009 to U+000D and U+0085.
bool isWhitespaceOrNewline(char32_t c);

// `text` without leading and trailing characters of the set. Bytes that are
// not valid UTF-8 are never trimmed.
std::string_view trimmingSpaces(std::string_view text);
std::string_view trimmingWhitespaceAndNewlines(std::string_view text);

// Every run of White_Space characters replaced by one ASCII space (what the
// pattern "\s+" replaced with " " gives), not trimmed.
std::string collapsingWhitespace(std::string_view text);

// The scalar that starts at `text[at]` and its byte length. Where no valid
// sequence starts there: U+FFFD, not valid, and the length of the maximal
// ill-formed subpart (at least 1).
struct DecodedScalar {
    char32_t scalar;
    std::size_t length;
    bool valid;
};
DecodedScalar decodeScalar(std::string_view text, std::size_t at);

// `bytes` as valid UTF-8: each maximal ill-formed subpart becomes one U+FFFD
// (the Unicode recommended practice, as the usual decoders do).
std::string repairedUTF8(std::string_view bytes);

}  // namespace veltrane::text
