#pragma once
// The lookup's outside sources: blocking HTTP helpers over one shared
// session, the lrclib and QQ Music providers, the music catalog search with
// its cover cache, and the player's own lyrics. Every call blocks its
// (background) caller until the answers or their time-outs; every failure
// ends as no result. Any thread, several at once.

#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ControlDeckCore/lyrics/LyricsAnswers.h"
#include "ControlDeckCore/lyrics/LyricsEndpoints.h"
#include "platform/http/HTTPSession.h"

namespace veltrane::lyrics::LyricsLookup {

// A desktop browser on macOS, which the services answer as they answer
// their own web players.
inline constexpr const char* kUserAgent =
    "Mozilla/5.0 (Macintosh; Intel Mac OS X 10_15_7) AppleWebKit/605.1.15 (KHTML, like Gecko) Version/17.0 "
    "Safari/605.1.15";
inline constexpr const char* kAccept = "application/json,text/javascript,*/*;q=0.8";
inline constexpr double kRequestTimeout = 2.2;  // seconds, every JSON request
inline constexpr double kCoverTimeout = 0.8;    // seconds, a cover download
inline constexpr std::size_t kMaxDownloadBytes = media::QQNowPlaying::kMaxInputBytes;
// The player whose lyrics count as the music app's, unless the variable
// names another MPRIS bus name.
inline constexpr const char* kMusicPlayerVariable = "VELTRANE_MUSIC_PLAYER";
inline constexpr const char* kDefaultMusicPlayer = "org.mpris.MediaPlayer2.quodlibet";

// The one session of every request: "User-Agent" and "Accept" on each.
const http::HTTPSession& session();

// `origin` + `path` + "?" + the items, every value percent-encoded.
std::string serviceURL(std::string_view origin, std::string_view path, const QueryItems& items);

// One GET decoded as JSON (JSONP unwrapped), whatever its status. The
// request gives up after min(timeout, 2.2 s). None for no URL, a failed or
// late transfer, a body over 4 MiB or one that is not JSON.
std::optional<Json> getJSON(const std::optional<std::string>& url, const OptionalText& referer, double timeout);
// One GET's body, whatever its status; none when empty, failed, later
// than `timeout` or over kMaxDownloadBytes.
std::optional<std::string> downloadData(const std::string& url, double timeout);

// The lyrics the music player holds for its current track, when it is the
// track asked about.
std::optional<LyricsSnapshot> appleMusicLyrics(std::string_view title, const OptionalText& artist,
                                               const OptionalText& album);
std::string musicPlayerBusName();
// The id the music player's readings carry (its bus name's player part).
std::string musicPlayerBundleId();

// lrclib: the exact lookup, then the search, then once more with aliases.
std::optional<LyricsSnapshot> lrclib(std::string_view title, const OptionalText& artist, const OptionalText& album,
                                     double duration);

// QQ Music. The lyric, track and album calls ask nothing while the content
// policy forbids outside lookups.
std::optional<LyricsSnapshot> qqLyric(std::string_view mid);
std::optional<LibraryTrack> findQQTrack(std::string_view title, const OptionalText& artist, double duration);
std::optional<Json::array_t> qqClientSearchList(std::string_view query);
std::optional<Json::array_t> qqSmartboxList(std::string_view query);
std::optional<LibraryTrack> matchedQQTrack(const Json::array_t& rows, std::string_view title,
                                           const OptionalText& artist, double duration);
OptionalText qqAlbumMid(std::string_view songMid);

// The music catalog.
std::vector<CatalogHit> catalogHits(std::string_view title, const OptionalText& artist, double duration,
                                    const OptionalText& album, const std::vector<OptionalText>& countries);
std::vector<CatalogHit> catalogHitsByAlbum(std::string_view artist, std::string_view album, double duration);
std::vector<CatalogHit> catalogHitsByDuration(std::string_view artist, double duration);

// Covers in display form by "artist\ntitle" (no artist: empty before the
// line feed); no bound, no expiry, for the life of the current
// LyricsService, whose lock guards them with its lyrics cache.
std::mutex& cacheLock();
std::map<std::string, std::string>& coverCache();  // under cacheLock()
// Downloads the hit's cover (0.8 s) and keeps it under the track's key and
// the hit's own; false when it gives up. The lock is held for the writes
// alone.
bool rememberCover(const CatalogHit& hit, std::string_view title, const OptionalText& artist);
std::optional<std::string> cachedCover(std::string_view title, const OptionalText& artist);

}  // namespace veltrane::lyrics::LyricsLookup
