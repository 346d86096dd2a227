#include "ControlDeckCore/lyrics/LyricsService.h"
#include "ControlDeckCore/lyrics/LyricsWeb.h"
#include "ControlDeckCore/media/QQNowPlaying.h"

namespace veltrane::lyrics {
namespace {

std::optional<Json> catalogSearch(std::string_view term, std::string_view limit, const OptionalText& country) {
    const auto origin = LyricsService::current()->endpoints().catalog;
    return LyricsLookup::getJSON(
        LyricsLookup::serviceURL(origin, "/search", LyricsLookup::catalogQuery(term, limit, country)), std::nullopt,
        LyricsLookup::kRequestTimeout);
}

std::vector<CatalogHit> closest(std::string_view term, std::string_view limit, std::string_view artist,
                                double duration) {
    const auto answer = catalogSearch(term, limit, "tw");
    if (!answer) return {};
    return LyricsLookup::catalogHitsByCloseness(*answer, artist, duration);
}

std::string coverKey(std::string_view title, const OptionalText& artist) {
    return artist.value_or("") + "\n" + std::string(title);
}

}  // namespace

std::vector<CatalogHit> LyricsLookup::catalogHits(std::string_view title, const OptionalText& artist, double duration,
                                                  const OptionalText& album,
                                                  const std::vector<OptionalText>& countries) {
    const std::string term = catalogTerm(title, artist);
    if (term.empty()) return {};
    CatalogRanking ranking(std::string(title), artist, duration);
    for (const auto& country : countries) {
        if (const auto answer = catalogSearch(term, "8", country)) ranking.add(*answer);
    }
    if (auto hits = ranking.hits(); !hits.empty()) return hits;

    // Aliases are in Chinese characters and have none of their own, so the
    // nested searches end after two levels.
    const auto artistAliased = artistAlias(artist);
    if (artistAliased && *artistAliased != artist.value_or("")) {
        if (auto hits = catalogHits(title, artistAliased, duration, album, countries); !hits.empty()) return hits;
    }
    if (const auto titleAliased = titleAlias(title, artist); titleAliased && *titleAliased != title) {
        if (auto hits = catalogHits(*titleAliased, artistAliased ? artistAliased : artist, duration, album, countries);
            !hits.empty())
            return hits;
    }
    if (duration <= 30.0) return {};
    auto albumTerm = albumAlias(album, artist);
    if (!albumTerm) albumTerm = hanValue(album);
    auto artistTerm = artistAliased ? artistAliased : hanValue(artist);
    if (albumTerm && artistTerm) {
        if (auto hits = catalogHitsByAlbum(*artistTerm, *albumTerm, duration); !hits.empty()) return hits;
    }
    if (artistAliased && !title.empty()) return catalogHitsByDuration(*artistAliased, duration);
    return {};
}

std::vector<CatalogHit> LyricsLookup::catalogHitsByAlbum(std::string_view artist, std::string_view album,
                                                         double duration) {
    return closest(std::string(artist) + " " + std::string(album), "20", artist, duration);
}

std::vector<CatalogHit> LyricsLookup::catalogHitsByDuration(std::string_view artist, double duration) {
    return closest(artist, "50", artist, duration);
}

std::mutex& LyricsLookup::cacheLock() { return LyricsService::current()->cacheLock(); }

std::map<std::string, std::string>& LyricsLookup::coverCache() { return LyricsService::current()->coverCache(); }

bool LyricsLookup::rememberCover(const CatalogHit& hit, std::string_view title, const OptionalText& artist) {
    if (hit.artworkURL.empty()) return false;
    const auto data = downloadData(hit.artworkURL, kCoverTimeout);
    if (!data) return false;
    auto image = media::QQNowPlaying::displayArtwork(*data);
    if (!image) return false;
    const auto service = LyricsService::current();
    std::lock_guard lock(service->cacheLock());
    service->coverCache()[coverKey(title, artist)] = *image;
    service->coverCache()[coverKey(hit.title, hit.artist)] = std::move(*image);
    return true;
}

std::optional<std::string> LyricsLookup::cachedCover(std::string_view title, const OptionalText& artist) {
    const auto service = LyricsService::current();
    std::lock_guard lock(service->cacheLock());
    const auto it = service->coverCache().find(coverKey(title, artist));
    if (it == service->coverCache().end()) return std::nullopt;
    return it->second;
}

}  // namespace veltrane::lyrics
