#pragma once
// The lyrics of the current track as the media adapter hands them over.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace veltrane::lyrics {

struct LyricsLine {
    double time = 0;  // seconds from the start of the track, never negative
    std::string text;  // trimmed; empty for an instrumental gap
    // Times by floating-point equality, texts by canonical equivalence.
    bool operator==(const LyricsLine& other) const;
};

struct LyricsSnapshot {
    std::string provider;  // the source that supplied them
    bool synced = false;   // whether `lines` carry times
    std::vector<LyricsLine> lines;  // in time order
    std::optional<std::string> plain;
    // Memberwise in this order; texts by canonical equivalence.
    bool operator==(const LyricsSnapshot& other) const;
};

// The lyric clock moved to another line.
struct LyricClockTick {
    double elapsed = 0;          // playhead, seconds
    std::int64_t capturedAtMs = 0;  // ms since 1970 at which `elapsed` held
    bool playing = false;
    std::int64_t index = -1;     // position of the current line in `lines`, -1 for none
    std::string current;         // its text, empty for none
};

}  // namespace veltrane::lyrics
