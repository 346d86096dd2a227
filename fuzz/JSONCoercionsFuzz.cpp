// The lenient readings of request values, over every value of any parsed
// document and over the raw bytes taken as one text. Each reading is checked
// against an independent rule: integer texts by their decimal digits,
// truncation by its bounds, floating texts against the integer reading and
// the writer's own number texts. member() must find exactly the object's keys.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ControlDeckCore/shared/JSON.h"
#include "ControlDeckCore/shared/UTF8.h"

using namespace veltrane::deck;

namespace {

void require(bool condition) {
    if (!condition) std::abort();
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The integer a text names, as canonical decimal text ("-12", "0"), when it is
// an optional sign and digits within 64 bits; compared as text, no arithmetic.
std::optional<std::string> canonicalInteger(const std::string& s) {
    std::size_t start = !s.empty() && (s[0] == '+' || s[0] == '-') ? 1 : 0;
    if (start == s.size()) return std::nullopt;
    for (std::size_t i = start; i < s.size(); ++i)
        if (!isDigit(s[i])) return std::nullopt;
    std::string digits = s.substr(start);
    digits.erase(0, std::min(digits.find_first_not_of('0'), digits.size() - 1));
    const bool negative = s[0] == '-' && digits != "0";
    const std::string limit = negative ? "9223372036854775808" : "9223372036854775807";
    if (digits.size() > limit.size() || (digits.size() == limit.size() && digits > limit)) return std::nullopt;
    return (negative ? "-" : "") + digits;
}

// Sign, digits, optional fraction and exponent: what any number reader takes.
bool isPlainDecimal(const std::string& s) {
    std::size_t i = !s.empty() && (s[0] == '+' || s[0] == '-') ? 1 : 0;
    const std::size_t digitsAt = i;
    while (i < s.size() && isDigit(s[i])) ++i;
    if (i == digitsAt) return false;
    if (i < s.size() && s[i] == '.')
        for (++i; i < s.size() && isDigit(s[i]);) ++i;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E')) {
        ++i;
        if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
        const std::size_t exponentAt = i;
        while (i < s.size() && isDigit(s[i])) ++i;
        if (i == exponentAt) return false;
    }
    return i == s.size();
}

void checkText(const Json& value) {
    const std::string& s = value.get_ref<const std::string&>();
    require(!JSON::toBool(value));
    auto integer = JSON::toInt(value);
    auto reference = canonicalInteger(s);
    require(integer.has_value() == reference.has_value());
    if (integer) require(std::to_string(*integer) == *reference);

    auto floating = JSON::toDouble(value);
    if (floating && !s.empty()) require(s[0] != ' ' && s[0] != '\t' && s[0] != '\n' && s[0] != '\r');
    if (isPlainDecimal(s)) require(floating.has_value());
    // Both round the same integer to the nearest double.
    if (integer) require(floating && *floating == static_cast<double>(*integer));
}

void checkNumber(const Json& value) {
    auto integer = JSON::toInt(value);
    auto floating = JSON::toDouble(value);
    auto boolean = JSON::toBool(value);
    require(floating.has_value() && boolean.has_value());
    if (value.is_number_unsigned()) {
        const auto u = value.get<std::uint64_t>();
        require(integer.has_value() == (u <= static_cast<std::uint64_t>(INT64_MAX)));
        if (integer) require(static_cast<std::uint64_t>(*integer) == u);
        require(*boolean == (u != 0));
    } else if (value.is_number_integer()) {
        require(integer == value.get<std::int64_t>() && *boolean == (*integer != 0));
    } else {
        const double d = value.get<double>();
        require(*floating == d && *boolean == (d != 0));
        const bool fits = std::isfinite(d) && d >= -9223372036854775808.0 && d < 9223372036854775808.0;
        require(integer.has_value() == fits);
        // Truncated toward zero: less than one away, never further from zero.
        if (integer) {
            const double n = static_cast<double>(*integer);
            require(std::fabs(d - n) < 1 && std::fabs(n) <= std::fabs(d) && (n == 0 || (n < 0) == (d < 0)));
        }
        // The number as the writer puts it reads back as the same number.
        require(JSON::toDouble(Json(JSON::text(value))) == d);
    }
}

void check(const Json& value, int depth) {
    switch (value.type()) {
        case Json::value_t::boolean: {
            const bool b = value.get<bool>();
            require(JSON::toBool(value) == b && JSON::toInt(value) == (b ? 1 : 0) && JSON::toDouble(value) == (b ? 1.0 : 0.0));
            break;
        }
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
        case Json::value_t::number_float: checkNumber(value); break;
        case Json::value_t::string: checkText(value); break;
        default:
            require(!JSON::toInt(value) && !JSON::toDouble(value) && !JSON::toBool(value));
            break;
    }
    if (value.is_object()) {
        for (const auto& [key, element] : value.items()) {
            require(JSON::member(value, key) == &element);
            require(JSON::member(value, key + '\x01') == (value.contains(key + '\x01') ? &value[key + '\x01'] : nullptr));
        }
    } else {
        require(JSON::member(value, "") == nullptr);
    }
    if (depth > 64) return;
    if (value.is_array() || value.is_object())
        for (const auto& element : value) check(element, depth + 1);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    if (auto parsed = JSON::parse(bytes)) {
        check(*parsed, 0);
        require(JSON::member(*parsed, bytes) == (parsed->is_object() && parsed->contains(bytes) ? &(*parsed)[bytes] : nullptr));
    }
    // The bytes as a text value, as a query value reaches the readings.
    checkText(Json(bytes));
    // Written and read back, a text is its UTF-8-repaired self.
    auto written = JSON::parse(JSON::text(Json(bytes)));
    require(written && written->is_string() && *written == utf8::sanitized(bytes));
    return 0;
}
