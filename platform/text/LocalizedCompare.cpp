#include "platform/text/LocalizedCompare.h"

#include <unicode/ucol.h>
#include <unicode/ustring.h>

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

namespace {

std::u16string utf16(std::string_view utf8) {
    UErrorCode status = U_ZERO_ERROR;
    int32_t length = 0;
    u_strFromUTF8WithSub(nullptr, 0, &length, utf8.data(), static_cast<int32_t>(utf8.size()), 0xFFFD, nullptr, &status);
    std::u16string out(static_cast<std::size_t>(length), u'\0');
    status = U_ZERO_ERROR;
    u_strFromUTF8WithSub(out.data(), length, nullptr, utf8.data(), static_cast<int32_t>(utf8.size()), 0xFFFD, nullptr,
                         &status);
    return U_SUCCESS(status) ? out : std::u16string();
}

}  // namespace

bool caseInsensitiveEquals(std::string_view a, std::string_view b) {
    if (a == b) return true;
    std::u16string left = utf16(a), right = utf16(b);
    UErrorCode status = U_ZERO_ERROR;
    int32_t order = u_strCaseCompare(left.data(), static_cast<int32_t>(left.size()), right.data(),
                                     static_cast<int32_t>(right.size()), U_FOLD_CASE_DEFAULT, &status);
    return U_SUCCESS(status) && order == 0;
}

}  // namespace veltrane::text
