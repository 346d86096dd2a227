#pragma once
// Which lyric line shows at a playhead position.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "ControlDeckCore/lyrics/LyricsRecords.h"

namespace veltrane::lyrics {

struct LyricClock {
    struct Line {
        std::size_t index;
        std::string text;  // as stored, untrimmed
    };
    // The last line that has started by `elapsed`, or the nearest non-blank
    // line before it; none before the first line, for a NaN, or when every
    // line up to there is blank. One pass, no allocation but the answer.
    static std::optional<Line> line(const std::vector<LyricsLine>& lines, double elapsed);
};

}  // namespace veltrane::lyrics
