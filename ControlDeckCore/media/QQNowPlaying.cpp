#include "ControlDeckCore/media/QQNowPlaying.h"

#include <algorithm>
#include <cmath>

#include "ControlDeckCore/media/MediaRemoteNowPlaying.h"
#include "ControlDeckCore/media/Playhead.h"
#include "platform/image/AreaResample.h"
#include "platform/image/BoundedDecode.h"
#include "platform/image/JPEGImage.h"
#include "platform/text/CanonicalText.h"
#include "platform/text/UnicodeText.h"
#include "platform/text/Whitespace.h"

namespace veltrane::media::QQNowPlaying {

namespace {

constexpr int kQualities[] = {80, 60, 40, 20};

struct SongLabels {
    std::string_view title;
    std::string_view artist;
};
// Tried in this order.
constexpr SongLabels kSongLabels[] = {
    {"歌曲名：", "歌手名："}, {"歌曲名:", "歌手名:"}, {"歌名：", "歌手："},
    {"歌名:", "歌手:"},       {"Song: ", "Artist: "}, {"Title: ", "Artist: "},
};
// Trimmed off a title besides white space: the separator before the artist.
constexpr std::string_view kTitleDashes[] = {"-", "–", "—", "－"};

constexpr std::string_view kNotPlayButton[] = {"模式", "列表", "控制"};
constexpr std::string_view kPause = "暂停";

// Labels that offer to remove from the favourites mean liked, those that
// offer to add mean not liked.
constexpr std::string_view kLikedLabels[] = {"从我喜欢删除",          "从我喜欢中删除", "取消喜欢",
                                             "remove from favorites", "unlike",         "unlove"};
constexpr std::string_view kNotLikedLabels[] = {"添加到我喜欢",     "添加到喜欢", "喜欢", "喜欢歌曲",
                                                "add to favorites", "like",       "love"};

constexpr double kRecordingLengthSlack = 3.0;  // seconds

bool contains(std::string_view text, std::string_view part) { return text.find(part) != std::string_view::npos; }

char asciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

// The labels are ASCII words or Han characters, so folding ASCII letters is
// the whole of their case.
std::size_t findIgnoringCase(std::string_view text, std::string_view part, std::size_t from = 0) {
    if (part.size() > text.size()) return std::string_view::npos;
    for (std::size_t at = from; at + part.size() <= text.size(); ++at) {
        std::size_t i = 0;
        while (i < part.size() && asciiLower(text[at + i]) == asciiLower(part[i])) ++i;
        if (i == part.size()) return at;
    }
    return std::string_view::npos;
}

std::string_view trimTitle(std::string_view text) {
    for (;;) {
        const std::string_view before = text;
        text = text::trimmingWhitespaceAndNewlines(text);
        for (auto dash : kTitleDashes) {
            while (text.starts_with(dash)) text.remove_prefix(dash.size());
            while (text.ends_with(dash)) text.remove_suffix(dash.size());
        }
        if (text == before) return text;
    }
}

std::string trimmedLower(const std::optional<std::string>& text) {
    return text ? text::lowercased(text::trimmingWhitespaceAndNewlines(*text)) : std::string();
}

bool usable(std::string_view trimmed) { return !trimmed.empty() && trimmed != "$null"; }

}  // namespace

std::optional<std::string> emptyToNil(const std::optional<std::string>& text) {
    if (!text) return std::nullopt;
    const auto trimmed = text::trimmingWhitespaceAndNewlines(*text);
    if (!usable(trimmed)) return std::nullopt;
    return std::string(trimmed);
}

std::optional<LibraryTrack> bestLibraryTrack(std::string_view title, const std::optional<std::string>& artist,
                                             const std::vector<LibraryTrack>& tracks) {
    const std::string wanted = text::lowercased(text::trimmingWhitespaceAndNewlines(title));
    if (wanted.empty()) return std::nullopt;
    const std::string key = Playhead::artistKey(artist);
    if (key.empty()) return std::nullopt;
    std::optional<LibraryTrack> candidate;
    std::string candidateMid;
    for (const auto& track : tracks) {
        const auto mid = emptyToNil(track.songMid);
        if (!mid || !text::canonicallyEqual(trimmedLower(track.title), wanted) ||
            Playhead::artistKey(track.artist) != key)
            continue;
        if (!candidate) {
            candidate = track;
            candidateMid = *mid;
        } else if (*mid != candidateMid) {
            return std::nullopt;
        }
    }
    return candidate;
}

bool libraryRecordingContradicts(const Snapshot& reading, const LibraryTrack& track) {
    const std::string a = trimmedLower(reading.album);
    const std::string b = trimmedLower(track.album);
    if (!a.empty() && !b.empty() && !text::canonicallyEqual(a, b)) return true;
    return reading.duration > 1.0 && track.duration > 0 &&
           std::abs(reading.duration - track.duration) > kRecordingLengthSlack;
}

std::vector<LibraryTrack> neighboringTracks(std::string_view songMid, const std::vector<LibraryTrack>& tracks) {
    const auto found =
        std::find_if(tracks.begin(), tracks.end(), [&](const LibraryTrack& track) { return track.songMid == songMid; });
    if (found == tracks.end()) return {};
    const auto k = static_cast<std::size_t>(found - tracks.begin());
    const auto qualifies = [&](std::size_t i) {
        const auto& mid = tracks[i].songMid;
        return mid && !mid->empty() && *mid != songMid;
    };
    std::vector<LibraryTrack> result;
    for (std::size_t i : {k + 1, k + 2})
        if (i < tracks.size() && qualifies(i)) result.push_back(tracks[i]);
    if (k > 0 && qualifies(k - 1)) result.push_back(tracks[k - 1]);
    return result;
}

Snapshot enrich(const Snapshot& reading, const std::vector<LibraryTrack>& tracks) {
    Snapshot copy = reading;
    if (!reading.title || reading.title->empty()) return copy;
    if (reading.songMid && usable(text::trimmingWhitespaceAndNewlines(*reading.songMid))) return copy;
    const auto best = bestLibraryTrack(*reading.title, reading.artist, tracks);
    if (!best || libraryRecordingContradicts(reading, *best)) return copy;
    if (copy.duration <= 0 && best->duration > 0) copy.duration = best->duration;
    if ((!copy.album || copy.album->empty()) && best->album && !best->album->empty()) copy.album = best->album;
    if (!best->artist.empty()) copy.artist = Playhead::richerArtist(copy.artist, best->artist).value_or(best->artist);
    // A present id, even a blank one, is the reading's own.
    if (!reading.songMid) copy.songMid = best->songMid;
    if (!copy.albumMid) copy.albumMid = best->albumMid;
    return copy;
}

Snapshot reading(std::optional<std::string> title, std::optional<std::string> artist, bool playing,
                 std::optional<bool> liked, double capturedAt) {
    Snapshot snapshot;
    snapshot.title = std::move(title);
    snapshot.artist = std::move(artist);
    snapshot.source = std::string(kSource);
    snapshot.bundleId = std::string(kBundleId);
    snapshot.isPlaying = playing;
    snapshot.playbackRate = playing ? 1.0 : 0.0;
    snapshot.capturedAt = capturedAt;
    snapshot.liked = liked;
    return snapshot;
}

std::optional<SongDescription> parseSongDescription(std::string_view text) {
    const std::string_view s = text::trimmingWhitespaceAndNewlines(text);
    if (s.empty()) return std::nullopt;
    for (const auto& labels : kSongLabels) {
        const auto titleAt = findIgnoringCase(s, labels.title);
        if (titleAt == std::string_view::npos) continue;
        const auto titleEnd = titleAt + labels.title.size();
        const auto artistAt = findIgnoringCase(s, labels.artist, titleEnd);
        if (artistAt == std::string_view::npos) continue;
        const auto title = trimTitle(s.substr(titleEnd, artistAt - titleEnd));
        if (title.empty()) continue;
        const auto artist = text::trimmingWhitespaceAndNewlines(s.substr(artistAt + labels.artist.size()));
        return SongDescription{std::string(title), std::string(artist)};
    }
    return std::nullopt;
}

bool isPlayButton(std::string_view label) {
    const auto t = text::trimmingSpaces(label);
    for (auto word : kNotPlayButton)
        if (contains(t, word)) return false;
    if (t == "播放" || t == "Play" || t == "Pause") return true;
    return contains(t, kPause);
}

bool isPlaying(std::string_view playButton) {
    const auto t = text::trimmingSpaces(playButton);
    return contains(t, kPause) || t == "Pause" || t.starts_with("Pause ");
}

std::optional<bool> favoriteStatus(std::string_view buttonLabel) {
    const std::string label = text::lowercased(text::trimmingWhitespaceAndNewlines(buttonLabel));
    for (auto liked : kLikedLabels)
        if (label == liked) return true;
    for (auto notLiked : kNotLikedLabels)
        if (label == notLiked) return false;
    return std::nullopt;
}

bool LibraryTrack::operator==(const LibraryTrack& other) const {
    return text::canonicallyEqual(title, other.title) && text::canonicallyEqual(artist, other.artist) &&
           sameOptionalText(album, other.album) && duration == other.duration &&
           sameOptionalText(songMid, other.songMid) && sameOptionalText(albumMid, other.albumMid);
}

std::optional<std::string> displayArtwork(std::string_view data) {
    if (data.size() > kMaxInputBytes) return std::nullopt;
    const auto decoded = image::decodeWithin(data, {kMaxInputSide, kMaxInputPixels});
    if (!decoded) return std::nullopt;
    if (data.size() < kMaxOutputBytes && image::hasJPEGSignature(data)) return std::string(data);

    const auto drawn = image::redrawOverTransparent(*decoded, std::min(decoded->width, kMaxOutputSide),
                                                    std::min(decoded->height, kMaxOutputSide));
    for (int quality : kQualities) {
        auto jpeg = image::JPEGImage::encode(drawn, quality);
        if (jpeg && jpeg->size() < kMaxOutputBytes) return jpeg;
    }
    return std::nullopt;
}

}  // namespace veltrane::media::QQNowPlaying
