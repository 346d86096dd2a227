#include "ControlDeckCore/media/MediaRemoteNowPlaying.h"

#include "platform/text/CanonicalText.h"

namespace veltrane::media {

bool sameOptionalText(const std::optional<std::string>& a, const std::optional<std::string>& b) {
    if (a.has_value() != b.has_value()) return false;
    return !a || text::canonicallyEqual(*a, *b);
}

std::string MediaRemoteNowPlaying::displayName(const std::optional<std::string>& bundleId,
                                               const std::optional<std::string>& fallback) {
    static const std::pair<const char*, const char*> kNames[] = {
        {"com.tencent.QQMusicMac", "QQ音乐"},
        {"com.apple.Music", "Music"},
        {"com.spotify.client", "Spotify"},
        {"com.netease.163music", "网易云音乐"},
    };
    if (bundleId)
        for (const auto& [id, name] : kNames)
            if (*bundleId == id) return name;
    if (fallback && !fallback->empty()) return *fallback;
    return "Now Playing";
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
