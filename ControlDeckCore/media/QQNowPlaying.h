#pragma once
// The QQ Music side of now-playing: its play-queue record, and the one
// normaliser of cover images for tablets.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace veltrane::media {

struct QQNowPlaying {
    // An entry of the play queue, also what the song search finds.
    struct LibraryTrack {
        std::string title;   // trimmed, never empty in entries we build
        std::string artist;  // names joined by " / "; may be empty
        std::optional<std::string> album;
        double duration = 0;  // seconds; 0 when unknown
        std::optional<std::string> songMid;
        std::optional<std::string> albumMid;  // or the album picture's id

        // Memberwise; texts by canonical equivalence.
        bool operator==(const LibraryTrack& other) const;
    };

    // Larger input is not looked at.
    static constexpr std::size_t kMaxInputBytes = 20'000'000;
    // What tablets get: a JPEG under this many bytes, within this many
    // pixels a side.
    static constexpr std::size_t kMaxOutputBytes = 220'000;
    static constexpr int kMaxOutputSide = 600;
    // Images declaring more are refused before any pixel is decoded, so a
    // small file cannot make us allocate gigabytes.
    static constexpr int kMaxInputSide = 8192;
    static constexpr long long kMaxInputPixels = 40'000'000;

    // Any JPEG or PNG as a JPEG for tablets: a small JPEG as it is, anything
    // else redrawn within 600 × 600 and encoded at falling quality until it
    // is small enough. None for what cannot be read or made small enough.
    static std::optional<std::string> displayArtwork(std::string_view data);
};

}  // namespace veltrane::media
