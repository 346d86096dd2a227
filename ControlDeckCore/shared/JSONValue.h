#pragma once

#include <map>
#include <string>
#include <variant>
#include <vector>

#include "ControlDeckCore/shared/JSON.h"

namespace veltrane::deck {

// A free-form JSON value (widget settings, custom-action payloads). Numbers
// are 64-bit floats; there is no integer case. Unlike a lax bridge, the
// numbers 0 and 1 stay numbers: {"level":1} comes back as 1, not true.
class JSONValue {
public:
    using Array = std::vector<JSONValue>;
    using Object = std::map<std::string, JSONValue>;
    enum class Kind { boolean, number, string, array, object, null };

    JSONValue() = default;  // null
    JSONValue(std::nullptr_t) {}
    JSONValue(bool b) : value_(b) {}
    JSONValue(double d) : value_(d) {}
    JSONValue(int i) : value_(static_cast<double>(i)) {}
    JSONValue(std::string s) : value_(std::move(s)) {}
    JSONValue(const char* s) : value_(std::string(s)) {}
    JSONValue(Array a) : value_(std::move(a)) {}
    JSONValue(Object o) : value_(std::move(o)) {}

    Kind kind() const;
    bool isNull() const { return std::holds_alternative<std::monostate>(value_); }
    // The held value, or null when the value is of another kind.
    const bool* ifBool() const { return std::get_if<bool>(&value_); }
    const double* ifNumber() const { return std::get_if<double>(&value_); }
    const std::string* ifString() const { return std::get_if<std::string>(&value_); }
    const Array* ifArray() const { return std::get_if<Array>(&value_); }
    const Object* ifObject() const { return std::get_if<Object>(&value_); }

    // As a plain JSON value (numbers as floating values).
    Json any() const;
    // From a plain JSON value; absent (null pointer), null, and kinds JSON
    // does not have give null. Never fails.
    static JSONValue from(const Json* value);
    static JSONValue from(const Json& value) { return from(&value); }

    bool operator==(const JSONValue& other) const { return value_ == other.value_; }

private:
    std::variant<std::monostate, bool, double, std::string, Array, Object> value_;
};

}  // namespace veltrane::deck
