#include "ControlDeckCore/runtime/RequestBody.h"

#include "ControlDeckCore/server/DeckError.h"
#include "ControlDeckCore/server/UTF8.h"

namespace veltrane::deck {

namespace {

int hexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// RFC 3986 path characters: unreserved, sub-delims, ":", "@" and "/".
bool allowedInPath(unsigned char c) {
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) return true;
    return std::string_view("-._~!$&'()*+,;=:@/").find(static_cast<char>(c)) != std::string_view::npos;
}

}  // namespace

Json parseBody(std::string_view body) {
    std::optional<Json> json = JSON::parse(body);
    if (!json) throw BodyNotJSON();
    return std::move(*json);
}

Json parseObjectBody(std::string_view body) {
    Json json = parseBody(body);
    if (!json.is_object()) throw DeckError::malformedPayload();
    return json;
}

std::optional<std::string> percentDecoded(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '%') {
            out.push_back(text[i]);
            continue;
        }
        if (i + 2 >= text.size()) return std::nullopt;
        const int high = hexValue(text[i + 1]), low = hexValue(text[i + 2]);
        if (high < 0 || low < 0) return std::nullopt;
        out.push_back(static_cast<char>(high * 16 + low));
        i += 2;
    }
    if (!utf8::isValid(out)) return std::nullopt;
    return out;
}

std::string percentEncodedPath(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : text) {
        if (allowedInPath(c)) {
            out.push_back(static_cast<char>(c));
        } else {
            out.push_back('%');
            out.push_back(kHex[c >> 4]);
            out.push_back(kHex[c & 0xF]);
        }
    }
    return out;
}

}  // namespace veltrane::deck
