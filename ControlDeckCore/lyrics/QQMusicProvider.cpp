#include <algorithm>

#include "ControlDeckCore/lyrics/LyricsService.h"
#include "ControlDeckCore/lyrics/LyricsWeb.h"
#include "platform/text/Whitespace.h"

namespace veltrane::lyrics {
namespace {

// The content policy of the service the lookup works for, read afresh.
bool allowed() { return LyricsService::current()->externalLookupsAllowed(); }

LyricsEndpoints endpoints() { return LyricsService::current()->endpoints(); }

constexpr const char* kLyricPath = "/lyric/fcgi-bin/fcg_query_lyric_new.fcg";
constexpr const char* kClientSearchPaths[] = {"/soso/fcgi-bin/search_for_qq_cp", "/soso/fcgi-bin/client_search_cp"};
constexpr const char* kSmartboxPath = "/splcloud/fcgi-bin/smartbox_new.fcg";
constexpr const char* kSongDetailPath = "/cgi-bin/musicu.fcg";

// Every QQ Music request names the web site as its referrer.
std::optional<Json> qqGet(const std::string& origin, const char* path, const QueryItems& items,
                          const LyricsEndpoints& endpoints) {
    return LyricsLookup::getJSON(LyricsLookup::serviceURL(origin, path, items), endpoints.qqSite,
                                 LyricsLookup::kRequestTimeout);
}

std::string joined(std::initializer_list<std::string> parts) {
    std::string out;
    for (const auto& part : parts) {
        if (part.empty()) continue;
        if (!out.empty()) out += ' ';
        out += part;
    }
    return out;
}

}  // namespace

std::optional<LyricsSnapshot> LyricsLookup::qqLyric(std::string_view mid) {
    if (!allowed()) return std::nullopt;
    const std::string id(text::trimmingWhitespaceAndNewlines(mid));
    if (id.empty()) return std::nullopt;
    const auto origins = endpoints();
    const auto answer =
        qqGet(origins.qqSearch, kLyricPath, {{"format", "json"}, {"nobase64", "1"}, {"songmid", id}}, origins);
    if (!answer) return std::nullopt;
    return qqLyricSnapshot(*answer);
}

std::optional<Json::array_t> LyricsLookup::qqClientSearchList(std::string_view query) {
    const auto origins = endpoints();
    for (const char* path : kClientSearchPaths) {
        if (const auto answer = qqGet(origins.qqSearch, path, qqClientSearchQuery(query), origins)) {
            if (auto rows = clientSearchRows(*answer)) return rows;
        }
    }
    return std::nullopt;
}

std::optional<Json::array_t> LyricsLookup::qqSmartboxList(std::string_view query) {
    const auto origins = endpoints();
    const auto answer = qqGet(origins.qqSearch, kSmartboxPath, qqSmartboxQuery(query), origins);
    if (!answer) return std::nullopt;
    auto rows = rowsFromSmartbox(*answer);
    if (rows.empty()) return std::nullopt;
    return rows;
}

std::optional<LibraryTrack> LyricsLookup::matchedQQTrack(const Json::array_t& rows, std::string_view title,
                                                         const OptionalText& artist, double duration) {
    return matchedQQTrack(rows, title, artist, duration, [](const std::string& mid) { return qqAlbumMid(mid); });
}

std::optional<LibraryTrack> LyricsLookup::findQQTrack(std::string_view title, const OptionalText& artist,
                                                      double duration) {
    if (!allowed()) return std::nullopt;
    const std::string stripped = stripParentheticals(title);
    const std::string versionless = versionlessTitle(title);
    const std::string given(title);
    const std::string artistText = artist.value_or("");
    const std::string base = joined({artistText, stripped.empty() ? given : stripped});
    const auto artistAliased = artistAlias(artist);
    const auto titleAliased = titleAlias(title, artist);
    const std::string aliasArtist = artistAliased ? *artistAliased : artistText;

    // The client search first; its queries may repeat.
    std::vector<std::string> client;
    if (artistAliased) {
        client.push_back(*artistAliased + " " + versionless);
        if (stripped != versionless) client.push_back(*artistAliased + " " + stripped);
    }
    if (titleAliased) client.push_back(joined({aliasArtist, *titleAliased}));
    client.push_back(base);
    for (const auto& query : client) {
        if (query.empty()) continue;
        if (const auto rows = qqClientSearchList(query)) {
            if (auto track = matchedQQTrack(*rows, title, artist, duration)) return track;
        }
    }

    std::vector<std::string> smartbox;
    if (artistAliased) {
        smartbox.push_back(*artistAliased + " " + versionless);
        if (stripped != versionless) smartbox.push_back(*artistAliased + " " + stripped);
    }
    if (titleAliased) {
        if (!aliasArtist.empty()) smartbox.push_back(aliasArtist + " " + *titleAliased);
        smartbox.push_back(*titleAliased);
    }
    smartbox.push_back(base);
    smartbox.push_back(versionless);
    smartbox.push_back(stripped);
    smartbox.push_back(given);
    if (!artistText.empty()) smartbox.push_back(artistText + " " + given);
    std::vector<std::string> tried;
    for (const auto& query : smartbox) {
        if (query.empty() || std::find(tried.begin(), tried.end(), query) != tried.end()) continue;
        tried.push_back(query);
        if (const auto rows = qqSmartboxList(query)) {
            if (auto track = matchedQQTrack(*rows, title, artist, duration)) return track;
        }
    }
    return std::nullopt;
}

OptionalText LyricsLookup::qqAlbumMid(std::string_view songMid) {
    if (!allowed()) return std::nullopt;
    const auto id = sendableSongMid(songMid);
    if (!id) return std::nullopt;
    const auto origins = endpoints();
    const auto answer = qqGet(origins.qqApi, kSongDetailPath, {{"data", songDetailRequest(*id)}}, origins);
    if (!answer) return std::nullopt;
    return albumMidFromSongDetail(*answer);
}

}  // namespace veltrane::lyrics
