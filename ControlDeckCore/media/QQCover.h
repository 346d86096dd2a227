#pragma once
// QQ Music album covers from its image server, in tablet form, kept in one
// process-wide cache (least recently used out first).

#include <cstddef>
#include <list>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

namespace veltrane::media::QQNowPlaying {

// Bounded by entries and by bytes; an entry's cost is its size. Any thread.
class CoverCache {
public:
    CoverCache(std::size_t countLimit, std::size_t costLimit) : countLimit_(countLimit), costLimit_(costLimit) {}

    // A hit becomes the most recently used entry.
    std::optional<std::string> get(std::string_view key);
    // Replaces an entry of that key; the least recently used ones leave until
    // both limits hold. Data larger than the whole cost limit is not kept.
    void put(const std::string& key, std::string data);
    std::size_t count() const;
    std::size_t cost() const;

private:
    struct Entry {
        std::string key;
        std::string data;
    };
    const std::size_t countLimit_;
    const std::size_t costLimit_;
    mutable std::mutex mutex_;
    std::list<Entry> entries_;                                           // most recent first; under mutex_
    std::unordered_map<std::string, std::list<Entry>::iterator> index_;  // under mutex_
    std::size_t cost_ = 0;                                               // under mutex_
};

inline constexpr std::size_t kCoverCacheCount = 80;
inline constexpr std::size_t kCoverCacheCost = 12'000'000;
CoverCache& coverCache();

inline constexpr std::string_view kCoverPathPrefix = "/music/photo_new/T002R300x300M000";
inline constexpr double kCoverTimeout = 2.0;  // seconds

// The id the cover path names: the album id trimmed and cut at its first
// "_"; none unless it is ASCII letters and digits, so no id can reach
// another path.
std::optional<std::string> coverId(std::string_view albumMid);

// The album's cover for tablets, from the cache or the image server at
// `imageOrigin` (scheme, host, optional port); none when outside lookups are
// off, the id names no cover, or the answer is no usable image. Blocks up to
// kCoverTimeout. Any thread.
std::optional<std::string> coverJPEG(std::string_view albumMid, std::string_view imageOrigin);
// From the configured image server.
std::optional<std::string> coverJPEG(std::string_view albumMid);

}  // namespace veltrane::media::QQNowPlaying
