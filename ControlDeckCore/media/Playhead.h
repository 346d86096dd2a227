#pragma once
// The pure rules that tell readings of now-playing apart and carry the
// published playhead from one reading to the next without jumps.

#include <optional>
#include <set>
#include <string>

#include "ControlDeckCore/media/MediaRemoteNowPlaying.h"

namespace veltrane::media {

using OptionalText = std::optional<std::string>;

struct Playhead {
    using Snapshot = MediaRemoteNowPlaying::Snapshot;

    // Lower-cased co-artists, trimmed, sorted and joined with "/"; the one
    // artist normalisation of now-playing and lyrics.
    static std::string artistKey(const OptionalText& artist);
    static bool sameTrack(const OptionalText& titleA, const OptionalText& titleB, const OptionalText& artistA,
                          const OptionalText& artistB);
    // The artist text naming more artists; a tie keeps `a`.
    static OptionalText richerArtist(const OptionalText& a, const OptionalText& b);
    static bool sameTitleCompatibleArtists(const OptionalText& titleA, const OptionalText& titleB,
                                           const OptionalText& artistA, const OptionalText& artistB);
    static bool sameRecording(const OptionalText& titleA, const OptionalText& titleB, const OptionalText& artistA,
                              const OptionalText& artistB, const OptionalText& aAlbum, const OptionalText& bAlbum,
                              const OptionalText& aSource, const OptionalText& bSource,
                              const OptionalText& aBundleId, const OptionalText& bBundleId);
    // A fresh transport reading of the player overrides whether a reading
    // of the same track plays.
    static Snapshot reconcilePlayback(const Snapshot& incoming, const std::optional<Snapshot>& controls,
                                      std::optional<double> rawElapsed, double now);

    struct Current {
        OptionalText title;
        OptionalText artist;
        double elapsed = 0;
        double captured = 0;
        bool playing = false;
        double rate = 0;
        double duration = 0;
        OptionalText album;
        OptionalText source;
        OptionalText bundleId;
    };
    // `incoming` with the published anchor kept where it merely restates the
    // position.
    static Snapshot merge(const Snapshot& incoming, const Current& current, double now, bool forceAnchor);
    // Whether the first position after a track change is the previous
    // track's carried over.
    static bool staleRolloverElapsed(double elapsed, double previousElapsed, double previousDuration);

private:
    static std::set<std::string> artistTokens(const OptionalText& artist);
    static bool sameKnownField(const OptionalText& a, const OptionalText& b);
};

}  // namespace veltrane::media
