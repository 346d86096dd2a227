#include "ControlDeckCore/shared/Whitespace.h"

#include <array>

namespace veltrane::deck {

namespace {

// Every such character lies below U+3001, so its UTF-8 form has at most
// three bytes.
constexpr std::array<std::string_view, 25> kWhitespace = {
    "\t", "\n", "\v", "\f", "\r", " ",
    "\xC2\x85", "\xC2\xA0",                                                   // NEL, no-break space
    "\xE1\x9A\x80",                                                           // ogham space mark
    "\xE2\x80\x80", "\xE2\x80\x81", "\xE2\x80\x82", "\xE2\x80\x83", "\xE2\x80\x84", "\xE2\x80\x85",
    "\xE2\x80\x86", "\xE2\x80\x87", "\xE2\x80\x88", "\xE2\x80\x89", "\xE2\x80\x8A",  // U+2000..U+200A
    "\xE2\x80\xA8", "\xE2\x80\xA9",                                           // line, paragraph separator
    "\xE2\x80\xAF", "\xE2\x81\x9F",                                           // narrow no-break, math space
    "\xE3\x80\x80",                                                           // ideographic space
};

std::size_t leadingLength(std::string_view s) {
    for (auto w : kWhitespace)
        if (s.substr(0, w.size()) == w) return w.size();
    return 0;
}

std::size_t trailingLength(std::string_view s) {
    for (auto w : kWhitespace)
        if (s.size() >= w.size() && s.substr(s.size() - w.size()) == w) return w.size();
    return 0;
}

}  // namespace

std::string_view trimmingWhitespaceAndNewlines(std::string_view text) {
    while (std::size_t n = leadingLength(text)) text.remove_prefix(n);
    while (std::size_t n = trailingLength(text)) text.remove_suffix(n);
    return text;
}

}  // namespace veltrane::deck
