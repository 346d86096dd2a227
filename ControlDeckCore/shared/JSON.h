#pragma once
// Plain JSON values (`Json`, as parsed from requests and files), the lenient
// coercions used to read request values, and the one JSON text rule every
// body and message follows.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <nlohmann/json.hpp>

namespace veltrane::deck {

// Objects keep their keys sorted (std::map), which the text rule relies on.
using Json = nlohmann::json;

struct JSON {
    // Integer reading: integers as they are, floating values truncated toward
    // zero (absent when not finite or out of range), booleans as 0/1, texts of
    // an optional sign and ASCII digits only. Null pointer means absent.
    static std::optional<std::int64_t> toInt(const Json* value);
    // Floating reading: numbers, booleans as 0/1, and texts read by strtod in
    // the C locale when wholly consumed with no leading white space.
    static std::optional<double> toDouble(const Json* value);
    // Boolean reading: booleans, and numbers (non-zero is true). Texts are absent.
    static std::optional<bool> toBool(const Json* value);

    static std::optional<std::int64_t> toInt(const Json& v) { return toInt(&v); }
    static std::optional<double> toDouble(const Json& v) { return toDouble(&v); }
    static std::optional<bool> toBool(const Json& v) { return toBool(&v); }

    // The member `key` of an object, or null when absent or not an object.
    static const Json* member(const Json& object, std::string_view key);

    // The text rule: keys of every object sorted, no white space, "/" written
    // as "\/", integral numbers without a fraction. A value that cannot be
    // written (a NaN or infinite number) makes the whole text "{}".
    // Invalid UTF-8 inside texts is written as U+FFFD.
    static std::string text(const Json& value);

    // The data files' form: the same rules, pretty-printed (two spaces a
    // level, " : " after keys). nullopt when a value cannot be written, so a
    // caller can refuse to replace a good file.
    static std::optional<std::string> prettyText(const Json& value);

    // Deeper nesting is refused: every walk over parsed values (JSONValue,
    // the writer) is recursive, and no request or file of ours nests deeply.
    static constexpr int kMaxNestingDepth = 512;

    // Parses JSON text; nullopt when it is not valid JSON or nests arrays and
    // objects deeper than kMaxNestingDepth.
    static std::optional<Json> parse(std::string_view text);
};

}  // namespace veltrane::deck
