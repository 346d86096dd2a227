#include "platform/text/LatinTransliteration.h"

#include <unicode/translit.h>
#include <unicode/unistr.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <stdexcept>

namespace veltrane::text {

namespace {

constexpr const char* kTransform = "Han-Latin; NFD; [:Nonspacing Mark:] Remove; NFC";

// ICU transliterators keep working state: one instance, one caller at a time.
struct SharedTransliterator {
    std::mutex mutex;
    std::unique_ptr<icu::Transliterator> instance;
    std::string failure;

    SharedTransliterator() {
        UErrorCode status = U_ZERO_ERROR;
        instance.reset(icu::Transliterator::createInstance(icu::UnicodeString::fromUTF8(kTransform), UTRANS_FORWARD,
                                                           status));
        if (U_FAILURE(status) || !instance) {
            instance.reset();
            failure = std::string("transliterator: ") + u_errorName(status);
        }
    }
};

SharedTransliterator& shared() {
    static SharedTransliterator transliterator;
    return transliterator;
}

}  // namespace

std::string latinTransliteration(std::string_view utf8) {
    if (utf8.size() > static_cast<std::size_t>(INT32_MAX)) throw std::runtime_error("transliterator: text too long");
    icu::UnicodeString text =
        icu::UnicodeString::fromUTF8(icu::StringPiece(utf8.data(), static_cast<std::int32_t>(utf8.size())));
    SharedTransliterator& t = shared();
    if (!t.instance) throw std::runtime_error(t.failure);
    {
        std::lock_guard lock(t.mutex);
        t.instance->transliterate(text);
    }
    std::string out;
    return text.toUTF8String(out);
}

}  // namespace veltrane::text
