#pragma once
// The QQ Music side of now-playing, its pure part: the play-queue record and
// the lookups over a queue, the rules that read the player's labels, and the
// one normaliser of cover images for tablets. What reads the player itself
// (its window, its play-queue file, its covers) is in QQPlayQueue.h,
// QQPlayerReading.h and QQCover.h, library deck_media_qq.

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "ControlDeckCore/media/MediaRemoteNowPlaying.h"

namespace veltrane::media::QQNowPlaying {

using Snapshot = MediaRemoteNowPlaying::Snapshot;

inline constexpr std::string_view kBundleId = "com.tencent.QQMusicMac";
inline constexpr std::string_view kSource = "QQ音乐";

// An entry of the play queue, also what the song search finds.
struct LibraryTrack {
    std::string title;   // trimmed, never empty in entries we build
    std::string artist;  // names joined by " / "; may be empty
    std::optional<std::string> album;
    double duration = 0;  // seconds; 0 when unknown
    std::optional<std::string> songMid;
    std::optional<std::string> albumMid;  // or the album picture's id

    // Memberwise; texts by canonical equivalence.
    bool operator==(const LibraryTrack& other) const;
};

// The trimmed text unless it is blank or "$null".
std::optional<std::string> emptyToNil(const std::optional<std::string>& text);

// The first entry with this title and artist that names its song; none when
// two such entries name different songs (the queue cannot tell them apart).
std::optional<LibraryTrack> bestLibraryTrack(std::string_view title, const std::optional<std::string>& artist,
                                             const std::vector<LibraryTrack>& tracks);
// Whether the entry is another recording than the reading: other album, or
// a length more than 3 s away.
bool libraryRecordingContradicts(const Snapshot& reading, const LibraryTrack& track);
// What plays around the song: the next two entries, else the previous one,
// each naming a song of its own. At most three.
std::vector<LibraryTrack> neighboringTracks(std::string_view songMid, const std::vector<LibraryTrack>& tracks);
// The reading completed from the queue entry that matches it (length, album,
// the richer artist, the song and album ids); as it is when it already names
// its song, no entry matches, or the entry contradicts it.
Snapshot enrich(const Snapshot& reading, const std::vector<LibraryTrack>& tracks);

// A reading of the player: its fixed fields, playing or paused.
Snapshot reading(std::optional<std::string> title, std::optional<std::string> artist, bool playing,
                 std::optional<bool> liked, double capturedAt);

struct SongDescription {
    std::string title;   // never empty
    std::string artist;  // may be empty
};
// The title and artist of a description such as "歌曲名：T - 歌手名：A" (six
// label pairs, any letter case).
std::optional<SongDescription> parseSongDescription(std::string_view text);
// Whether a control's label names the play or pause button.
bool isPlayButton(std::string_view label);
// Whether a play button's label means the player plays (it offers to pause).
bool isPlaying(std::string_view playButton);
// The favourite button's label read as liked (true), not liked (false), or
// unknown.
std::optional<bool> favoriteStatus(std::string_view buttonLabel);

// Larger input is not looked at.
inline constexpr std::size_t kMaxInputBytes = 20'000'000;
// What tablets get: a JPEG under this many bytes, within this many
// pixels a side.
inline constexpr std::size_t kMaxOutputBytes = 220'000;
inline constexpr int kMaxOutputSide = 600;
// Images declaring more are refused before any pixel is decoded, so a
// small file cannot make us allocate gigabytes.
inline constexpr int kMaxInputSide = 8192;
inline constexpr long long kMaxInputPixels = 40'000'000;

// Any JPEG or PNG as a JPEG for tablets: a small JPEG as it is, anything
// else redrawn within 600 × 600 and encoded at falling quality until it
// is small enough. None for what cannot be read or made small enough.
std::optional<std::string> displayArtwork(std::string_view data);

}  // namespace veltrane::media::QQNowPlaying
