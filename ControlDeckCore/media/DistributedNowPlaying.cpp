#include "ControlDeckCore/media/DistributedNowPlaying.h"

#include <locale.h>
#include <stdlib.h>

#include <chrono>
#include <cmath>
#include <initializer_list>
#include <string>

#include "platform/text/UnicodeText.h"
#include "platform/text/Whitespace.h"

namespace veltrane::media::DistributedNowPlaying {
namespace {

using Keys = std::initializer_list<const char*>;

constexpr Keys kTitleKeys = {"Name",     "name",     "Track Name", "songname",
                             "songName", "SongName", "song_name",  "kMRMediaRemoteNowPlayingInfoTitle"};
constexpr Keys kArtistKeys = {"Artist", "artist", "singer", "Singer", "SingerName", "singername"};
constexpr Keys kAlbumKeys = {"Album", "album", "albumname", "AlbumName", "album_name"};
constexpr Keys kStateKeys = {"Player State", "PlayerState", "PlaybackStatus", "state", "playState", "PlayState"};
constexpr Keys kPlayingKeys = {"playing", "isPlaying", "playstate"};
constexpr Keys kDurationKeys = {"Total Time", "Duration", "duration", "interval", "Interval"};
constexpr Keys kPositionKeys = {"Player Position", "player position", "Position",     "Elapsed Time",
                                "elapsed",         "elapsedTime",     "playPosition", "currentTime",
                                "curTime",         "progress",        "playOffset"};

// Durations and positions above this many seconds are taken for
// milliseconds.
constexpr double kMillisecondsAbove = 1000;

const notifications::InfoValue* lookup(const UserInfo& info, const char* key) {
    const auto it = info.find(notifications::InfoKey(std::string(key)));
    return it == info.end() ? nullptr : &it->second;
}

bool has(const UserInfo& info, const char* key) { return lookup(info, key) != nullptr; }

std::optional<std::string> firstText(const UserInfo& info, Keys keys) {
    for (const char* key : keys) {
        const auto* value = lookup(info, key);
        if (!value || !value->text()) continue;
        const auto trimmed = text::trimmingWhitespaceAndNewlines(*value->text());
        if (!trimmed.empty()) return std::string(trimmed);
    }
    return std::nullopt;
}

std::optional<double> firstNumber(const UserInfo& info, Keys keys) {
    for (const char* key : keys)
        if (const auto* value = lookup(info, key))
            if (auto n = number(*value)) return n;
    return std::nullopt;
}

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

bool digit(char c) { return c >= '0' && c <= '9'; }

// The decimal grammar alone: sign, digits with at most one point (at least
// one digit), an optional exponent with digits.
bool decimalShape(std::string_view text) {
    std::size_t i = 0;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
    std::size_t digits = 0;
    while (i < text.size() && digit(text[i])) ++i, ++digits;
    if (i < text.size() && text[i] == '.') {
        ++i;
        while (i < text.size() && digit(text[i])) ++i, ++digits;
    }
    if (digits == 0) return false;
    if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
        ++i;
        if (i < text.size() && (text[i] == '+' || text[i] == '-')) ++i;
        std::size_t exponent = 0;
        while (i < text.size() && digit(text[i])) ++i, ++exponent;
        if (exponent == 0) return false;
    }
    return i == text.size();
}

double nowSinceReferenceDate() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count() -
           MediaRemoteNowPlaying::kReferenceDateSince1970;
}

}  // namespace

std::optional<double> number(const notifications::InfoValue& value) {
    if (const double* n = value.number()) return std::isfinite(*n) ? std::optional<double>(*n) : std::nullopt;
    const std::string* text = value.text();
    if (!text || !decimalShape(*text)) return std::nullopt;
    // The C locale whatever the process's: a decimal comma elsewhere must
    // not change what a text means.
    static const locale_t c = ::newlocale(LC_ALL_MASK, "C", locale_t(0));
    char* end = nullptr;
    const double result = ::strtod_l(text->c_str(), &end, c);
    if (end != text->c_str() + text->size() || !std::isfinite(result)) return std::nullopt;
    return result;
}

bool isPlayerNotification(std::string_view name, const std::optional<UserInfo>& userInfo) {
    static const UserInfo kEmpty;
    const UserInfo& info = userInfo ? *userInfo : kEmpty;
    const std::string lower = text::lowercased(name);
    const bool track = has(info, "Name") || has(info, "Artist") || has(info, "title");
    const bool qq = contains(lower, "qq") || contains(lower, "tencent");
    if (has(info, "Player State")) return qq || track;
    return qq || (track && has(info, "PlaybackStatus"));
}

std::optional<MediaRemoteNowPlaying::Snapshot> parse(std::string_view name, const UserInfo& info, double now) {
    MediaRemoteNowPlaying::Snapshot s;
    s.title = firstText(info, kTitleKeys);
    if (!s.title) return std::nullopt;
    s.artist = firstText(info, kArtistKeys);
    s.album = firstText(info, kAlbumKeys);
    const std::string state = text::lowercased(firstText(info, kStateKeys).value_or(""));

    if (const auto flag = firstNumber(info, kPlayingKeys))
        s.isPlaying = *flag != 0;
    else
        s.isPlaying =
            (contains(state, "play") || state == "1") && !contains(state, "pause") && !contains(state, "stop");

    s.duration = firstNumber(info, kDurationKeys).value_or(0);
    if (s.duration > kMillisecondsAbove) s.duration /= 1000;

    if (auto p = firstNumber(info, kPositionKeys)) {
        double position = *p;
        if (s.duration > 1.0) {
            if (position > 0 && position <= 1.01) position = s.duration * position;
            if (position > s.duration + 2.0 && position > kMillisecondsAbove) position /= 1000;
        }
        s.elapsed = position < 0 ? 0 : position;
        s.elapsedKnown = true;
    }

    const std::string lower = text::lowercased(name);
    if (contains(lower, "spotify")) {
        s.source = "Spotify";
        s.bundleId = "com.spotify.client";
    } else if (contains(lower, "qq") || contains(lower, "tencent")) {
        s.source = "QQ音乐";
        s.bundleId = "com.tencent.QQMusicMac";
    } else if (contains(lower, "163") || contains(lower, "netease")) {
        s.source = "网易云音乐";
        s.bundleId = "com.netease.163music";
    } else {
        s.source = "Music";
        s.bundleId = "com.apple.Music";
    }
    s.playbackRate = s.isPlaying ? 1.0 : 0;
    s.capturedAt = now;
    return s;
}

std::optional<MediaRemoteNowPlaying::Snapshot> parse(std::string_view name, const UserInfo& info) {
    return parse(name, info, nowSinceReferenceDate());
}

}  // namespace veltrane::media::DistributedNowPlaying
