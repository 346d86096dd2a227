#pragma once
// LRC text to timed lyric lines.

#include <cstddef>
#include <string_view>
#include <vector>

#include "ControlDeckCore/lyrics/LyricsRecords.h"

namespace veltrane::lyrics {

struct LRCParser {
    // A line with k stamps yields k copies of its text, so one hostile line
    // could ask for gigabytes. Lines stop being added, in text order, once
    // their texts would pass this many times the input's size (never less
    // than the floor), which ordinary files never come near.
    static constexpr std::size_t kTextBudgetFactor = 16;
    static constexpr std::size_t kTextBudgetFloor = 1 << 20;

    // Every stamped line of `text` ("[mm:ss]", "[mm:ss.xx]", several stamps
    // a line), shifted by the last "[offset:±ms]" tag and sorted by time,
    // lines of equal time in text order. Tags and unstamped text give
    // nothing. Expects UTF-8; never fails.
    static std::vector<LyricsLine> parse(std::string_view text);

    // How many text bytes the lines of an input of `inputSize` bytes may hold.
    static std::size_t textBudget(std::size_t inputSize);
};

}  // namespace veltrane::lyrics
