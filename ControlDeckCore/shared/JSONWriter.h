#pragma once
// JSON text written straight into one string under the text rule of
// JSON::text, for answers made on every request and push, where building a
// Json tree first costs more than the text itself.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>

#include "ControlDeckCore/shared/JSON.h"

namespace veltrane::deck {

// The caller gives each object's keys in sorted order (byte order, as a
// Json object keeps them), once each: the writer does not sort, so the text
// is JSON::text's only when the caller keeps to that. Like JSON::text, a value
// that cannot be written (a NaN or infinite number) makes the whole text "{}".
class JSONWriter {
public:
    explicit JSONWriter(std::size_t capacity = 1024) { out_.reserve(capacity); }

    void beginObject() { open('{'); }
    void endObject() { close('}'); }
    void beginArray() { open('['); }
    void endArray() { close(']'); }

    // The next member's key; its value follows.
    void key(std::string_view key);

    void null() { scalar("null"); }
    void value(std::nullptr_t) { null(); }
    void value(bool b) { scalar(b ? "true" : "false"); }
    template <std::integral T>
        requires(!std::same_as<T, bool>)
    void value(T n) {
        if constexpr (std::is_signed_v<T>)
            integer(static_cast<std::int64_t>(n));
        else
            unsignedInteger(static_cast<std::uint64_t>(n));
    }
    void value(double d);
    void value(std::string_view text);
    void value(const char* text) { value(std::string_view(text)); }  // not the bool overload
    void value(const std::string& text) { value(std::string_view(text)); }
    // The text, or null when absent.
    void value(const std::optional<std::string>& text);
    // A parsed or built value, written whole.
    void value(const Json& json);

    template <class T>
    void member(std::string_view name, T&& v) {
        key(name);
        value(std::forward<T>(v));
    }

    // Whether a value could not be written.
    bool failed() const { return failed_; }
    // The text so far, "{}" after a failure.
    std::string text() &&;
    // That text read back: a tree for the few callers that want one of a
    // part written here, so the two forms come from one writer.
    Json json() &&;

private:
    void separate() {
        if (separate_) out_ += ',';
    }
    void open(char bracket);
    void close(char bracket);
    void scalar(std::string_view literal);
    void integer(std::int64_t n);
    void unsignedInteger(std::uint64_t n);

    std::string out_;
    bool separate_ = false;  // a value stands before the next one
    bool failed_ = false;
};

}  // namespace veltrane::deck
