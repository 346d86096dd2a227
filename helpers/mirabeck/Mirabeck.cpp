#include "helpers/mirabeck/Mirabeck.h"

#include <chrono>
#include <cmath>
#include <nlohmann/json.hpp>

#include "helpers/mirabeck/DashboardArtwork.h"
#include "helpers/mirabeck/InfoValues.h"
#include "platform/crypto/Crypto.h"

namespace veltrane::mirabeck {

namespace info = mpris::info;
using Json = nlohmann::json;

namespace {

constexpr double kDistantPast = -1e300;
constexpr double kElapsedKnownMinimum = 0.05;  // QQ Music reports a few hundredths before it really starts
constexpr double kTimestampMaxAge = 8.0;

struct SourceRow {
    std::string_view bundleId;
    std::string_view source;
};
constexpr SourceRow kSources[] = {
    {"com.tencent.QQMusicMac", "QQ音乐"},
    {"com.apple.Music", "Music"},
    {"com.spotify.client", "Spotify"},
    {"com.netease.163music", "网易云音乐"},
};

std::string textOr(const Json& object, const char* key) {
    auto it = object.find(key);
    return it != object.end() && it->is_string() ? it->get<std::string>() : std::string();
}

}  // namespace

Mirabeck::Mirabeck(mpris::NowPlayingService& service, QQSnapshot qqSnapshot, Clock clock)
    : service_(service), qqSnapshot_(std::move(qqSnapshot)), clock_(std::move(clock)) {}

std::optional<std::string> Mirabeck::knownSource(std::string_view bundleId) {
    for (const auto& row : kSources)
        if (row.bundleId == bundleId) return std::string(row.source);
    return std::nullopt;
}

void Mirabeck::forgetPlayhead() {
    lastRawElapsed_ = -1;
    lastRawAt_ = kDistantPast;
    lastEmitted_ = -1;
    lastEmittedAt_ = kDistantPast;
}

std::optional<std::string> Mirabeck::emit() {
    {
        std::lock_guard lock(emitLock_);
        if (emitting_) return std::nullopt;
        emitting_ = true;
    }
    struct Release {
        Mirabeck& self;
        ~Release() {
            std::lock_guard lock(self.emitLock_);
            self.emitting_ = false;
        }
    } release{*this};
    return buildLine();
}

double Mirabeck::elapsedAtEmit(double raw, const mpris::InfoDictionary* info, bool playing, double rate,
                               double duration, double now) {
    auto clamp = [duration](double v) {
        if (v < 0) v = 0;
        if (duration > 0 && v >= duration) v = duration;
        return v;
    };
    auto update = [&](double result) {
        lastRawElapsed_ = raw;
        lastRawAt_ = now;
        lastEmitted_ = result;
        lastEmittedAt_ = now;
        return result;
    };
    if (!playing) return update(clamp(raw));

    const double r = rate > 0 ? rate : 1.0;
    const double dt = now - lastRawAt_;
    if (lastRawElapsed_ >= 0 && dt > 0.02 && dt < 2.0) {
        const double delta = raw - lastRawElapsed_;
        // The reported value advances with the clock: take it.
        if (delta > 0.45 * dt && std::abs(delta - r * dt) < 0.2) return update(clamp(raw));
        // It stands still: carry on from what was printed, and keep the
        // memory of the last reading that moved.
        if (std::abs(delta) < 0.04 && lastEmitted_ >= 0) {
            const double v = std::max(0.0, lastEmitted_ + r * (now - lastEmittedAt_));
            return duration > 0 && v >= duration ? duration : v;
        }
    }
    double v = raw;
    if (info) {
        if (auto it = info->find(info::kTimestamp); it != info->end())
            if (const auto* stamp = std::get_if<mpris::InfoDate>(&it->second)) {
                const double age = now - stamp->secondsSince1970;
                if (age >= 0 && age < kTimestampMaxAge) v = raw + r * age;
            }
    }
    return update(clamp(v));
}

std::optional<std::string> Mirabeck::buildLine() {
    // The service answers within the wait or not at all; whatever did not
    // answer keeps its default.
    const double start = clock_.now();
    const auto deadline = std::chrono::steady_clock::now() + kAnswerWait;
    auto left = [&] {
        return std::max(std::chrono::milliseconds(1), std::chrono::duration_cast<std::chrono::milliseconds>(
                                                          deadline - std::chrono::steady_clock::now()));
    };
    const mpris::NowPlayingReading reading = service_.read(left());
    std::int32_t pid = cachedPID_;
    if (cachedPID_ == 0 || start - pidAt_ > kPIDRefreshSeconds) {
        if (auto answer = service_.nowPlayingPID(left())) {
            cachedPID_ = pid = *answer;
            pidAt_ = clock_.now();
        }
    }
    const double now = clock_.now();
    const mpris::InfoDictionary* dict = reading.info ? &*reading.info : nullptr;
    const bool playing = reading.playing;

    std::optional<std::string> bundleId, source;
    if (pid >= 1) {
        if (auto app = service_.runningApplication(pid)) {
            bundleId = app->bundleId;
            if (bundleId) source = knownSource(*bundleId);
            if (!source) source = app->localizedName;
        }
    }

    const auto title = str(dict, {info::kTitle});
    const auto artist = str(dict, {info::kArtist});
    const std::string titleText = title.value_or("");
    const std::string artistText = artist.value_or("");
    const std::string bundleText = bundleId.value_or("");
    const bool newTrack = titleText != lastTitle_ ||
                          (!artistText.empty() && !lastArtist_.empty() && artistText != lastArtist_) ||
                          (!bundleText.empty() && !lastBundleId_.empty() && bundleText != lastBundleId_);
    if (newTrack) forgetPlayhead();
    lastTitle_ = titleText;
    if (!artistText.empty()) lastArtist_ = artistText;
    if (!bundleText.empty()) lastBundleId_ = bundleText;

    const double duration = num(dict, {info::kDuration});
    const double rate = num(dict, {info::kPlaybackRate});
    const double playbackRate = rate == 0 ? (playing ? 1.0 : 0.0) : rate;
    const bool hasElapsed = dict && dict->count(info::kElapsedTime) > 0;
    const double raw = num(dict, {info::kElapsedTime});
    const double elapsed = elapsedAtEmit(raw, dict, playing, playbackRate, duration, now);
    const bool elapsedKnown = bundleText == kQQMusicBundleId ? hasElapsed && raw > kElapsedKnownMinimum : hasElapsed;

    Json line = Json::object();
    line["ok"] = dict != nullptr;
    line["playing"] = playing;
    line["pid"] = pid;
    line["duration"] = duration;
    line["elapsed"] = elapsed;
    line["rawElapsed"] = raw;
    line["elapsedKnown"] = elapsedKnown;
    line["elapsedAt"] = static_cast<std::int64_t>(std::floor(now * 1000));
    line["playbackRate"] = playbackRate;
    if (title) line["title"] = *title;
    if (artist) line["artist"] = *artist;
    if (auto album = str(dict, {info::kAlbum})) line["album"] = *album;
    if (source) line["source"] = *source;
    if (bundleId) line["bundleId"] = *bundleId;
    if (auto liked = flag(dict, {info::kIsLiked})) line["liked"] = *liked;

    // QQ Music's own window knows better than the service while it shows
    // its bar, unless another player with a title owns the state.
    if (qqSnapshot_) {
        const std::string curTitle = textOr(line, "title"), curArtist = textOr(line, "artist"),
                          curBundle = textOr(line, "bundleId");
        const auto qq = qqSnapshot_();
        const bool otherPlayerOwns =
            qq && !qq->playing && !curTitle.empty() && !curBundle.empty() && curBundle != kQQMusicBundleId;
        if (qq && !otherPlayerOwns && qq->sawPlay) {
            line["playing"] = qq->playing;
            line["playbackRate"] = qq->playing ? 1.0 : 0.0;
            line["ok"] = true;
            if (qq->title && !qq->title->empty()) {
                const std::string qqArtist = qq->artist.value_or("");
                line["title"] = *qq->title;
                line["artist"] = qqArtist;
                line["source"] = std::string(*knownSource(kQQMusicBundleId));
                line["bundleId"] = std::string(kQQMusicBundleId);
                const bool sameTrack = curTitle == *qq->title &&
                                       (curArtist.empty() || qqArtist.empty() || curArtist == qqArtist) &&
                                       (curBundle.empty() || curBundle == kQQMusicBundleId);
                if (sameTrack) {
                    line["elapsedKnown"] = hasElapsed && raw > kElapsedKnownMinimum;
                } else {
                    line["elapsed"] = 0.0;
                    line["elapsedKnown"] = false;
                    line["duration"] = 0.0;
                    line.erase("album");
                    forgetPlayhead();
                }
            }
        }
    }

    // Each picture once per track: a new track forgets what was sent.
    const std::string artKey = textOr(line, "bundleId") + "|" + textOr(line, "title") + "|" + textOr(line, "artist") +
                               "|" + textOr(line, "album");
    if (artKey != lastArtKey_) {
        lastArtKey_ = artKey;
        lastArtworkData_.reset();
    }
    if (title && line.contains("title") && textOr(line, "title") == *title && dict) {
        auto it = dict->find(info::kArtworkData);
        const auto* bytes = it != dict->end() ? std::get_if<mpris::InfoData>(&it->second) : nullptr;
        const bool sent = bytes && bytes->bytes && lastArtworkData_ &&
                          (lastArtworkData_ == bytes->bytes || *lastArtworkData_ == *bytes->bytes);
        if (bytes && bytes->bytes && !sent) {
            // Tracks of one album share a cover file: its preparation is
            // kept for the bytes it was made from.
            if (preparedFrom_ != bytes->bytes && !(preparedFrom_ && *preparedFrom_ == *bytes->bytes)) {
                prepared_ = dashboardArtwork(*bytes->bytes);
                preparedFrom_ = bytes->bytes;
            }
            if (const auto& artwork = prepared_) {
                line["artwork"] = crypto::base64(*artwork);
                lastArtworkData_ = bytes->bytes;
            }
        }
    }

    // Texts from the bus are UTF-8 already; a stray bad byte is replaced
    // rather than losing the line.
    return line.dump(-1, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace veltrane::mirabeck
