#include "ControlDeckCore/lyrics/LyricsService.h"
#include "ControlDeckCore/lyrics/LyricsWeb.h"

namespace veltrane::lyrics {

std::optional<LyricsSnapshot> LyricsLookup::lrclib(std::string_view title, const OptionalText& artist,
                                                   const OptionalText& album, double duration) {
    const auto origin = LyricsService::current()->endpoints().lrclib;
    if (const auto record = getJSON(serviceURL(origin, "/api/get", lrclibGetQuery(title, artist, album, duration)),
                                    std::nullopt, kRequestTimeout)) {
        if (auto snapshot = snapshotFromLrclib(*record)) return snapshot;
    }
    if (const auto answer =
            getJSON(serviceURL(origin, "/api/search", lrclibSearchQuery(title, artist)), std::nullopt, kRequestTimeout);
        answer && answer->is_array()) {
        if (const auto record = matchedLrclib(answer->get_ref<const Json::array_t&>(), title, artist, duration)) {
            if (auto snapshot = snapshotFromLrclib(*record)) return snapshot;
        }
    }
    // Aliases are in Chinese characters and have no aliases of their own, so
    // this nests once at most.
    const auto aliased = titleAlias(title, artist);
    if (!aliased || *aliased == title) return std::nullopt;
    const auto aliasedArtist = artistAlias(artist);
    const auto aliasedAlbum = albumAlias(album, artist);
    return lrclib(*aliased, aliasedArtist ? aliasedArtist : artist, aliasedAlbum ? aliasedAlbum : album, duration);
}

}  // namespace veltrane::lyrics
