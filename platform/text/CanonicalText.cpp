#include "platform/text/CanonicalText.h"

#include <cstdint>

#include <unicode/normalizer2.h>
#include <unicode/stringpiece.h>
#include <unicode/unistr.h>

namespace veltrane::text {

std::string nfc(std::string_view utf8) {
    // ICU lengths are 32-bit; nothing we compare comes near that.
    if (utf8.size() > static_cast<std::size_t>(INT32_MAX)) return std::string(utf8);
    // Fetched once under the language's guarded static: ICU's own once-only
    // set-up is invisible to ThreadSanitizer, which then reports every first
    // use from two threads as a race.
    static const icu::Normalizer2* const shared = [] {
        UErrorCode status = U_ZERO_ERROR;
        const icu::Normalizer2* instance = icu::Normalizer2::getNFCInstance(status);
        return U_FAILURE(status) ? nullptr : instance;
    }();
    const icu::Normalizer2* normalizer = shared;
    UErrorCode status = normalizer ? U_ZERO_ERROR : U_MISSING_RESOURCE_ERROR;
    icu::UnicodeString source =
        icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
    std::string out;
    if (U_FAILURE(status)) return source.toUTF8String(out);
    icu::UnicodeString normalized = normalizer->normalize(source, status);
    if (U_FAILURE(status)) return source.toUTF8String(out);
    return normalized.toUTF8String(out);
}

bool canonicallyEqual(std::string_view a, std::string_view b) {
    if (a == b) return true;
    auto ascii = [](std::string_view s) {
        for (char c : s)
            if (static_cast<unsigned char>(c) >= 0x80) return false;
        return true;
    };
    // ASCII is its own normal form.
    if (ascii(a) && ascii(b)) return false;
    return nfc(a) == nfc(b);
}

}  // namespace veltrane::text
