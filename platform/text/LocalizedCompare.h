#pragma once
// Ordering texts as a person reading the user's language expects (ICU
// collation underneath).

#include <string_view>

namespace veltrane::text {

// Compares two UTF-8 texts in the collation of the process's locale,
// ignoring letter case (accents still count). Negative, zero or positive.
// Safe to call from any thread.
int localizedCaseInsensitiveCompare(std::string_view a, std::string_view b);

// Whether two UTF-8 texts are equal under Unicode case folding ("Straße"
// and "STRASSE" are). Invalid UTF-8 is compared as U+FFFD.
bool caseInsensitiveEquals(std::string_view a, std::string_view b);

}  // namespace veltrane::text
