#include "ControlDeckCore/media/QQCover.h"

#include "ControlDeckCore/lyrics/LyricsEndpoints.h"
#include "ControlDeckCore/lyrics/LyricsWeb.h"
#include "ControlDeckCore/media/MusicContentPolicy.h"
#include "ControlDeckCore/media/QQNowPlaying.h"
#include "platform/http/HTTPSession.h"
#include "platform/text/Whitespace.h"

namespace veltrane::media::QQNowPlaying {
namespace {

bool asciiAlphanumeric(std::string_view text) {
    for (char c : text)
        if (!((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))) return false;
    return !text.empty();
}

// Only the browser's user agent: the image server answers it as it answers
// its web player.
const http::HTTPSession& imageSession() {
    static const http::HTTPSession shared(std::vector<http::Header>{{"User-Agent", lyrics::LyricsLookup::kUserAgent}});
    return shared;
}

}  // namespace

std::optional<std::string> CoverCache::get(std::string_view key) {
    std::lock_guard lock(mutex_);
    const auto found = index_.find(std::string(key));
    if (found == index_.end()) return std::nullopt;
    entries_.splice(entries_.begin(), entries_, found->second);
    return found->second->data;
}

void CoverCache::put(const std::string& key, std::string data) {
    std::lock_guard lock(mutex_);
    if (const auto found = index_.find(key); found != index_.end()) {
        cost_ -= found->second->data.size();
        entries_.erase(found->second);
        index_.erase(found);
    }
    if (data.size() > costLimit_ || countLimit_ == 0) return;
    cost_ += data.size();
    entries_.push_front({key, std::move(data)});
    index_[key] = entries_.begin();
    while (entries_.size() > countLimit_ || cost_ > costLimit_) {
        cost_ -= entries_.back().data.size();
        index_.erase(entries_.back().key);
        entries_.pop_back();
    }
}

std::size_t CoverCache::count() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

std::size_t CoverCache::cost() const {
    std::lock_guard lock(mutex_);
    return cost_;
}

CoverCache& coverCache() {
    static CoverCache shared(kCoverCacheCount, kCoverCacheCost);
    return shared;
}

std::optional<std::string> coverId(std::string_view albumMid) {
    std::string_view id = text::trimmingWhitespaceAndNewlines(albumMid);
    // The first piece that is not empty; an id of underscores alone stays whole.
    std::string_view rest = id;
    while (!rest.empty()) {
        const auto cut = rest.find('_');
        const auto piece = rest.substr(0, cut);
        if (!piece.empty()) {
            id = piece;
            break;
        }
        if (cut == std::string_view::npos) break;
        rest.remove_prefix(cut + 1);
    }
    if (!asciiAlphanumeric(id)) return std::nullopt;
    return std::string(id);
}

std::optional<std::string> coverJPEG(std::string_view albumMid, std::string_view imageOrigin) {
    if (!MusicContentPolicy::externalLookupsAllowed()) return std::nullopt;
    const std::string key(text::trimmingWhitespaceAndNewlines(albumMid));
    if (key.empty() || key == "$null") return std::nullopt;
    if (auto cached = coverCache().get(key)) return cached;
    const auto id = coverId(key);
    if (!id) return std::nullopt;

    http::GetRequest request;
    request.url = std::string(imageOrigin) + std::string(kCoverPathPrefix) + *id + ".jpg";
    request.timeout = std::chrono::milliseconds(static_cast<long long>(kCoverTimeout * 1000));
    request.maxBodyBytes = kMaxInputBytes;
    const auto response = imageSession().get(request);
    if (!response || response->status != 200 || response->body.empty()) return std::nullopt;
    auto artwork = displayArtwork(response->body);
    if (!artwork) return std::nullopt;
    coverCache().put(key, *artwork);
    return artwork;
}

std::optional<std::string> coverJPEG(std::string_view albumMid) {
    return coverJPEG(albumMid, lyrics::LyricsEndpoints::current().qqImage);
}

}  // namespace veltrane::media::QQNowPlaying
