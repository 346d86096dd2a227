#include "ControlDeckCore/media/QQNowPlaying.h"

#include <algorithm>

#include "ControlDeckCore/media/MediaRemoteNowPlaying.h"
#include "platform/image/AreaResample.h"
#include "platform/image/BoundedDecode.h"
#include "platform/image/JPEGImage.h"
#include "platform/text/CanonicalText.h"

namespace veltrane::media {

namespace {

constexpr int kQualities[] = {80, 60, 40, 20};

}  // namespace

bool QQNowPlaying::LibraryTrack::operator==(const LibraryTrack& other) const {
    return text::canonicallyEqual(title, other.title) && text::canonicallyEqual(artist, other.artist) &&
           sameOptionalText(album, other.album) && duration == other.duration &&
           sameOptionalText(songMid, other.songMid) && sameOptionalText(albumMid, other.albumMid);
}

std::optional<std::string> QQNowPlaying::displayArtwork(std::string_view data) {
    if (data.size() > kMaxInputBytes) return std::nullopt;
    const auto decoded = image::decodeWithin(data, {kMaxInputSide, kMaxInputPixels});
    if (!decoded) return std::nullopt;
    if (data.size() < kMaxOutputBytes && image::hasJPEGSignature(data)) return std::string(data);

    const auto drawn = image::redrawOverTransparent(*decoded, std::min(decoded->width, kMaxOutputSide),
                                                    std::min(decoded->height, kMaxOutputSide));
    for (int quality : kQualities) {
        auto jpeg = image::JPEGImage::encode(drawn, quality);
        if (jpeg && jpeg->size() < kMaxOutputBytes) return jpeg;
    }
    return std::nullopt;
}

}  // namespace veltrane::media
