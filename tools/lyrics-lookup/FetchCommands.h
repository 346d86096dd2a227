#pragma once
// lyrics-lookup's `fetch` and `batch`: calls through the lyrics front, every
// answer printed as one JSON line the moment it arrives.

#include <optional>
#include <string>
#include <vector>

#include "ControlDeckCore/lyrics/LyricsService.h"

namespace veltrane::lyricslookup {

struct FetchTrack {
    std::string title;
    lyrics::OptionalText artist, album;
    double duration = 0;
    lyrics::OptionalText bundleId, songMid;
};

lyrics::Json snapshotJSON(const lyrics::OptionalSnapshot& s);

// `calls` calls of one track; after each call's first answer, `settle`
// seconds for later answers before the next call. 0 when every call was
// answered, 1 when one was not within 120 s.
int runFetch(const FetchTrack& track, int calls, double settle);

// One track a line: {"title","artist","album","duration","bundleId",
// "songMid"} (all optional; null counts as absent). None, with the line and
// the reason in `error`, for a file that cannot be read or a bad line.
std::optional<std::vector<FetchTrack>> readBatch(const std::string& path, std::string& error);
// Every track called from one serial queue; {"i","callMs","ms","answer"}
// per answer. 1 when a track is unanswered 120 s after its call, else 0
// once `settle` seconds passed after the last first answer.
int runBatch(const std::vector<FetchTrack>& tracks, double settle);

}  // namespace veltrane::lyricslookup
