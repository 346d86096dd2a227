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

namespace {
// Hands each piece to `take`, which answers how many it holds now.
template <class Take>
void split(std::string_view text, char separator, std::size_t maxSplits, Take take) {
    if (text.empty()) return;
    if (maxSplits == 0) {
        take(text);
        return;
    }
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != separator) continue;
        bool taken = i > start;
        std::size_t held = taken ? take(text.substr(start, i - start)) : 0;
        start = i + 1;
        if (taken && held == maxSplits) break;
    }
    if (start < text.size()) take(text.substr(start));
}
}  // namespace

std::vector<std::string_view> splitDroppingEmpty(std::string_view text, char separator, std::size_t maxSplits) {
    std::vector<std::string_view> pieces;
    // Bounded splits take one allocation.
    if (maxSplits < 8 && !text.empty()) pieces.reserve(maxSplits + 1);
    split(text, separator, maxSplits, [&pieces](std::string_view piece) {
        pieces.push_back(piece);
        return pieces.size();
    });
    return pieces;
}

std::size_t splitDroppingEmpty(std::string_view text, char separator, std::span<std::string_view> pieces) {
    std::size_t count = 0;
    if (pieces.empty()) return 0;
    split(text, separator, pieces.size() - 1, [&](std::string_view piece) {
        pieces[count++] = piece;
        return count;
    });
    return count;
}

}  // namespace veltrane::deck::http
