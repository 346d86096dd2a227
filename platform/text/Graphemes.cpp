#include "platform/text/Graphemes.h"

#include <memory>

#include <unicode/ubrk.h>
#include <unicode/utext.h>

namespace veltrane::text {

std::size_t characterCount(std::string_view s) {
    if (s.empty()) return 0;
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<UText, decltype(&utext_close)> text(
        utext_openUTF8(nullptr, s.data(), static_cast<int64_t>(s.size()), &status), &utext_close);
    std::unique_ptr<UBreakIterator, decltype(&ubrk_close)> breaks(ubrk_open(UBRK_CHARACTER, "", nullptr, 0, &status),
                                                                  &ubrk_close);
    if (U_SUCCESS(status)) ubrk_setUText(breaks.get(), text.get(), &status);
    // The byte count bounds the answer from above, so length limits err toward refusing.
    if (U_FAILURE(status)) return s.size();
    std::size_t count = 0;
    while (ubrk_next(breaks.get()) != UBRK_DONE) ++count;
    return count;
}

}  // namespace veltrane::text
