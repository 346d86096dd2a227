#include "ControlDeckCore/lyrics/LyricsService.h"

#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "ControlDeckCore/lyrics/LyricsServiceQueues.h"
#include "ControlDeckCore/lyrics/LyricsWeb.h"
#include "ControlDeckCore/media/MusicContentPolicy.h"
#include "ControlDeckCore/media/Playhead.h"
#include "platform/text/Whitespace.h"

namespace veltrane::lyrics {
namespace {

std::string trimmed(const OptionalText& s) {
    return s ? std::string(text::trimmingWhitespaceAndNewlines(*s)) : std::string();
}

// The duration rounded to 5 s (halves away from zero) as a decimal integer;
// empty when unknown, and when the rounded value leaves a 64-bit integer.
std::string durationField(double duration) {
    if (!(duration > 1.0) || !std::isfinite(duration)) return {};
    const double fives = std::round(duration / 5.0);
    if (!(fives < 9223372036854775807.0 / 5.0)) return {};
    std::int64_t value = 0;
    if (__builtin_mul_overflow(static_cast<std::int64_t>(fives), std::int64_t{5}, &value)) return {};
    return std::to_string(value);
}

std::mutex& installedLock() {
    static std::mutex lock;
    return lock;
}

// Left alive at exit: lookups that still hang then hold it.
std::shared_ptr<LyricsService>& installed() {
    static auto* service = new std::shared_ptr<LyricsService>();
    return *service;
}

}  // namespace

thread_local LyricsService* detail::threadService = nullptr;

LyricsSources LyricsSources::standard() {
    return {[] { return media::MusicContentPolicy::externalLookupsAllowed(); },
            [] { return LyricsEndpoints::current(); },
            [](std::string_view title, const OptionalText& artist, const OptionalText& album) {
                return LyricsLookup::appleMusicLyrics(title, artist, album);
            }};
}

std::shared_ptr<LyricsService> LyricsService::create(LyricsSources sources) {
    return std::shared_ptr<LyricsService>(new LyricsService(std::move(sources)));
}

std::shared_ptr<LyricsService> LyricsService::current() {
    if (detail::threadService) return detail::threadService->shared_from_this();
    std::lock_guard lock(installedLock());
    if (!installed()) installed() = create();
    return installed();
}

std::shared_ptr<LyricsService> LyricsService::install(std::shared_ptr<LyricsService> service) {
    std::lock_guard lock(installedLock());
    std::swap(installed(), service);
    return service;
}

std::size_t LyricsService::lookupThreads() {
    return detail::lookupQueue().threadCount() + detail::raceQueue().threadCount();
}

void LyricsService::fetch(std::string_view title, const OptionalText& artist, const OptionalText& album,
                          double duration, const OptionalText& bundleId, const OptionalText& songMid,
                          LyricsLoader loader, LyricsCompletion done) {
    const bool isMusic = LyricsLookup::isMusicAppForLyrics(bundleId);
    if (!loader && !isMusic && !externalLookupsAllowed()) return done(std::nullopt);
    const std::string trimmedTitle(text::trimmingWhitespaceAndNewlines(title));
    if (trimmedTitle.empty() || trimmedTitle == "Not Playing") return done(std::nullopt);
    const auto keys = LyricsLookup::cacheKeys(trimmedTitle, artist, album, duration, bundleId, songMid);
    const std::vector<std::string> lookupKeys =
        keys.empty() ? std::vector{LyricsLookup::fallbackKey(trimmedTitle, artist, album, duration, bundleId)} : keys;

    std::unique_lock lock(cacheLock_);
    for (const auto& key : keys) {
        const auto it = cache_.find(key);
        if (it == cache_.end()) continue;
        const LyricsSnapshot& entry = it->second;
        if (entry.synced || entry.provider == "none" || upgraded_.count(key) ||
            (entry.plain && !entry.plain->empty())) {
            LyricsSnapshot hit = entry;
            lock.unlock();
            return done(hit);
        }
    }
    for (const auto& key : lookupKeys) {
        if (const auto it = pending_.find(key); it != pending_.end()) {
            it->second.push_back(std::move(done));
            return;
        }
    }
    pending_[lookupKeys.front()] = {std::move(done)};
    for (std::size_t i = 1; i < lookupKeys.size(); ++i) pending_[lookupKeys[i]] = {};
    lock.unlock();

    dispatch::Task lookup = [self = shared_from_this(), title = trimmedTitle, artist, album, duration, bundleId,
                             songMid, loader = std::move(loader), isMusic, lookupKeys] {
        const detail::ServiceScope scope(*self);
        self->runLookup(title, artist, album, duration, bundleId, songMid, loader, isMusic, lookupKeys);
    };
    detail::launchQueue().async(
        [lookup = std::move(lookup)]() mutable { detail::lookupQueue().async(std::move(lookup)); });
}

void LyricsService::publishPartial(const LyricsSnapshot& snapshot, const std::vector<std::string>& keys) {
    std::vector<LyricsCompletion> waiting;
    {
        std::lock_guard lock(cacheLock_);
        for (const auto& key : keys) {
            if (const auto it = pending_.find(key); it != pending_.end())
                waiting.insert(waiting.end(), it->second.begin(), it->second.end());
        }
    }
    for (const auto& done : waiting) done(snapshot);
}

void LyricsService::finish(const OptionalSnapshot& result, const std::vector<std::string>& keys) {
    const LyricsSnapshot final = result ? *result : LyricsLookup::emptyResult();
    std::vector<LyricsCompletion> waiting;
    {
        std::lock_guard lock(cacheLock_);
        if (final.synced || (final.plain && !final.plain->empty())) {
            // One entry makes room, whichever the table holds first.
            if (cache_.size() >= kCacheLimit) cache_.erase(cache_.begin());
            for (const auto& key : keys) {
                cache_[key] = final;
                upgraded_.insert(key);
            }
        }
        for (const auto& key : keys) {
            const auto it = pending_.find(key);
            if (it == pending_.end()) continue;
            for (auto& done : it->second) waiting.push_back(std::move(done));
            pending_.erase(it);
        }
    }
    for (const auto& done : waiting) done(final);
}

void LyricsService::prefetch(const std::vector<LibraryTrack>& tracks) {
    for (const auto& track : tracks) {
        fetch(track.title, track.artist, track.album, track.duration, std::string(LyricsLookup::kQQMusicBundleId),
              track.songMid, nullptr, [](const OptionalSnapshot&) {});
    }
}

OptionalSnapshot LyricsService::cachedLyrics(const std::vector<std::string>& keys) const {
    std::lock_guard lock(cacheLock_);
    for (const auto& key : keys) {
        if (const auto it = cache_.find(key); it != cache_.end()) return it->second;
    }
    return std::nullopt;
}

LyricsService::Counts LyricsService::counts() const {
    std::lock_guard lock(cacheLock_);
    Counts counts{cache_.size(), pending_.size(), 0, upgraded_.size()};
    for (const auto& [key, waiting] : pending_) counts.waiting += waiting.size();
    return counts;
}

bool LyricsLookup::isMusicAppForLyrics(const OptionalText& bundleId) {
    if (!bundleId || bundleId->empty()) return false;
    if (*bundleId == "com.apple.Music" || *bundleId == "Music") return true;
    return *bundleId == musicPlayerBundleId();
}

void LyricsLookup::fetch(std::string_view title, const OptionalText& artist, const OptionalText& album, double duration,
                         const OptionalText& bundleId, const OptionalText& songMid, LyricsLoader loader,
                         LyricsCompletion done) {
    LyricsService::current()->fetch(title, artist, album, duration, bundleId, songMid, std::move(loader),
                                    std::move(done));
}

std::vector<std::string> LyricsLookup::cacheKeys(std::string_view title, const OptionalText& artist,
                                                 const OptionalText& album, double duration,
                                                 const OptionalText& bundleId, const OptionalText& songMid) {
    if (songMid && !songMid->empty()) return {"qq:" + *songMid};
    if (!recordingIdentityEstablished(album, duration, bundleId)) return {};
    return {fallbackKey(title, artist, album, duration, bundleId)};
}

std::string LyricsLookup::fallbackKey(std::string_view title, const OptionalText& artist, const OptionalText& album,
                                      double duration, const OptionalText& bundleId) {
    std::string key(title);
    for (const std::string& field :
         {media::Playhead::artistKey(artist), trimmed(album), durationField(duration), trimmed(bundleId)}) {
        key += '|';
        key += field;
    }
    return key;
}

bool LyricsLookup::recordingIdentityEstablished(const OptionalText& album, double duration,
                                                const OptionalText& source) {
    return !trimmed(source).empty() && (duration > 1.0 || !trimmed(album).empty());
}

bool LyricsLookup::usable(const OptionalSnapshot& snapshot) {
    if (!snapshot) return false;
    if (snapshot->synced && !snapshot->lines.empty()) return true;
    return snapshot->plain && !text::trimmingWhitespaceAndNewlines(*snapshot->plain).empty();
}

LyricsSnapshot LyricsLookup::emptyResult() { return {"none", false, {}, std::nullopt}; }

void LyricsLookup::publishPartial(const LyricsSnapshot& snapshot, const std::vector<std::string>& keys) {
    LyricsService::current()->publishPartial(snapshot, keys);
}

void LyricsLookup::finish(const OptionalSnapshot& result, const std::vector<std::string>& keys) {
    LyricsService::current()->finish(result, keys);
}

void LyricsLookup::prefetch(const std::vector<LibraryTrack>& tracks) { LyricsService::current()->prefetch(tracks); }

OptionalSnapshot LyricsLookup::cachedLyrics(const std::vector<std::string>& keys) {
    return LyricsService::current()->cachedLyrics(keys);
}

OptionalSnapshot LyricsLookup::raceMusicLyrics(const std::string& title, const OptionalText& artist,
                                               const OptionalText& album, double duration) {
    return LyricsService::current()->raceMusicLyrics(title, artist, album, duration);
}

}  // namespace veltrane::lyrics
