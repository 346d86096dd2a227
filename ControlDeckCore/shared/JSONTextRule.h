#pragma once
// The pieces of the JSON text rule (JSON::text), shared by the tree writer and
// JSONWriter so the two cannot write a value differently. Internal to
// deck_shared: callers use JSON::text or JSONWriter.

#include <cstdint>
#include <string>
#include <string_view>

#include "ControlDeckCore/shared/JSON.h"

namespace veltrane::deck::jsontext {

// `raw` as a quoted JSON string: "/" as "\/", control characters escaped,
// invalid UTF-8 as U+FFFD.
void appendString(std::string& out, std::string_view raw);

// Integral values below 2^53 without a fraction, others in the shortest form
// that reads back the same. False, with nothing appended, when `d` is not
// finite.
bool appendNumber(std::string& out, double d);

void appendInteger(std::string& out, std::int64_t n);
void appendUnsigned(std::string& out, std::uint64_t n);

// `value` as text; `indent` < 0 writes compactly, otherwise pretty from that
// level (two spaces a level, " : " after keys). False when a value cannot be
// written; `out` then holds a partial text.
bool appendValue(std::string& out, const Json& value, int indent);

}  // namespace veltrane::deck::jsontext
