#pragma once
// The watcher's output: bytes cut into lines, and each line (one JSON object)
// read into a now-playing reading.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "ControlDeckCore/media/MediaRemoteNowPlaying.h"

namespace veltrane::media {

// Watcher output not yet consumed as whole lines.
class WatchBuffer {
public:
    // An unfinished line longer than this is dropped.
    static constexpr std::size_t kMaxPendingBytes = 1'000'000;

    // Appends `bytes` and takes out every line now complete, in order,
    // without its line feed. Lines that are not UTF-8 are dropped.
    std::vector<std::string> append(std::string_view bytes);
    void clear() { pending_.clear(); }
    std::size_t pendingBytes() const { return pending_.size(); }

private:
    std::string pending_;
};

struct HelperLine {
    enum class Kind {
        ignored,  // not a reading: not an object, or neither title nor artist
        empty,    // the watcher reports that nothing is playing
        reading,
    };
    Kind kind = Kind::ignored;
    std::optional<MediaRemoteNowPlaying::Snapshot> snapshot;  // for `reading`
    std::optional<double> rawElapsed;                         // the player's own position, when given
    bool scriptable = false;                                  // taken from a player's scripting interface

    // `now`: seconds since the reference date, the capture time of a line
    // without "elapsedAt". A line whose "ok" and "empty" are true is empty,
    // and so is a line with "ok" false and "pid" 0 and neither title nor
    // artist: the watcher's word that no player plays or pauses.
    static HelperLine parse(std::string_view line, double now);
};

// The reading of one line's object; none without a "title" or "artist" text.
// Numbers that are not finite, and an "elapsedAt" outside the clock's range,
// count as absent.
std::optional<MediaRemoteNowPlaying::Snapshot> snapshotFromHelperJSON(const nlohmann::json& json, double now);

}  // namespace veltrane::media
