#pragma once
// The now-playing information dictionary under the keys its readers know, and
// how an MPRIS player's properties fill it.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "platform/mpris/BusValue.h"

namespace veltrane::mpris {

// Image bytes, told apart from text; shared, since the same picture is
// handed out on every read of a track.
struct InfoData {
    std::shared_ptr<const std::string> bytes;
    bool operator==(const InfoData& other) const {
        return bytes == other.bytes || (bytes && other.bytes && *bytes == *other.bytes);
    }
};
// A point in time, seconds since 1970.
struct InfoDate {
    double secondsSince1970 = 0;
    bool operator==(const InfoDate&) const = default;
};
using InfoValue = std::variant<bool, std::int64_t, double, std::string, InfoData, InfoDate>;
using InfoDictionary = std::map<std::string, InfoValue, std::less<>>;

namespace info {
inline constexpr std::string_view kTitle = "kMRMediaRemoteNowPlayingInfoTitle";
inline constexpr std::string_view kArtist = "kMRMediaRemoteNowPlayingInfoArtist";
inline constexpr std::string_view kAlbum = "kMRMediaRemoteNowPlayingInfoAlbum";
inline constexpr std::string_view kDuration = "kMRMediaRemoteNowPlayingInfoDuration";
inline constexpr std::string_view kPlaybackRate = "kMRMediaRemoteNowPlayingInfoPlaybackRate";
inline constexpr std::string_view kElapsedTime = "kMRMediaRemoteNowPlayingInfoElapsedTime";
inline constexpr std::string_view kIsLiked = "kMRMediaRemoteNowPlayingInfoIsLiked";
inline constexpr std::string_view kTimestamp = "kMRMediaRemoteNowPlayingInfoTimestamp";
inline constexpr std::string_view kArtworkData = "kMRMediaRemoteNowPlayingInfoArtworkData";
}  // namespace info

enum class PlaybackStatus { stopped, paused, playing };

// The org.mpris.MediaPlayer2.Player properties of one player.
struct PlayerProperties {
    // Anything but "Playing" or "Paused" (missing, another type) is stopped.
    static PlaybackStatus status(const BusDict& properties);
    // A stopped player, or one whose metadata holds nothing but a track id
    // (an idle player), plays nothing.
    static bool playsNothing(const BusDict& properties);
    // The `file://` artwork URL's path, percent-decoded; none for another
    // scheme, a relative or empty path, or a NUL.
    static std::optional<std::string> artworkPath(const BusDict& properties);

    // The dictionary: title, artist (arrays joined with ", "), album;
    // duration and elapsed time in seconds from microseconds; the rate only
    // while playing, else 0; the time the position was read; the artwork
    // bytes when given. A value of another type than the player should send
    // is carried as it came (integers, doubles, Booleans, texts) or left out,
    // so the readers' own type rules decide.
    static InfoDictionary info(const BusDict& properties, std::chrono::system_clock::time_point positionReadAt,
                               std::shared_ptr<const std::string> artwork);
};

// %XX escapes decoded (in URLs and bus addresses); a bad escape stays as it is.
std::string percentDecoded(std::string_view text);

// MPRIS bus names: org.mpris.MediaPlayer2.<player>, except the proxy that
// mirrors another player.
bool isPlayerBusName(std::string_view name);
// The player's identifier: its desktop entry, else the bus-name suffix
// without ".instance<N>".
std::string playerBundleId(std::string_view busName, const std::optional<std::string>& desktopEntry);

}  // namespace veltrane::mpris
