#include "platform/http/URLQuery.h"

namespace veltrane::http {

std::string percentEncoded(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size() * 3);
    for (const char c : text) {
        const auto b = static_cast<unsigned char>(c);
        const bool unreserved = (b >= 'A' && b <= 'Z') || (b >= 'a' && b <= 'z') || (b >= '0' && b <= '9') ||
                                b == '-' || b == '.' || b == '_' || b == '~';
        if (unreserved) {
            out += c;
        } else {
            out += '%';
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
        }
    }
    return out;
}

std::string queryString(const QueryItems& items) {
    std::string out;
    for (const auto& [name, value] : items) {
        if (!out.empty()) out += '&';
        out += percentEncoded(name);
        out += '=';
        out += percentEncoded(value);
    }
    return out;
}

}  // namespace veltrane::http
