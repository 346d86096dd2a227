#include "ControlDeckCore/shared/JSONWriter.h"

#include "ControlDeckCore/shared/JSONTextRule.h"

namespace veltrane::deck {

void JSONWriter::key(std::string_view key) {
    separate();
    jsontext::appendString(out_, key);
    out_ += ':';
    separate_ = false;
}

void JSONWriter::open(char bracket) {
    separate();
    out_ += bracket;
    separate_ = false;
}

void JSONWriter::close(char bracket) {
    out_ += bracket;
    separate_ = true;
}

void JSONWriter::scalar(std::string_view literal) {
    separate();
    out_ += literal;
    separate_ = true;
}

void JSONWriter::integer(std::int64_t n) {
    separate();
    jsontext::appendInteger(out_, n);
    separate_ = true;
}

void JSONWriter::unsignedInteger(std::uint64_t n) {
    separate();
    jsontext::appendUnsigned(out_, n);
    separate_ = true;
}

void JSONWriter::value(double d) {
    separate();
    if (!jsontext::appendNumber(out_, d)) failed_ = true;
    separate_ = true;
}

void JSONWriter::value(std::string_view text) {
    separate();
    jsontext::appendString(out_, text);
    separate_ = true;
}

void JSONWriter::value(const std::optional<std::string>& text) {
    if (text)
        value(std::string_view(*text));
    else
        null();
}

void JSONWriter::value(const Json& json) {
    separate();
    if (!jsontext::appendValue(out_, json, -1)) failed_ = true;
    separate_ = true;
}

std::string JSONWriter::text() && {
    if (failed_) return "{}";
    return std::move(out_);
}

Json JSONWriter::json() && { return JSON::parse(std::move(*this).text()).value_or(Json::object()); }

}  // namespace veltrane::deck
