#pragma once
// Strict decoding of the data files' records from plain JSON: required keys
// must be present and not null, optional keys may be absent or null, and a
// value of the wrong type fails the whole record. Extra keys are ignored.

#include <concepts>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "ControlDeckCore/shared/ISO8601.h"
#include "ControlDeckCore/shared/JSON.h"
#include "ControlDeckCore/shared/JSONValue.h"

namespace veltrane::deck {

// Why a value did not decode, with where: "pages[0].widgets[2].x: expected
// an integer".
class DecodingError : public std::runtime_error {
public:
    explicit DecodingError(std::string reason, std::string path = {});
    const std::string& path() const { return path_; }
    const std::string& reason() const { return reason_; }
    // The same error one level further out: `segment` is a key or "[i]".
    DecodingError inside(std::string_view segment) const;

private:
    std::string reason_;
    std::string path_;
};

namespace coding {

constexpr int maxNestingDepth = JSON::kMaxNestingDepth;

// The data files' and layout requests' JSON reader (JSON::parse).
std::optional<Json> parse(std::string_view bytes);

// Reads a T from one JSON value or throws DecodingError. Records provide
// `static T decode(const Json&)`.
template <class T>
struct Reader;

template <class T>
concept DecodableRecord = requires(const Json& json) {
    { T::decode(json) } -> std::same_as<T>;
};

template <DecodableRecord T>
struct Reader<T> {
    static T read(const Json& json) { return T::decode(json); }
};
template <>
struct Reader<std::string> {
    static std::string read(const Json& json);
};
template <>
struct Reader<bool> {
    static bool read(const Json& json);
};
// Whole numbers only: 3 and 3.0 read, 3.5, "3" and true do not.
template <>
struct Reader<std::int64_t> {
    static std::int64_t read(const Json& json);
};
template <>
struct Reader<std::uint16_t> {
    static std::uint16_t read(const Json& json);
};
// An ISO 8601 text.
template <>
struct Reader<Date> {
    static Date read(const Json& json);
};
// An object whose values are free-form.
template <>
struct Reader<JSONValue::Object> {
    static JSONValue::Object read(const Json& json);
};
template <class T>
struct Reader<std::vector<T>> {
    static std::vector<T> read(const Json& json) {
        if (!json.is_array()) throw DecodingError("expected an array");
        std::vector<T> out;
        out.reserve(json.size());
        for (std::size_t i = 0; i < json.size(); ++i) {
            try {
                out.push_back(Reader<T>::read(json[i]));
            } catch (const DecodingError& e) {
                throw e.inside("[" + std::to_string(i) + "]");
            }
        }
        return out;
    }
};

template <class T>
T decode(const Json& json) {
    return Reader<T>::read(json);
}

template <class Record>
Json encodeArray(const std::vector<Record>& records) {
    Json out = Json::array();
    for (const auto& record : records) out.push_back(record.encode());
    return out;
}

}  // namespace coding

// The members of one JSON object, read by key.
class KeyedDecoder {
public:
    // Throws DecodingError unless `json` is an object.
    explicit KeyedDecoder(const Json& json);

    // A required member: absent or null fails.
    template <class T>
    T decode(std::string_view key) const {
        const Json* value = JSON::member(json_, key);
        if (!value || value->is_null()) throw DecodingError("missing", std::string(key));
        return read<T>(*value, key);
    }

    // An optional member: absent or null gives nothing; any other value must
    // decode.
    template <class T>
    std::optional<T> decodeIfPresent(std::string_view key) const {
        const Json* value = JSON::member(json_, key);
        if (!value || value->is_null()) return std::nullopt;
        return read<T>(*value, key);
    }

private:
    template <class T>
    static T read(const Json& value, std::string_view key) {
        try {
            return coding::Reader<T>::read(value);
        } catch (const DecodingError& e) {
            throw e.inside(key);
        }
    }

    const Json& json_;
};

}  // namespace veltrane::deck
