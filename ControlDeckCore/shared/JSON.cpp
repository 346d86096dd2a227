#include "ControlDeckCore/shared/JSON.h"

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstdlib>
#include <locale.h>

#include "ControlDeckCore/shared/JSONTextRule.h"

namespace veltrane::deck {

namespace {

std::optional<std::int64_t> truncated(double d) {
    // 2^63 is exactly representable; anything at or past it does not fit.
    if (!std::isfinite(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0) return std::nullopt;
    return static_cast<std::int64_t>(d);
}

std::optional<std::int64_t> parseDecimal(std::string_view s) {
    std::size_t start = 0;
    if (!s.empty() && (s[0] == '+' || s[0] == '-')) start = 1;
    if (start == s.size()) return std::nullopt;
    for (std::size_t i = start; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9') return std::nullopt;
    // from_chars takes "-" but not "+".
    std::string_view digits = s[0] == '+' ? s.substr(1) : s;
    std::int64_t value = 0;
    auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (ec != std::errc() || end != digits.data() + digits.size()) return std::nullopt;
    return value;
}

std::optional<double> parseFloating(const std::string& s) {
    if (s.empty()) return std::nullopt;
    switch (s[0]) {
        case '\0': case '\t': case '\n': case '\v': case '\f': case '\r': case ' ': return std::nullopt;
        default: break;
    }
    static locale_t cLocale = newlocale(LC_ALL_MASK, "C", nullptr);
    char* end = nullptr;
    double value = strtod_l(s.c_str(), &end, cLocale);
    if (end != s.c_str() + s.size()) return std::nullopt;
    return value;
}

std::optional<std::string> writeAll(const Json& value, int indent) {
    std::string out;
    out.reserve(1024);  // most answers fit without growing
    if (!jsontext::appendValue(out, value, indent)) return std::nullopt;
    return out;
}

}  // namespace

std::optional<std::int64_t> JSON::toInt(const Json* v) {
    if (!v) return std::nullopt;
    switch (v->type()) {
        case Json::value_t::number_integer: return v->get<std::int64_t>();
        case Json::value_t::number_unsigned: {
            auto u = v->get<std::uint64_t>();
            if (u > static_cast<std::uint64_t>(INT64_MAX)) return std::nullopt;
            return static_cast<std::int64_t>(u);
        }
        case Json::value_t::number_float: return truncated(v->get<double>());
        case Json::value_t::boolean: return v->get<bool>() ? 1 : 0;
        case Json::value_t::string: return parseDecimal(v->get_ref<const std::string&>());
        default: return std::nullopt;
    }
}

std::optional<double> JSON::toDouble(const Json* v) {
    if (!v) return std::nullopt;
    switch (v->type()) {
        case Json::value_t::number_integer:
        case Json::value_t::number_unsigned:
        case Json::value_t::number_float: return v->get<double>();
        case Json::value_t::boolean: return v->get<bool>() ? 1.0 : 0.0;
        case Json::value_t::string: return parseFloating(v->get_ref<const std::string&>());
        default: return std::nullopt;
    }
}

std::optional<bool> JSON::toBool(const Json* v) {
    if (!v) return std::nullopt;
    switch (v->type()) {
        case Json::value_t::boolean: return v->get<bool>();
        case Json::value_t::number_integer: return v->get<std::int64_t>() != 0;
        case Json::value_t::number_unsigned: return v->get<std::uint64_t>() != 0;
        case Json::value_t::number_float: return v->get<double>() != 0.0;
        default: return std::nullopt;
    }
}

const Json* JSON::member(const Json& object, std::string_view key) {
    if (!object.is_object()) return nullptr;
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::string JSON::text(const Json& value) { return writeAll(value, -1).value_or("{}"); }

std::optional<std::string> JSON::prettyText(const Json& value) { return writeAll(value, 0); }

std::optional<Json> JSON::parse(std::string_view text) {
    bool tooDeep = false;
    // The callback sees each container open at the depth of its parent;
    // refusing one drops it without building what is inside.
    auto callback = [&tooDeep](int depth, Json::parse_event_t event, Json&) {
        if ((event == Json::parse_event_t::object_start || event == Json::parse_event_t::array_start) &&
            depth >= kMaxNestingDepth) {
            tooDeep = true;
            return false;
        }
        return true;
    };
    Json parsed = Json::parse(text.begin(), text.end(), callback, /*allow_exceptions=*/false);
    if (tooDeep || parsed.is_discarded()) return std::nullopt;
    return parsed;
}

}  // namespace veltrane::deck
