#pragma once
// Text helpers shared by the HTTP parser and writer.

#include <cstddef>
#include <limits>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace veltrane::deck::http {

// ASCII letters lower-cased; other bytes unchanged.
std::string lowercased(std::string_view text);

// Without leading and trailing spaces and tabs (line breaks stay).
std::string_view trimmed(std::string_view text);

bool equalsIgnoringCase(std::string_view a, std::string_view b);

// Splits at `separator`, dropping empty pieces. Once `maxSplits` pieces are
// taken, the rest of the text (after that separator) is the last piece as it
// stands. Example: "?a?b" with maxSplits 1 gives "a" and "b".
std::vector<std::string_view> splitDroppingEmpty(std::string_view text, char separator,
                                                 std::size_t maxSplits = std::numeric_limits<std::size_t>::max());
// The same into `pieces`, with at most pieces.size() pieces (the last holding
// the rest), for the parser's bounded splits; the number of pieces taken.
std::size_t splitDroppingEmpty(std::string_view text, char separator, std::span<std::string_view> pieces);

}  // namespace veltrane::deck::http
