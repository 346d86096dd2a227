#pragma once
// The players that answer scripts with their current track (the Music app
// and Spotify): the exact texts sent to them and to System Events, and the
// pure rules over their replies. The adapter runs the scripts; nothing here
// blocks or keeps state.

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ControlDeckCore/media/MediaRemoteNowPlaying.h"

namespace veltrane::media {

struct ScriptablePlayers {
    using Snapshot = MediaRemoteNowPlaying::Snapshot;
    using Command = MediaRemoteNowPlaying::Command;

    static constexpr const char* kMusicBundleId = "com.apple.Music";
    static constexpr const char* kSpotifyBundleId = "com.spotify.client";
    static constexpr const char* kMusicSource = "Music";
    static constexpr const char* kSpotifySource = "Spotify";
    static constexpr std::chrono::milliseconds kMusicQueryTimeout{1200};
    static constexpr std::chrono::milliseconds kSpotifyQueryTimeout{2000};
    // Every command script: transport, seek, like and menu clicks.
    static constexpr std::chrono::milliseconds kCommandTimeout{2000};
    // The status of a script run that hit its time-out.
    static constexpr std::int32_t kTimedOutStatus = 124;

    // The query scripts; their reply is one tab-separated line, empty when
    // the player is stopped or the track changed while the script ran.
    static const std::string& musicQueryScript();
    static const std::string& spotifyQueryScript();

    // The application name put into scripts for a scriptable player's
    // bundle identifier; none for any other.
    static std::optional<std::string> applicationName(const std::optional<std::string>& bundleId);
    // `tell application "NAME" to VERB`; none for a command without a verb
    // (rating and bare seek).
    static std::optional<std::string> transportScript(const std::string& application, Command command);
    // `tell application "NAME" to set player position to 42.0`.
    static std::string seekScript(const std::string& application, double target);
    // The Music app's like script: answers "ok" once a favourite or loved
    // flag took the value.
    static std::string musicLikedScript(bool liked);
    // One System Events menu click: answers "ok" when the item was clicked.
    static std::string clickMenuScript(const std::string& process, const std::string& menu, const std::string& item);

    // A player's reply as a reading captured at `now` (seconds since the
    // reference date); none when it has fewer than six fields or no title.
    static std::optional<Snapshot> parseScriptable(std::string_view text, const std::string& source,
                                                   const std::string& bundleId, bool durationIsMilliseconds,
                                                   double now);
    // Which of the two candidates speaks for the computer, given the player
    // the adapter follows and whether it plays.
    static std::optional<Snapshot> chooseActiveScriptable(const std::optional<std::string>& selectedBundleId,
                                                          bool selectedPlaying, const std::optional<Snapshot>& music,
                                                          const std::optional<Snapshot>& spotify);
    // Whether a failed run's output says the desktop refused automation of
    // the player; a time-out never does.
    static bool isAutomationDenied(std::int32_t status, std::string_view standardError,
                                   std::string_view standardOutput);
    // The scriptable player that could confirm a reading: its own bundle
    // identifier, else the one its source names.
    static std::optional<std::string> scriptableIdentityBundleId(const Snapshot& snapshot);

    // A reply's number: decimal only, the whole text, a point as the
    // decimal mark, finite. No blanks, no hex, no "inf" or "nan".
    static std::optional<double> decimalNumber(std::string_view text);
    // The shortest decimal text that reads back as `value`, always with a
    // fractional part (42 → "42.0").
    static std::string decimalText(double value);
};

}  // namespace veltrane::media
