#pragma once
// The lyrics front: the one door through which the media adapter asks for a
// track's lyrics. It refuses what the content policy forbids, answers from an
// in-memory cache, joins a lookup already running for the same track, and
// otherwise starts one background lookup that asks the providers in their
// order and answers every waiting caller.
//
// `LyricsLookup::fetch` and its neighbours are the static surface the media
// side calls; they act on `LyricsService::current()`, which holds every piece
// of state (cache, waiting callers, cover cache) and the outside world it
// reads (policy, endpoints, the music player's own lyrics), so a test swaps in
// a fresh one.

#include <cstddef>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "ControlDeckCore/lyrics/LyricsAnswers.h"
#include "ControlDeckCore/lyrics/LyricsEndpoints.h"

namespace veltrane::lyrics {

using OptionalSnapshot = std::optional<LyricsSnapshot>;
using LyricsCompletion = std::function<void(const OptionalSnapshot&)>;
using LyricsLoader = std::function<OptionalSnapshot()>;

// What the lookups read of the world, each asked afresh at every use.
struct LyricsSources {
    std::function<bool()> externalLookupsAllowed;  // default: MusicContentPolicy
    std::function<LyricsEndpoints()> endpoints;    // default: LyricsEndpoints::current()
    // The music player's own lyrics of its current track; default: over MPRIS.
    std::function<OptionalSnapshot(std::string_view, const OptionalText&, const OptionalText&)> musicLyrics;

    static LyricsSources standard();
};

class LyricsService : public std::enable_shared_from_this<LyricsService> {
public:
    static constexpr std::size_t kCacheLimit = 80;

    static std::shared_ptr<LyricsService> create(LyricsSources sources = LyricsSources::standard());

    // The lookup's own service on its threads, else the installed one (a
    // standard service made on first use).
    static std::shared_ptr<LyricsService> current();
    // Installs `service` for everyone; returns the one it replaces.
    static std::shared_ptr<LyricsService> install(std::shared_ptr<LyricsService> service);

    // Threads of the lookup and race queues alive right now (for tests and
    // diagnostics).
    static std::size_t lookupThreads();

    const LyricsSources& sources() const { return sources_; }
    bool externalLookupsAllowed() const { return sources_.externalLookupsAllowed(); }
    LyricsEndpoints endpoints() const { return sources_.endpoints(); }

    void fetch(std::string_view title, const OptionalText& artist, const OptionalText& album, double duration,
               const OptionalText& bundleId, const OptionalText& songMid, LyricsLoader loader, LyricsCompletion done);
    void publishPartial(const LyricsSnapshot& snapshot, const std::vector<std::string>& keys);
    void finish(const OptionalSnapshot& result, const std::vector<std::string>& keys);
    void prefetch(const std::vector<LibraryTrack>& tracks);
    OptionalSnapshot cachedLyrics(const std::vector<std::string>& keys) const;

    // The background lookup and the race; run on this service's behalf.
    void runLookup(const std::string& title, const OptionalText& artist, const OptionalText& album, double duration,
                   const OptionalText& bundleId, const OptionalText& songMid, const LyricsLoader& loader, bool isMusic,
                   const std::vector<std::string>& keys);
    OptionalSnapshot raceMusicLyrics(const std::string& title, const OptionalText& artist, const OptionalText& album,
                                     double duration);

    // Guards cache, pending, upgraded and the cover cache; never held while
    // a completion runs.
    std::mutex& cacheLock() const { return cacheLock_; }
    std::map<std::string, std::string>& coverCache() { return coverCache_; }  // under cacheLock()

    struct Counts {
        std::size_t cached = 0, pendingKeys = 0, waiting = 0, upgraded = 0;
    };
    Counts counts() const;

private:
    explicit LyricsService(LyricsSources sources) : sources_(std::move(sources)) {}

    LyricsSources sources_;
    mutable std::mutex cacheLock_;
    std::unordered_map<std::string, LyricsSnapshot> cache_;         // under cacheLock_
    std::map<std::string, std::vector<LyricsCompletion>> pending_;  // under cacheLock_
    std::set<std::string> upgraded_;                                // under cacheLock_; only grows
    std::map<std::string, std::string> coverCache_;                 // under cacheLock_
};

namespace LyricsLookup {

inline constexpr const char* kQQMusicBundleId = "com.tencent.QQMusicMac";

// Whether `bundleId` is the music player whose own lyrics count (for lyrics
// only): the player the VELTRANE_MUSIC_PLAYER bus name names, by the id its
// readings carry, or the names the desktop music application goes by.
bool isMusicAppForLyrics(const OptionalText& bundleId);

// The static surface; each acts on LyricsService::current().
void fetch(std::string_view title, const OptionalText& artist, const OptionalText& album, double duration,
           const OptionalText& bundleId, const OptionalText& songMid, LyricsLoader loader, LyricsCompletion done);
std::vector<std::string> cacheKeys(std::string_view title, const OptionalText& artist, const OptionalText& album,
                                   double duration, const OptionalText& bundleId, const OptionalText& songMid);
// The five-field key, whatever the identity says.
std::string fallbackKey(std::string_view title, const OptionalText& artist, const OptionalText& album, double duration,
                        const OptionalText& bundleId);
bool recordingIdentityEstablished(const OptionalText& album, double duration, const OptionalText& source);
bool usable(const OptionalSnapshot& snapshot);
LyricsSnapshot emptyResult();
void publishPartial(const LyricsSnapshot& snapshot, const std::vector<std::string>& keys);
void finish(const OptionalSnapshot& result, const std::vector<std::string>& keys);
void prefetch(const std::vector<LibraryTrack>& tracks);
OptionalSnapshot cachedLyrics(const std::vector<std::string>& keys);
OptionalSnapshot raceMusicLyrics(const std::string& title, const OptionalText& artist, const OptionalText& album,
                                 double duration);

}  // namespace LyricsLookup

}  // namespace veltrane::lyrics
