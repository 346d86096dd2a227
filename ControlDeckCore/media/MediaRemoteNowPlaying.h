#pragma once
// The reading of every now-playing source, and the client the runtime enables
// once it listens.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace veltrane::media {

struct MediaRemoteNowPlaying {
    // One reading of what plays. Times are seconds; `capturedAt` counts from
    // the reference date (2001-01-01 UTC).
    struct Snapshot {
        std::optional<std::string> title;
        std::optional<std::string> artist;  // may join several artists
        std::optional<std::string> album;
        std::optional<std::string> source;    // the player's display name
        std::optional<std::string> bundleId;  // the player's identifier
        bool isPlaying = false;
        double duration = 0;        // 0 or less: unknown
        double elapsed = 0;         // at `capturedAt`
        bool elapsedKnown = false;  // false: a placeholder or an estimate
        double playbackRate = 0;    // 0 paused, 1 normal speed
        std::optional<std::string> artwork;  // image bytes as delivered
        double capturedAt = 0;
        std::optional<bool> liked;
        std::optional<std::string> songMid;
        std::optional<std::string> albumMid;

        // Memberwise; texts by canonical equivalence, numbers by IEEE
        // equality (a NaN equals nothing), artwork byte for byte.
        bool operator==(const Snapshot& other) const;
    };

    // Seconds between 1970-01-01 and the reference date 2001-01-01 (UTC).
    static constexpr double kReferenceDateSince1970 = 978'307'200;

    // The transport commands with their command numbers.
    enum class Command : std::uint8_t {
        play = 0,
        pause = 1,
        togglePlayPause = 2,
        stop = 3,
        nextTrack = 4,
        previousTrack = 5,
        likeTrack = 21,
        dislikeTrack = 22,
        seekToPlaybackPosition = 24,
    };

    // The player's name for tablets: known players by bundle id, else the
    // fallback when not empty, else "Now Playing".
    static std::string displayName(const std::optional<std::string>& bundleId,
                                   const std::optional<std::string>& fallback);

    // The answer of one now-playing fetch (`fetchNowPlaying`, in
    // deck_media_sources): a reading, or none; with none, `nothingPlays` says
    // the player backend answered that no player plays or pauses (as opposed
    // to no answer in time).
    using FetchDone = std::function<void(std::optional<Snapshot> reading, bool nothingPlays)>;

    // The desktop build turns the process into a background UI application and
    // registers for now-playing notifications here. Linux has no process-type
    // change, and the host media adapter watches its sources itself, so there
    // is nothing to do; the runtime still calls it at the same point.
    static void enableClient() {}
};

// Canonical equivalence of two optional texts: both absent, or both present
// and equivalent.
bool sameOptionalText(const std::optional<std::string>& a, const std::optional<std::string>& b);

}  // namespace veltrane::media

namespace veltrane::deck {
// The runtime names the client from its own namespace.
using media::MediaRemoteNowPlaying;
}  // namespace veltrane::deck
