#pragma once
// Reading what the outside lyric and catalog services answer, and writing
// what they are asked: pure functions of the lookup, so every rule can be
// checked without a network. Any thread.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "ControlDeckCore/lyrics/LyricsLookup.h"
#include "ControlDeckCore/lyrics/LyricsRecords.h"
#include "ControlDeckCore/media/QQNowPlaying.h"
#include "ControlDeckCore/shared/JSON.h"

namespace veltrane::lyrics {

using deck::Json;
using QueryItems = std::vector<std::pair<std::string, std::string>>;
using LibraryTrack = media::QQNowPlaying::LibraryTrack;

// A catalog entry of the playing song.
struct CatalogHit {
    std::string title;                 // "trackName"
    std::string artist;                // "artistName"
    std::optional<std::string> album;  // "collectionName"
    double duration = 0;               // "trackTimeMillis" / 1000; 0 when unknown
    std::string artworkURL;            // "artworkUrl100", as given
};

namespace LyricsLookup {

// A longer JSON answer is not read.
inline constexpr std::size_t kMaxJSONBodyBytes = 4 << 20;
// What QQ Music's lyric service gives for a song without words.
inline constexpr const char* kInstrumentalNotice = "此歌曲为没有填词的纯音乐，请您欣赏";

// An answer body as JSON: a "callback(...)" or "MusicJsonCallback(...)"
// wrapper taken off, then an object or an array at the top. None for an
// empty body, other JSON (a bare number), or text that is not JSON.
std::optional<Json> decodeJSONBody(std::string_view body);

// lrclib.
QueryItems lrclibGetQuery(std::string_view title, const OptionalText& artist, const OptionalText& album,
                          double duration);
QueryItems lrclibSearchQuery(std::string_view title, const OptionalText& artist);
std::optional<LyricsSnapshot> snapshotFromLrclib(const Json& value);
// The record of a search answer whose title, artist and length fit best.
std::optional<Json> matchedLrclib(const Json::array_t& records, std::string_view title, const OptionalText& artist,
                                  double duration);

// QQ Music lyrics: a lyric value as text (Base64 undone where it hides LRC,
// HTML entities replaced), and the snapshot of a whole answer.
std::string qqLyricText(const Json* value);
std::optional<LyricsSnapshot> qqLyricSnapshot(const Json& answer);

// QQ Music song search.
QueryItems qqClientSearchQuery(std::string_view query);
QueryItems qqSmartboxQuery(std::string_view query);
// "data" → "song" → "list" when it is a non-empty array of objects.
std::optional<Json::array_t> clientSearchRows(const Json& answer);
Json::array_t rowsFromSmartbox(const Json& answer);
// The rows whose title, length and artist fit the track.
Json::array_t qqRowsMatching(const Json::array_t& rows, std::string_view title, const OptionalText& artist,
                             double duration);
OptionalText bestQQSongMid(const Json::array_t& rows, std::string_view title, const OptionalText& artist,
                           double duration);
// The matched track; `albumMidOf` is asked for a song id whose row names no
// album.
std::optional<LibraryTrack> matchedQQTrack(const Json::array_t& rows, std::string_view title,
                                           const OptionalText& artist, double duration,
                                           const std::function<OptionalText(const std::string&)>& albumMidOf);
// The trimmed album id; none when blank or "$null".
OptionalText emptyAlbumMid(const OptionalText& albumMid);
// The trimmed id when it may be sent to the song-detail call: letters and
// numbers only, so the request text needs no escaping.
OptionalText sendableSongMid(std::string_view songMid);
std::string songDetailRequest(std::string_view songMid);
OptionalText albumMidFromSongDetail(const Json& answer);

// The catalog search.
std::string catalogTerm(std::string_view title, const OptionalText& artist);
QueryItems catalogQuery(std::string_view term, std::string_view limit, const OptionalText& country);

// The main search's scoring over the answers of several store countries:
// rows already taken for an earlier country are not taken again.
class CatalogRanking {
public:
    CatalogRanking(std::string title, OptionalText artist, double duration);
    void add(const Json& answer);
    // Best first; equal scores in the order found.
    std::vector<CatalogHit> hits() const;

private:
    std::string title_;
    OptionalText artist_;
    double duration_;
    std::vector<std::string> keys_;
    std::vector<std::pair<CatalogHit, double>> kept_;
};

// The fallback searches' rows: the artist's tracks within 2.0 s of the
// length, closest first.
std::vector<CatalogHit> catalogHitsByCloseness(const Json& answer, std::string_view artist, double duration);

// The player's lyrics: the answer "title\tartist\talbum\nlyrics" checked
// against the track asked about. None when the answer is for another track
// or holds no lyrics.
std::optional<LyricsSnapshot> musicAnswerSnapshot(const OptionalText& answer, std::string_view title,
                                                  const OptionalText& artist, const OptionalText& album);
// Lyric lines a player joined with ", " split again, only where a time
// stamp follows.
std::string restoredLyricLines(std::string_view text);

}  // namespace LyricsLookup

}  // namespace veltrane::lyrics
