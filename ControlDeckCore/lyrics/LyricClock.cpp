#include "ControlDeckCore/lyrics/LyricClock.h"

#include "platform/text/Whitespace.h"

namespace veltrane::lyrics {

std::optional<LyricClock::Line> LyricClock::line(const std::vector<LyricsLine>& lines, double elapsed) {
    // Lines may come unsorted from elsewhere: the highest index that has
    // started wins, not the first found.
    std::size_t found = lines.size();
    for (std::size_t i = 0; i < lines.size(); ++i)
        if (lines[i].time <= elapsed) found = i;
    if (found == lines.size()) return std::nullopt;
    for (std::size_t i = found + 1; i-- > 0;)
        if (!text::trimmingWhitespaceAndNewlines(lines[i].text).empty()) return Line{i, lines[i].text};
    return std::nullopt;
}

}  // namespace veltrane::lyrics
