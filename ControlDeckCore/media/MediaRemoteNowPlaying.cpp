#include "ControlDeckCore/media/MediaRemoteNowPlaying.h"

#include "platform/text/CanonicalText.h"

namespace veltrane::media {

bool sameOptionalText(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || text::canonicallyEqual(*a, *b);
}

bool MediaRemoteNowPlaying::Snapshot::operator==(const Snapshot& other) const {
    return sameOptionalText(title, other.title) && sameOptionalText(artist, other.artist) &&
           sameOptionalText(album, other.album) && sameOptionalText(source, other.source) &&
           sameOptionalText(bundleId, other.bundleId) && isPlaying == other.isPlaying &&
           duration == other.duration && elapsed == other.elapsed && elapsedKnown == other.elapsedKnown &&
           playbackRate == other.playbackRate && artwork == other.artwork && capturedAt == other.capturedAt &&
           liked == other.liked && sameOptionalText(songMid, other.songMid) &&
           sameOptionalText(albumMid, other.albumMid);
}

}  // namespace veltrane::media
