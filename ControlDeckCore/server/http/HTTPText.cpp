#include "ControlDeckCore/server/http/HTTPText.h"

namespace veltrane::deck::http {

namespace {
char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
}  // namespace

std::string lowercased(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = lower(c);
    return out;
}

std::string_view trimmed(std::string_view text) {
    auto blank = [](char c) { return c == ' ' || c == '\t'; };
    while (!text.empty() && blank(text.front())) text.remove_prefix(1);
    while (!text.empty() && blank(text.back())) text.remove_suffix(1);
    return text;
}

bool equalsIgnoringCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

std::vector<std::string_view> splitDroppingEmpty(std::string_view text, char separator, std::size_t maxSplits) {
    std::vector<std::string_view> pieces;
    if (text.empty()) return pieces;
    // Bounded splits (a request line, a target) take one allocation.
    if (maxSplits < 8) pieces.reserve(maxSplits + 1);
    if (maxSplits == 0) {
        pieces.push_back(text);
        return pieces;
    }
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != separator) continue;
        bool taken = i > start;
        if (taken) pieces.push_back(text.substr(start, i - start));
        start = i + 1;
        if (taken && pieces.size() == maxSplits) break;
    }
    if (start < text.size()) pieces.push_back(text.substr(start));
    return pieces;
}

}  // namespace veltrane::deck::http
