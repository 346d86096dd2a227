#include "ControlDeckCore/shared/JSONTextRule.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

#include "ControlDeckCore/shared/UTF8.h"

namespace veltrane::deck::jsontext {

namespace {

struct WriteFailure {};

void write(std::string& out, const Json& v, int indent) {
    auto newline = [&](int level) {
        if (indent < 0) return;
        out += '\n';
        out.append(static_cast<std::size_t>(level) * 2, ' ');
    };
    switch (v.type()) {
        case Json::value_t::null: out += "null"; break;
        case Json::value_t::boolean: out += v.get<bool>() ? "true" : "false"; break;
        case Json::value_t::number_integer: appendInteger(out, v.get<std::int64_t>()); break;
        case Json::value_t::number_unsigned: appendUnsigned(out, v.get<std::uint64_t>()); break;
        case Json::value_t::number_float:
            if (!appendNumber(out, v.get<double>())) throw WriteFailure{};
            break;
        case Json::value_t::string: appendString(out, v.get_ref<const std::string&>()); break;
        case Json::value_t::array: {
            if (v.empty()) {
                out += "[]";
                break;
            }
            out += '[';
            bool first = true;
            for (const auto& element : v) {
                if (!first) out += ',';
                first = false;
                newline(indent + 1);
                write(out, element, indent < 0 ? indent : indent + 1);
            }
            newline(indent);
            out += ']';
            break;
        }
        case Json::value_t::object: {
            if (v.empty()) {
                out += "{}";
                break;
            }
            out += '{';
            bool first = true;
            for (const auto& [key, element] : v.items()) {  // std::map: already sorted
                if (!first) out += ',';
                first = false;
                newline(indent + 1);
                appendString(out, key);
                out += indent < 0 ? ":" : " : ";
                write(out, element, indent < 0 ? indent : indent + 1);
            }
            newline(indent);
            out += '}';
            break;
        }
        case Json::value_t::binary:
        case Json::value_t::discarded: throw WriteFailure{};
    }
}

bool needsEscape(unsigned char c) { return c < 0x20 || c == '"' || c == '\\' || c == '/'; }

// Whether any of the eight bytes of `word` needs an escape (the classic
// "has a byte less than" and "has a zero byte" tests).
bool anyNeedsEscape(std::uint64_t word) {
    constexpr std::uint64_t ones = 0x0101010101010101, high = 0x8080808080808080;
    auto hasZeroByte = [](std::uint64_t v) { return (v - ones) & ~v & high; };
    return (((word - ones * 0x20) & ~word & high) | hasZeroByte(word ^ (ones * '"')) |
            hasZeroByte(word ^ (ones * '\\')) | hasZeroByte(word ^ (ones * '/'))) != 0;
}

// `s`, valid UTF-8, quoted and escaped.
void appendEscaped(std::string& out, std::string_view s) {
    out += '"';
    // Characters that need no escape go out in runs, found eight at a time.
    std::size_t run = 0;
    std::size_t i = 0;
    for (;;) {
        for (std::uint64_t word; i + 8 <= s.size(); i += 8) {
            std::memcpy(&word, s.data() + i, 8);
            if (anyNeedsEscape(word)) break;
        }
        while (i < s.size() && !needsEscape(static_cast<unsigned char>(s[i]))) ++i;
        if (i == s.size()) break;
        const unsigned char c = static_cast<unsigned char>(s[i]);
        out.append(s.data() + run, i - run);
        run = ++i;
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '/': out += "\\/"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default: {
                static const char hex[] = "0123456789abcdef";
                out += "\\u00";
                out += hex[c >> 4];
                out += hex[c & 0xF];
            }
        }
    }
    out.append(s.data() + run, s.size() - run);
    out += '"';
}

}  // namespace

void appendString(std::string& out, std::string_view raw) {
    // Only a text with a byte past ASCII needs the UTF-8 check, and most are
    // ASCII: keys, identifiers, numbers as text.
    const bool ascii = std::all_of(raw.begin(), raw.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    if (ascii || utf8::isValid(raw))
        appendEscaped(out, raw);
    else
        appendEscaped(out, utf8::sanitized(raw));
}

bool appendNumber(std::string& out, double d) {
    if (!std::isfinite(d)) return false;
    // Integral values below 2^53 print as integers ("1", not "1.0" or "1e+00").
    if (d == std::trunc(d) && std::fabs(d) < 9007199254740992.0) {
        appendInteger(out, static_cast<std::int64_t>(d));
        return true;
    }
    char buffer[64];
    auto r = std::to_chars(buffer, buffer + sizeof buffer, d);  // shortest text that reads back the same
    out.append(buffer, r.ptr);
    return true;
}

void appendInteger(std::string& out, std::int64_t n) {
    char buffer[24];
    auto r = std::to_chars(buffer, buffer + sizeof buffer, n);
    out.append(buffer, r.ptr);
}

void appendUnsigned(std::string& out, std::uint64_t n) {
    char buffer[24];
    auto r = std::to_chars(buffer, buffer + sizeof buffer, n);
    out.append(buffer, r.ptr);
}

bool appendValue(std::string& out, const Json& value, int indent) {
    try {
        write(out, value, indent);
    } catch (const WriteFailure&) {
        return false;
    }
    return true;
}

}  // namespace veltrane::deck::jsontext
