#include "platform/text/UTF8.h"

#include <cstdint>
#include <cstring>

namespace veltrane::text::utf8 {

namespace {
// Length of the valid sequence starting at `i`, or 0 when it is invalid or cut.
std::size_t sequenceLength(std::string_view s, std::size_t i) {
    auto at = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = at(i);
    if (c < 0x80) return 1;
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF)
        len = 2;
    else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0) lo = 0xA0;
        if (c == 0xED) hi = 0x9F;  // no surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0) lo = 0x90;
        if (c == 0xF4) hi = 0x8F;
    } else
        return 0;
    if (i + len > s.size()) return 0;
    if (at(i + 1) < lo || at(i + 1) > hi) return 0;
    for (std::size_t k = 2; k < len; ++k)
        if ((at(i + k) & 0xC0) != 0x80) return 0;
    return len;
}
}  // namespace

bool isValid(std::string_view s) {
    for (std::size_t i = 0; i < s.size();) {
        // Runs of ASCII, the usual case (every request's head), eight bytes at a time.
        std::uint64_t word;
        if (i + sizeof word <= s.size()) {
            std::memcpy(&word, s.data() + i, sizeof word);
            if ((word & 0x8080808080808080ull) == 0) {
                i += sizeof word;
                continue;
            }
        }
        std::size_t n = sequenceLength(s, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

std::size_t withoutCutTail(std::string_view s) {
    // A cut sequence starts at most three bytes from the end.
    std::size_t back = 0;
    while (back < 3 && back < s.size() && (static_cast<unsigned char>(s[s.size() - 1 - back]) & 0xC0) == 0x80) ++back;
    if (back == s.size()) return s.size();
    std::size_t start = s.size() - 1 - back;
    unsigned char lead = static_cast<unsigned char>(s[start]);
    std::size_t want = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    return (want > back + 1) ? start : s.size();
}

std::string sanitized(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size();) {
        std::size_t n = sequenceLength(s, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
        } else {
            out.append(s, i, n);
            i += n;
        }
    }
    return out;
}

}  // namespace veltrane::text::utf8
