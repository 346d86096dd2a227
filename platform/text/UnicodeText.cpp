#include "platform/text/UnicodeText.h"

#include <unicode/locid.h>
#include <unicode/stringpiece.h>
#include <unicode/ubrk.h>
#include <unicode/uchar.h>
#include <unicode/unistr.h>
#include <unicode/utext.h>
#include <unicode/utypes.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <stdexcept>

namespace veltrane::text {

namespace {

struct UTextCloser {
    void operator()(UText* t) const { utext_close(t); }
};
struct BreakIteratorCloser {
    void operator()(UBreakIterator* b) const { ubrk_close(b); }
};

bool startsWithNumeric(std::string_view cluster) {
    std::int32_t offset = 0;
    UChar32 c = 0;
    U8_NEXT(reinterpret_cast<const std::uint8_t*>(cluster.data()), offset, static_cast<std::int32_t>(cluster.size()), c);
    return c >= 0 && u_getIntPropertyValue(c, UCHAR_NUMERIC_TYPE) != U_NT_NONE;
}

// Calls `visit(start, end)` with the byte range of each character in order
// until it returns false.
template <class Visit>
void forEachCharacter(std::string_view utf8, Visit&& visit) {
    if (utf8.empty()) return;
    UErrorCode status = U_ZERO_ERROR;
    // Over UTF-8 text the iterator's boundaries are byte offsets into `utf8`.
    std::unique_ptr<UText, UTextCloser> text(
        utext_openUTF8(nullptr, utf8.data(), static_cast<std::int64_t>(utf8.size()), &status));
    std::unique_ptr<UBreakIterator, BreakIteratorCloser> characters(
        ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status));
    if (U_FAILURE(status)) throw std::runtime_error(std::string("character iterator: ") + u_errorName(status));
    ubrk_setUText(characters.get(), text.get(), &status);
    if (U_FAILURE(status)) throw std::runtime_error(std::string("character iterator: ") + u_errorName(status));

    std::int32_t start = ubrk_first(characters.get());
    for (std::int32_t end = ubrk_next(characters.get()); end != UBRK_DONE;
         start = end, end = ubrk_next(characters.get())) {
        if (!visit(static_cast<std::size_t>(start), static_cast<std::size_t>(end))) return;
    }
}

}  // namespace

std::string numericCharacters(std::string_view utf8) {
    std::string out;
    forEachCharacter(utf8, [&](std::size_t start, std::size_t end) {
        auto cluster = utf8.substr(start, end - start);
        if (startsWithNumeric(cluster)) out += cluster;
        return true;
    });
    return out;
}

std::size_t characterCount(std::string_view utf8) {
    std::size_t count = 0;
    forEachCharacter(utf8, [&](std::size_t, std::size_t) {
        ++count;
        return true;
    });
    return count;
}

std::size_t characterPrefixLength(std::string_view utf8, std::size_t maxCharacters, std::size_t maxBytes) {
    if (utf8.size() <= maxBytes && utf8.size() <= maxCharacters) return utf8.size();  // every character has a byte
    std::size_t length = 0;
    std::size_t count = 0;
    forEachCharacter(utf8, [&](std::size_t, std::size_t end) {
        if (count == maxCharacters || end > maxBytes) return false;
        ++count;
        length = end;
        return true;
    });
    return length;
}

bool containsIdeographic(std::string_view utf8) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(utf8.data());
    const auto length = static_cast<std::int64_t>(utf8.size());
    for (std::int64_t offset = 0; offset < length;) {
        if (bytes[offset] < 0x80) {
            ++offset;
            continue;
        }
        UChar32 c = 0;
        std::int32_t step = 0;
        // U8_NEXT takes 32-bit offsets: decode from a window at `offset`.
        const auto window = static_cast<std::int32_t>(std::min<std::int64_t>(length - offset, 4));
        U8_NEXT(bytes + offset, step, window, c);
        if (c >= 0 && u_hasBinaryProperty(c, UCHAR_IDEOGRAPHIC)) return true;
        offset += step;
    }
    return false;
}

std::string lowercased(std::string_view utf8) {
    // ICU lengths are 32-bit; callers lower-case short texts only.
    if (utf8.size() > static_cast<std::size_t>(INT32_MAX)) return std::string(utf8);
    icu::UnicodeString text =
        icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
    text.toLower(icu::Locale::getRoot());
    std::string out;
    return text.toUTF8String(out);
}

bool onlyLettersAndNumbers(std::string_view utf8) {
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(utf8.data());
    const auto length = static_cast<std::int64_t>(utf8.size());
    for (std::int64_t offset = 0; offset < length;) {
        UChar32 c = 0;
        std::int32_t step = 0;
        const auto window = static_cast<std::int32_t>(std::min<std::int64_t>(length - offset, 4));
        U8_NEXT(bytes + offset, step, window, c);
        if (c < 0) return false;
        const auto mask = U_GET_GC_MASK(c);
        if (!(mask & (U_GC_L_MASK | U_GC_N_MASK))) return false;
        offset += step;
    }
    return true;
}

}  // namespace veltrane::text
