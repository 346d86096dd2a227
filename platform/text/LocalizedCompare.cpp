#include "platform/text/LocalizedCompare.h"

#include <unicode/ucol.h>

#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>

namespace veltrane::text {
namespace {

// ICU takes a POSIX locale's language and region ("de_DE" of "de_DE.UTF-8").
// The C locale gets the root collation: ICU's POSIX tailoring would put every
// capital before every small letter.
std::string icuLocale() {
    for (const char* name : {"LC_ALL", "LC_COLLATE", "LANG"}) {
        const char* value = std::getenv(name);
        if (value == nullptr || value[0] == '\0') continue;
        std::string locale(value);
        locale = locale.substr(0, locale.find_first_of(".@"));
        return locale == "C" || locale == "POSIX" ? std::string() : locale;
    }
    return {};  // the root collation
}

struct CollatorClose {
    void operator()(UCollator* c) const { ucol_close(c); }
};

// A collator is not safe for concurrent use; each thread keeps a clone.
UCollator* threadCollator() {
    static std::unique_ptr<UCollator, CollatorClose> prototype = [] {
        UErrorCode status = U_ZERO_ERROR;
        UCollator* collator = ucol_open(icuLocale().c_str(), &status);
        if (U_FAILURE(status)) {
            status = U_ZERO_ERROR;
            collator = ucol_open("", &status);  // the root collation
        }
        if (collator != nullptr) ucol_setStrength(collator, UCOL_SECONDARY);
        return std::unique_ptr<UCollator, CollatorClose>(collator);
    }();
    thread_local std::unique_ptr<UCollator, CollatorClose> mine = [] {
        if (!prototype) return std::unique_ptr<UCollator, CollatorClose>();
        UErrorCode status = U_ZERO_ERROR;
        return std::unique_ptr<UCollator, CollatorClose>(ucol_clone(prototype.get(), &status));
    }();
    return mine.get();
}

}  // namespace

int localizedCaseInsensitiveCompare(std::string_view a, std::string_view b) {
    UCollator* collator = threadCollator();
    UErrorCode status = U_ZERO_ERROR;
    if (collator != nullptr) {
        UCollationResult r = ucol_strcollUTF8(collator, a.data(), static_cast<int32_t>(a.size()), b.data(),
                                              static_cast<int32_t>(b.size()), &status);
        if (U_SUCCESS(status)) return r == UCOL_LESS ? -1 : r == UCOL_GREATER ? 1 : 0;
    }
    return a.compare(b) < 0 ? -1 : a == b ? 0 : 1;
}

}  // namespace veltrane::text
