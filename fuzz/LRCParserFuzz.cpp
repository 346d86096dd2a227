// Whatever the text, the parsed lines are sorted, finite and not negative,
// trimmed and free of line breaks, no more than the stamps, within the text
// budget, alike for "\n" and "\r\n"; the clock's line has started by the
// playhead and is not blank.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ControlDeckCore/lyrics/LRCParser.h"
#include "ControlDeckCore/lyrics/LyricClock.h"
#include "platform/text/Whitespace.h"

using namespace veltrane;
using lyrics::LRCParser;

namespace {

std::size_t textBytes(const std::vector<lyrics::LyricsLine>& lines) {
    std::size_t total = 0;
    for (const auto& line : lines) total += line.text.size();
    return total;
}

void checkClock(const std::vector<lyrics::LyricsLine>& lines, double elapsed) {
    const auto current = lyrics::LyricClock::line(lines, elapsed);
    if (!current) return;
    if (current->index >= lines.size()) std::abort();
    const auto& line = lines[current->index];
    if (!(line.time <= elapsed) || line.text != current->text) std::abort();
    if (text::trimmingWhitespaceAndNewlines(line.text).empty()) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = text::repairedUTF8(std::string_view(reinterpret_cast<const char*>(data), size));
    const auto lines = LRCParser::parse(input);

    if (lines.size() > static_cast<std::size_t>(std::count(input.begin(), input.end(), '['))) std::abort();
    if (textBytes(lines) > LRCParser::textBudget(input.size())) std::abort();
    for (std::size_t i = 0; i < lines.size(); ++i) {
        const auto& line = lines[i];
        if (!std::isfinite(line.time) || line.time < 0) std::abort();
        if (i > 0 && line.time < lines[i - 1].time) std::abort();
        if (line.text.find_first_of("\r\n") != std::string::npos) std::abort();
        if (text::trimmingSpaces(line.text) != line.text) std::abort();
    }

    // Within the budget with room for any line, "\r\n" must read like "\n".
    if (textBytes(lines) + input.size() <= LRCParser::textBudget(input.size())) {
        std::string crlf;
        for (char c : input) {
            if (c == '\n') crlf += '\r';
            crlf += c;
        }
        if (LRCParser::parse(crlf) != lines) std::abort();
    }

    checkClock(lines, -1);
    checkClock(lines, std::nan(""));
    checkClock(lines, 1e18);
    for (std::size_t i = 0; i < lines.size() && i < 64; ++i) {
        checkClock(lines, lines[i].time);
        checkClock(lines, lines[i].time - 0.001);
    }
    return 0;
}
