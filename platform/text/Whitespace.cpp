#include "platform/text/Whitespace.h"

namespace veltrane::text {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The last scalar of `text` that ends at `end`, if it is valid; length 0
// when the bytes before `end` are not one valid sequence.
DecodedScalar decodeBackward(std::string_view text, std::size_t end) {
    std::size_t start = end;
    for (std::size_t n = 0; n < 4 && start > 0; ++n) {
        --start;
        if ((static_cast<unsigned char>(text[start]) & 0xC0) != 0x80) {
            DecodedScalar d = decodeScalar(text, start);
            if (d.valid && start + d.length == end) return d;
            return {kReplacement, 0, false};
        }
    }
    return {kReplacement, 0, false};
}

template <class Set>
std::string_view trimming(std::string_view text, Set inSet) {
    std::size_t start = 0;
    while (start < text.size()) {
        DecodedScalar d = decodeScalar(text, start);
        if (!d.valid || !inSet(d.scalar)) break;
        start += d.length;
    }
    std::size_t end = text.size();
    while (end > start) {
        DecodedScalar d = decodeBackward(text, end);
        if (!d.valid || !inSet(d.scalar)) break;
        end -= d.length;
    }
    return text.substr(start, end - start);
}

void appendUTF8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

bool isSpace(char32_t c) {
    if (c < 0x80) return c == ' ' || c == '\t';
    return c == 0xA0 || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) || c == 0x202F || c == 0x205F || c == 0x3000;
}

bool isWhitespaceOrNewline(char32_t c) {
    if (c < 0x80) return c == ' ' || (c >= 0x09 && c <= 0x0D);
    return c == 0x85 || c == 0x2028 || c == 0x2029 || isSpace(c);
}

DecodedScalar decodeScalar(std::string_view text, std::size_t at) {
    auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char b0 = byte(at);
    if (b0 < 0x80) return {b0, 1, true};
    std::size_t need;
    char32_t c;
    unsigned char low = 0x80, high = 0xBF;  // the second byte's range
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        need = 1;
        c = b0 & 0x1F;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        need = 2;
        c = b0 & 0x0F;
        if (b0 == 0xE0) low = 0xA0;
        if (b0 == 0xED) high = 0x9F;  // no surrogates
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        need = 3;
        c = b0 & 0x07;
        if (b0 == 0xF0) low = 0x90;
        if (b0 == 0xF4) high = 0x8F;
    } else {
        return {kReplacement, 1, false};
    }
    std::size_t i = at + 1;
    for (std::size_t k = 0; k < need; ++k, ++i) {
        if (i >= text.size()) return {kReplacement, i - at, false};
        const unsigned char b = byte(i);
        const unsigned char lo = k == 0 ? low : 0x80, hi = k == 0 ? high : 0xBF;
        if (b < lo || b > hi) return {kReplacement, i - at, false};
        c = (c << 6) | (b & 0x3F);
    }
    return {c, need + 1, true};
}

namespace {

// The space separators' UTF-8 forms, matched as bytes: trimming lyric lines
// sits on the parser's hot path.
std::size_t leadingSpaceLength(std::string_view s) {
    auto at = [&](std::size_t i) { return i < s.size() ? static_cast<unsigned char>(s[i]) : 0u; };
    const unsigned b0 = at(0);
    if (b0 == ' ' || b0 == '\t') return 1;
    if (b0 == 0xC2) return at(1) == 0xA0 ? 2 : 0;
    if (b0 == 0xE1) return at(1) == 0x9A && at(2) == 0x80 ? 3 : 0;
    if (b0 == 0xE2) {
        if (at(1) == 0x80) return (at(2) >= 0x80 && at(2) <= 0x8A) || at(2) == 0xAF ? 3 : 0;
        return at(1) == 0x81 && at(2) == 0x9F ? 3 : 0;
    }
    if (b0 == 0xE3) return at(1) == 0x80 && at(2) == 0x80 ? 3 : 0;
    return 0;
}

std::size_t trailingSpaceLength(std::string_view s) {
    const std::size_t n = s.size();
    if (n == 0) return 0;
    const auto last = static_cast<unsigned char>(s[n - 1]);
    if (last == ' ' || last == '\t') return 1;
    if (last < 0x80) return 0;
    if (n >= 2 && leadingSpaceLength(s.substr(n - 2)) == 2) return 2;
    if (n >= 3 && leadingSpaceLength(s.substr(n - 3)) == 3) return 3;
    return 0;
}

}  // namespace

std::string_view trimmingSpaces(std::string_view text) {
    while (std::size_t n = leadingSpaceLength(text)) text.remove_prefix(n);
    while (std::size_t n = trailingSpaceLength(text)) text.remove_suffix(n);
    return text;
}

std::string_view trimmingWhitespaceAndNewlines(std::string_view text) {
    return trimming(text, isWhitespaceOrNewline);
}

std::string collapsingWhitespace(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    bool inRun = false;
    for (std::size_t i = 0; i < text.size();) {
        DecodedScalar d = decodeScalar(text, i);
        if (d.valid && isWhitespaceOrNewline(d.scalar)) {
            if (!inRun) out += ' ';
            inRun = true;
        } else {
            out.append(text.substr(i, d.length));
            inRun = false;
        }
        i += d.length;
    }
    return out;
}

std::string repairedUTF8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    std::size_t i = 0;
    while (i < bytes.size()) {
        // Runs of ASCII are the common case.
        std::size_t run = i;
        while (run < bytes.size() && static_cast<unsigned char>(bytes[run]) < 0x80) ++run;
        out.append(bytes.substr(i, run - i));
        i = run;
        if (i >= bytes.size()) break;
        DecodedScalar d = decodeScalar(bytes, i);
        if (!d.valid) appendUTF8(out, kReplacement);
        else out.append(bytes.substr(i, d.length));
        i += d.length;
    }
    return out;
}

}  // namespace veltrane::text
