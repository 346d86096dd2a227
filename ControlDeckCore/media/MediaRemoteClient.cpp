#include "ControlDeckCore/media/MediaRemoteClient.h"

#include <chrono>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string_view>

#include "ControlDeckCore/media/QQNowPlaying.h"
#include "platform/dispatch/ConcurrentQueue.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/mpris/MprisNowPlaying.h"
#include "platform/text/Whitespace.h"

namespace veltrane::media {
namespace {

using Snapshot = MediaRemoteNowPlaying::Snapshot;
using Keys = std::initializer_list<std::string_view>;
namespace info = mpris::info;

// Every answer that has not come by then is taken as missing.
constexpr double kDeadlineSeconds = 0.45;
constexpr auto kCallTimeout = std::chrono::milliseconds(450);
// Seconds since 1970 the system clock can hold (about 1678 to 2262).
constexpr double kMaxClockSeconds = 9.2e9;

const mpris::InfoValue* find(const mpris::InfoDictionary& dict, std::string_view key) {
    auto it = dict.find(key);
    return it == dict.end() ? nullptr : &it->second;
}

std::optional<std::string> string(const mpris::InfoDictionary& dict, Keys keys) {
    for (auto key : keys) {
        const auto* value = find(dict, key);
        const auto* text = value ? std::get_if<std::string>(value) : nullptr;
        if (!text) continue;
        std::string trimmed(text::trimmingWhitespaceAndNewlines(*text));
        if (!trimmed.empty()) return trimmed;
    }
    return std::nullopt;
}

double number(const mpris::InfoDictionary& dict, Keys keys) {
    for (auto key : keys) {
        const auto* value = find(dict, key);
        if (!value) continue;
        std::optional<double> n;
        if (const auto* d = std::get_if<double>(value)) n = *d;
        if (const auto* i = std::get_if<std::int64_t>(value)) n = static_cast<double>(*i);
        // A player's NaN or infinity is no number at all.
        if (n && std::isfinite(*n)) return *n;
    }
    return 0;
}

std::optional<bool> boolean(const mpris::InfoDictionary& dict, Keys keys) {
    for (auto key : keys) {
        const auto* value = find(dict, key);
        if (!value) continue;
        if (const auto* b = std::get_if<bool>(value)) return *b;
        if (const auto* i = std::get_if<std::int64_t>(value)) return *i != 0;
        if (const auto* d = std::get_if<double>(value)) return *d != 0;
    }
    return std::nullopt;
}

double timestamp(const mpris::InfoDictionary& dict, double now) {
    const auto* value = find(dict, info::kTimestamp);
    const auto* date = value ? std::get_if<mpris::InfoDate>(value) : nullptr;
    if (!date || !std::isfinite(date->secondsSince1970) || std::fabs(date->secondsSince1970) > kMaxClockSeconds)
        return now;
    return date->secondsSince1970 - MediaRemoteNowPlaying::kReferenceDateSince1970;
}

double nowSinceReferenceDate() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
           MediaRemoteNowPlaying::kReferenceDateSince1970;
}

// The cover for tablets, remade only when the player's picture changed: the
// backend hands out the same bytes on every read of a track, and fitting a
// large picture costs far more than the read itself.
std::optional<std::string> displayArtwork(const std::shared_ptr<const std::string>& bytes) {
    static std::mutex mutex;
    static std::shared_ptr<const std::string> madeFrom;
    static std::optional<std::string> made;
    std::lock_guard lock(mutex);
    if (!madeFrom || (madeFrom != bytes && *madeFrom != *bytes)) {
        made = QQNowPlaying::displayArtwork(*bytes);
        madeFrom = bytes;
    }
    return made;
}

void logLine(const std::string& line) {
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

// The answers of one fetch; filled by the backend's calls, read once by
// whichever completion comes first.
struct Fetch {
    std::mutex mutex;
    std::optional<mpris::InfoDictionary> info;
    bool playing = false;
    std::int32_t pid = 0;
    bool pidAnswered = false;
    std::optional<mpris::RunningApplication> app;
    int pending = 2;
    bool finished = false;
    MediaRemoteNowPlaying::FetchDone done;
};

// On the main queue.
void complete(const std::shared_ptr<Fetch>& fetch) {
    std::unique_lock lock(fetch->mutex);
    if (fetch->finished) return;
    fetch->finished = true;
    const auto info = std::move(fetch->info);
    const bool playing = fetch->playing;
    const std::int32_t pid = fetch->pid;
    const bool nothingPlays = fetch->pidAnswered && pid == 0;
    const auto app = fetch->app;
    auto done = std::move(fetch->done);
    lock.unlock();

    if (!info) {
        logLine("[deck] MediaRemote empty playing=" + std::string(playing ? "true" : "false") +
                " pid=" + std::to_string(pid) + "\n");
        done(std::nullopt, nothingPlays);
        return;
    }
    const auto title = find(*info, info::kTitle);
    const auto* titleText = title ? std::get_if<std::string>(title) : nullptr;
    logLine("[deck] MediaRemote title=" + (titleText ? *titleText : std::string("nil")) +
            " pid=" + std::to_string(pid) + "\n");
    done(snapshotFromNowPlayingInfo(*info, playing, pid >= 1 ? app : std::nullopt, nowSinceReferenceDate()), false);
}

dispatch::ConcurrentQueue& backendQueue() {
    static const auto queue = dispatch::ConcurrentQueue::create("deck.media.remote");
    return *queue;
}

}  // namespace

std::shared_ptr<MediaRemoteLibrary> openMediaRemoteLibrary(std::function<void()> changed) {
    std::shared_ptr<mpris::MprisNowPlaying> players = mpris::MprisNowPlaying::connect();
    if (!players) return nullptr;
    // Signals keep the player list current; without them a player that
    // starts later is never seen.
    players->registerForNotifications(changed ? std::move(changed) : [] {});
    auto& service = *players;
    return std::make_shared<MediaRemoteLibrary>(MediaRemoteLibrary{service, service, std::move(players)});
}

void fetchNowPlaying(const std::shared_ptr<MediaRemoteLibrary>& library, MediaRemoteNowPlaying::FetchDone done) {
    if (!library) {
        logLine("[deck] MediaRemote symbols missing\n");
        done(std::nullopt, false);
        return;
    }
    auto fetch = std::make_shared<Fetch>();
    fetch->done = std::move(done);
    auto arrived = [fetch] {
        std::lock_guard lock(fetch->mutex);
        if (--fetch->pending == 0) dispatch::MainQueue::shared().async([fetch] { complete(fetch); });
    };
    backendQueue().async([library, fetch, arrived] {
        auto reading = library->service.read(kCallTimeout);
        {
            std::lock_guard lock(fetch->mutex);
            fetch->info = std::move(reading.info);
            fetch->playing = reading.playing;
        }
        arrived();
    });
    backendQueue().async([library, fetch, arrived] {
        const auto pid = library->service.nowPlayingPID(kCallTimeout);
        std::optional<mpris::RunningApplication> app;
        if (pid && *pid >= 1) app = library->service.runningApplication(*pid);
        {
            std::lock_guard lock(fetch->mutex);
            fetch->pidAnswered = pid.has_value();
            fetch->pid = pid.value_or(0);
            fetch->app = std::move(app);
        }
        arrived();
    });
    dispatch::MainQueue::shared().asyncAfter(dispatch::seconds(kDeadlineSeconds), [fetch] { complete(fetch); });
}

std::optional<Snapshot> snapshotFromNowPlayingInfo(const mpris::InfoDictionary& dict, bool playing,
                                                   const std::optional<mpris::RunningApplication>& app, double now) {
    Snapshot s;
    s.title = string(dict, {info::kTitle, "title"});
    s.artist = string(dict, {info::kArtist, "artist"});
    s.album = string(dict, {info::kAlbum, "album"});
    if (!s.title && !s.artist) return std::nullopt;
    if (app) {
        s.bundleId = app->bundleId;
        s.source = MediaRemoteNowPlaying::displayName(app->bundleId, app->localizedName);
    }
    if (const auto* value = find(dict, info::kArtworkData))
        if (const auto* data = std::get_if<mpris::InfoData>(value); data && data->bytes)
            s.artwork = displayArtwork(data->bytes);
    s.elapsedKnown = find(dict, info::kElapsedTime) || find(dict, "elapsedTime");
    s.playbackRate = number(dict, {info::kPlaybackRate, "playbackRate"});
    if (s.playbackRate == 0 && playing) s.playbackRate = 1.0;
    s.duration = number(dict, {info::kDuration, "duration"});
    s.elapsed = number(dict, {info::kElapsedTime, "elapsedTime"});
    s.capturedAt = timestamp(dict, now);
    s.liked = boolean(dict, {info::kIsLiked, "isLiked"});
    s.isPlaying = playing;
    return s;
}

}  // namespace veltrane::media
