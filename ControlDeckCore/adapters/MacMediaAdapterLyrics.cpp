// The media adapter's lyrics: the lookup of the current track's lyrics and
// the clock that follows the current synchronised line.
#include <chrono>
#include <cmath>

#include "ControlDeckCore/adapters/MacMediaAdapter.h"
#include "ControlDeckCore/lyrics/LyricClock.h"
#include "ControlDeckCore/media/Playhead.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/text/Whitespace.h"

namespace veltrane::deck {
namespace {

using Snapshot = MacMediaAdapter::Snapshot;

constexpr auto kLyricClockInterval = std::chrono::milliseconds(16);
constexpr auto kLyricClockLeeway = std::chrono::milliseconds(4);
// A track without usable lyrics is looked up again at most this often.
constexpr double kLyricsRetryInterval = 4.0;

bool isQQReading(const Snapshot& s) {
    return s.bundleId &&
           (*s.bundleId == lyrics::LyricsLookup::kQQMusicBundleId || s.bundleId->find("QQMusic") != std::string::npos);
}

std::string trimmed(const std::optional<std::string>& text) {
    return text ? std::string(text::trimmingWhitespaceAndNewlines(*text)) : std::string();
}

// What the key and the lookup take of a reading.
struct LyricsIdentity {
    std::optional<std::string> songMid;
    double duration = 0;
    std::optional<std::string> bundleId;
};

}  // namespace

bool MacMediaAdapter::usableLyrics(const std::optional<lyrics::LyricsSnapshot>& snapshot) {
    if (!snapshot) return false;
    if (snapshot->synced && !snapshot->lines.empty()) return true;
    return !trimmed(snapshot->plain).empty();
}

namespace {

LyricsIdentity lyricsIdentity(const Snapshot& s, const std::optional<std::string>& rememberedSongMid,
                              double publishedDuration,
                              const std::function<std::optional<std::string>(const Snapshot&)>& scriptableId) {
    LyricsIdentity identity;
    identity.songMid = s.songMid;
    if (isQQReading(s) && !s.songMid) identity.songMid = rememberedSongMid;
    identity.duration = s.duration > 0 ? s.duration : publishedDuration;
    identity.bundleId = s.bundleId;
    if (!identity.bundleId) identity.bundleId = scriptableId(s);
    if (!identity.bundleId) identity.bundleId = s.source;
    return identity;
}

std::string trackKey(const Snapshot& s, const LyricsIdentity& identity) {
    if (identity.songMid && !identity.songMid->empty()) return "qq:" + *identity.songMid;
    std::string duration;
    if (identity.duration > 1.0)
        duration = std::to_string(static_cast<long long>(std::round(identity.duration / 5.0)) * 5);
    return s.title.value_or("") + "|" + media::Playhead::artistKey(s.artist) + "|" + trimmed(s.album) + "|" + duration +
           "|" + trimmed(identity.bundleId);
}

}  // namespace

std::string MacMediaAdapter::lyricsTrackKey(const Snapshot& snapshot,
                                            const std::optional<std::string>& rememberedSongMid,
                                            double publishedDuration) {
    return trackKey(snapshot, lyricsIdentity(snapshot, rememberedSongMid, publishedDuration,
                                             &MacMediaAdapter::scriptableIdentityBundleId));
}

void MacMediaAdapter::startLyricClock() {
    // The clock's state belongs to queue_, where the watcher may already be
    // publishing; its first firing disarms it when there is nothing to follow.
    queue_->async([weak = weak_from_this()] {
        if (auto self = weak.lock()) {
            self->lyricClockEnabled_ = true;
            self->armLyricClock();
        }
    });
}

// The clock runs only while there are synchronised lines to follow: a firing
// without them does nothing, and 62.5 idle wake-ups a second are what a laptop
// pays for. Disarmed from its own firing; armed again when lines arrive.
void MacMediaAdapter::armLyricClock() {
    if (!lyricClockEnabled_ || lyricClockTimer_) return;
    lyricClockTimer_ = std::shared_ptr<dispatch::DispatchTimer>(
        dispatch::DispatchTimer::create(*queue_, kLyricClockInterval, kLyricClockLeeway, [weak = weak_from_this()] {
            if (auto self = weak.lock()) self->lyricClockFired();
        }));
    lyricClockTimer_->start(kLyricClockInterval);
}

void MacMediaAdapter::setLyrics(std::optional<lyrics::LyricsSnapshot> lyrics) {
    const bool lines = lyrics && lyrics->synced && !lyrics->lines.empty();
    lyrics_.setWrappedValue(std::move(lyrics));
    if (lines) armLyricClock();
}

void MacMediaAdapter::lyricClockFired() {
    const auto published = lyrics_.wrappedValue();
    if (!published || !published->synced || published->lines.empty()) {
        // On the timer's own queue: no further firing runs.
        if (lyricClockTimer_) lyricClockTimer_->cancel();
        lyricClockTimer_.reset();
        return;
    }
    const Date nowDate = environment_.clock();
    const double playhead = elapsedKnown_.wrappedValue() ? interpolatedElapsed(nowDate) : elapsed_.wrappedValue();
    const bool playing = isPlaying_.wrappedValue();
    const auto line = lyrics::LyricClock::line(published->lines, playhead);
    const std::int64_t index = line ? static_cast<std::int64_t>(line->index) : -1;
    std::string text = line ? line->text : std::string();
    if (!playing && index == lastPushedLyricIndex_) return;
    lastPushedLyricIndex_ = index;
    if (text != karaokeLine_.wrappedValue().value_or(""))
        karaokeLine_.setWrappedValue(text.empty() ? std::nullopt : std::optional<std::string>(text));
    if (auto callback = onLyricClock()) {
        lyrics::LyricClockTick tick;
        tick.elapsed = playhead;
        tick.capturedAtMs = std::chrono::duration_cast<std::chrono::milliseconds>(nowDate.time_since_epoch()).count();
        tick.playing = playing;
        tick.index = index;
        tick.current = std::move(text);
        callback(tick);
    }
}

void MacMediaAdapter::considerLyrics(const Snapshot& s) {
    const auto identity =
        lyricsIdentity(s, songMid_, duration_.wrappedValue(), &MacMediaAdapter::scriptableIdentityBundleId);
    const std::string key = trackKey(s, identity);
    const bool qq = isQQReading(s);
    const auto published = lyrics_.wrappedValue();

    if (qq) {
        const std::string title = trimmed(s.title);
        if (!title.empty() && title == trimmed(lyricsForTitle_) && usableLyrics(published)) {
            if (lyricsKey_ != key) lyricsKey_ = key;
            return;
        }
    }
    const Date nowDate = environment_.clock();
    if (lyricsKey_ == key) {
        if (usableLyrics(published)) return;
        // Date::min() is "never fetched": subtracting it would overflow.
        if (lyricsFetchedAt_ != Date::min() &&
            std::chrono::duration<double>(nowDate - lyricsFetchedAt_).count() < kLyricsRetryInterval)
            return;
    }
    if (!s.title || s.title->empty()) {
        lyricsKey_ = key;
        lyricsForTitle_.reset();
        setLyrics(std::nullopt);
        return;
    }

    const std::string& title = *s.title;
    const auto cached = lyrics::LyricsLookup::cachedLyrics(lyrics::LyricsLookup::cacheKeys(
        title, s.artist, s.album, identity.duration, identity.bundleId, identity.songMid));
    lyricsKey_ = key;
    lyricsFetchedAt_ = nowDate;
    setLyrics(cached);
    lyricsForTitle_ = usableLyrics(cached) ? std::optional<std::string>(title) : std::nullopt;

    if (identity.bundleId && (*identity.bundleId == "com.apple.Music" || *identity.bundleId == "Music"))
        prefetchMusicUpcoming();

    auto done = [weak = weak_from_this(), key, title, qq,
                 songMid = identity.songMid](const lyrics::OptionalSnapshot& result) {
        auto self = weak.lock();
        if (!self) return;
        self->queue_->async([weak, key, title, qq, songMid, result] {
            auto adapter = weak.lock();
            if (!adapter) return;
            adapter->lyricsArrived(key, title, result);
            if (qq && songMid) adapter->prefetchQQNeighbours(*songMid);
        });
    };
    if (environment_.lyricsFetch)
        environment_.lyricsFetch(title, s.artist, s.album, identity.duration, identity.bundleId, identity.songMid,
                                 std::move(done));
    else
        lyrics::LyricsLookup::fetch(title, s.artist, s.album, identity.duration, identity.bundleId, identity.songMid,
                                    nullptr, std::move(done));
}

void MacMediaAdapter::lyricsArrived(const std::string& key, const std::string& title,
                                    const lyrics::OptionalSnapshot& result) {
    if (!lyricsKey_ || *lyricsKey_ != key) return;
    if (usableLyrics(result)) {
        setLyrics(result);
        lyricsForTitle_ = title;
        changed();
        return;
    }
    if (usableLyrics(lyrics_.wrappedValue())) return;
    setLyrics(lyrics::LyricsLookup::emptyResult());
    lyricsForTitle_.reset();
    changed();
}

}  // namespace veltrane::deck
