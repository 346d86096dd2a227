#include "ControlDeckCore/shared/Decoding.h"

#include <cmath>

namespace veltrane::deck {

namespace {

std::string describe(const std::string& reason, const std::string& path) {
    return path.empty() ? reason : path + ": " + reason;
}

// A whole number within [lo, hi], from any of JSON's number forms.
std::optional<std::int64_t> wholeNumber(const Json& json, std::int64_t lo, std::int64_t hi) {
    std::int64_t value;
    switch (json.type()) {
        case Json::value_t::number_integer: value = json.get<std::int64_t>(); break;
        case Json::value_t::number_unsigned: {
            auto u = json.get<std::uint64_t>();
            if (u > static_cast<std::uint64_t>(hi)) return std::nullopt;
            value = static_cast<std::int64_t>(u);
            break;
        }
        case Json::value_t::number_float: {
            double d = json.get<double>();
            // 2^63 is exact in a double; anything at or past it does not fit.
            if (!std::isfinite(d) || d != std::trunc(d) || d >= 9223372036854775808.0 || d < -9223372036854775808.0)
                return std::nullopt;
            value = static_cast<std::int64_t>(d);
            break;
        }
        default: return std::nullopt;
    }
    if (value < lo || value > hi) return std::nullopt;
    return value;
}

}  // namespace

DecodingError::DecodingError(std::string reason, std::string path)
    : std::runtime_error(describe(reason, path)), reason_(std::move(reason)), path_(std::move(path)) {}

DecodingError DecodingError::inside(std::string_view segment) const {
    std::string path(segment);
    if (!path_.empty()) {
        if (path_.front() != '[') path += '.';
        path += path_;
    }
    return DecodingError(reason_, std::move(path));
}

namespace coding {

std::optional<Json> parse(std::string_view bytes) { return JSON::parse(bytes); }

std::string Reader<std::string>::read(const Json& json) {
    if (!json.is_string()) throw DecodingError("expected a string");
    return json.get<std::string>();
}

bool Reader<bool>::read(const Json& json) {
    if (!json.is_boolean()) throw DecodingError("expected a Boolean");
    return json.get<bool>();
}

std::int64_t Reader<std::int64_t>::read(const Json& json) {
    auto value = wholeNumber(json, INT64_MIN, INT64_MAX);
    if (!value) throw DecodingError("expected an integer");
    return *value;
}

std::uint16_t Reader<std::uint16_t>::read(const Json& json) {
    auto value = wholeNumber(json, 0, UINT16_MAX);
    if (!value) throw DecodingError("expected an integer from 0 to 65535");
    return static_cast<std::uint16_t>(*value);
}

Date Reader<Date>::read(const Json& json) {
    if (json.is_string()) {
        if (auto date = iso8601::parse(json.get_ref<const std::string&>())) return *date;
    }
    throw DecodingError("expected an ISO 8601 date");
}

JSONValue::Object Reader<JSONValue::Object>::read(const Json& json) {
    if (!json.is_object()) throw DecodingError("expected an object");
    return *JSONValue::from(json).ifObject();
}

}  // namespace coding

KeyedDecoder::KeyedDecoder(const Json& json) : json_(json) {
    if (!json.is_object()) throw DecodingError("expected an object");
}

}  // namespace veltrane::deck
