#include "ControlDeckCore/media/ScriptablePlayers.h"

#include <array>
#include <charconv>
#include <cmath>
#include <vector>

#include "platform/text/UnicodeText.h"
#include "platform/text/Whitespace.h"

namespace veltrane::media {
namespace {

std::string joinLines(std::initializer_list<std::string_view> lines) {
    std::string text;
    for (const auto line : lines) {
        if (!text.empty()) text += '\n';
        text += line;
    }
    return text;
}

std::vector<std::string_view> splitTabs(std::string_view text) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (std::size_t at = text.find('\t'); at != std::string_view::npos; at = text.find('\t', start)) {
        fields.push_back(text.substr(start, at - start));
        start = at + 1;
    }
    fields.push_back(text.substr(start));
    return fields;
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

}  // namespace

const std::string& ScriptablePlayers::musicQueryScript() {
    static const std::string script = joinLines({
        "tell application \"Music\"",
        "  if player state is stopped then return \"\"",
        "  set t to current track",
        "  set idBefore to persistent ID of t",
        "  set n to name of t",
        "  set a to artist of t",
        "  set al to \"\"",
        "  try",
        "    set al to album of t",
        "  end try",
        "  set d to duration of t",
        "  set p to player position",
        "  set playerState to player state as string",
        "  set fav to \"unknown\"",
        "  try",
        "    set fav to favorited of t as string",
        "  on error",
        "    try",
        "      set fav to loved of t as string",
        "    end try",
        "  end try",
        "  set idAfter to persistent ID of current track",
        "  if idAfter is not idBefore then return \"\"",
        "  return n & tab & a & tab & al & tab & d & tab & p & tab & playerState & tab & fav",
        "end tell",
    });
    return script;
}

const std::string& ScriptablePlayers::spotifyQueryScript() {
    static const std::string script = joinLines({
        "tell application \"Spotify\"",
        "  if player state is stopped then return \"\"",
        "  set t to current track",
        "  set idBefore to id of t as text",
        "  set n to name of t as text",
        "  set a to artist of t as text",
        "  set al to \"\"",
        "  try",
        "    set al to album of t as text",
        "  end try",
        "  set d to duration of t",
        "  set p to player position",
        "  set playerState to player state as text",
        "  set idAfter to id of current track as text",
        "  if idAfter is not idBefore then return \"\"",
        "  return n & tab & a & tab & al & tab & d & tab & p & tab & playerState",
        "end tell",
    });
    return script;
}

std::optional<std::string> ScriptablePlayers::applicationName(const std::optional<std::string>& bundleId) {
    if (bundleId == kMusicBundleId) return std::string(kMusicSource);
    if (bundleId == kSpotifyBundleId) return std::string(kSpotifySource);
    return std::nullopt;
}

std::optional<std::string> ScriptablePlayers::transportScript(const std::string& application, Command command) {
    const char* verb = nullptr;
    switch (command) {
        case Command::play: verb = "play"; break;
        case Command::pause: verb = "pause"; break;
        case Command::togglePlayPause: verb = "playpause"; break;
        case Command::stop: verb = "pause"; break;  // the players' stop forgets the track
        case Command::nextTrack: verb = "next track"; break;
        case Command::previousTrack: verb = "previous track"; break;
        case Command::likeTrack:
        case Command::dislikeTrack:
        case Command::seekToPlaybackPosition: return std::nullopt;
    }
    if (!verb) return std::nullopt;
    return "tell application \"" + application + "\" to " + verb;
}

std::string ScriptablePlayers::seekScript(const std::string& application, double target) {
    return "tell application \"" + application + "\" to set player position to " + decimalText(target);
}

std::string ScriptablePlayers::musicLikedScript(bool liked) {
    const std::string value = liked ? "true" : "false";
    return joinLines({
        "tell application \"Music\"",
        "  if player state is stopped then return \"no\"",
        "  try",
        "    set favorited of current track to " + value,
        "    return \"ok\"",
        "  on error",
        "    try",
        "      set loved of current track to " + value,
        "      return \"ok\"",
        "    on error",
        "      return \"no\"",
        "    end try",
        "  end try",
        "end tell",
    });
}

std::string ScriptablePlayers::clickMenuScript(const std::string& process, const std::string& menu,
                                               const std::string& item) {
    return joinLines({
        "tell application \"System Events\"",
        "  if not (exists process \"" + process + "\") then return \"no\"",
        "  tell process \"" + process + "\"",
        "    try",
        "      click menu item \"" + item + "\" of menu \"" + menu + "\" of menu bar item \"" + menu +
            "\" of menu bar 1",
        "      return \"ok\"",
        "    end try",
        "  end tell",
        "  return \"no\"",
        "end tell",
    });
}

std::optional<double> ScriptablePlayers::decimalNumber(std::string_view text) {
    // Checked by hand first: from_chars would also take "inf", "nan" and
    // digits followed by anything.
    std::size_t at = 0;
    if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
    const std::size_t mantissa = at;
    std::size_t digits = 0;
    while (at < text.size() && isDigit(text[at])) ++at, ++digits;
    if (at < text.size() && text[at] == '.') {
        ++at;
        while (at < text.size() && isDigit(text[at])) ++at, ++digits;
    }
    if (digits == 0) return std::nullopt;
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
        ++at;
        if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
        std::size_t exponent = 0;
        while (at < text.size() && isDigit(text[at])) ++at, ++exponent;
        if (exponent == 0) return std::nullopt;
    }
    if (at != text.size()) return std::nullopt;
    double value = 0;
    const char* first = text.data() + (text[0] == '+' ? mantissa : 0);
    const auto [end, error] = std::from_chars(first, text.data() + text.size(), value, std::chars_format::general);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return std::nullopt;
    return value;
}

std::string ScriptablePlayers::decimalText(double value) {
    std::array<char, 64> buffer{};
    const auto [end, error] = std::to_chars(buffer.data(), buffer.data() + buffer.size(), value);
    std::string text(buffer.data(), error == std::errc() ? end : buffer.data());
    if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
    return text;
}

std::optional<ScriptablePlayers::Snapshot> ScriptablePlayers::parseScriptable(std::string_view text,
                                                                              const std::string& source,
                                                                              const std::string& bundleId,
                                                                              bool durationIsMilliseconds, double now) {
    if (text.empty()) return std::nullopt;
    const auto fields = splitTabs(text);
    if (fields.size() < 6) return std::nullopt;
    const std::string_view title = text::trimmingWhitespaceAndNewlines(fields[0]);
    if (title.empty()) return std::nullopt;

    double duration = decimalNumber(fields[3]).value_or(0);
    if (durationIsMilliseconds) duration /= 1000;
    const std::string state = text::lowercased(fields[5]);
    const bool playing = state.find("play") != std::string::npos && state.find("pause") == std::string::npos;
    std::optional<bool> liked;
    if (fields.size() >= 7) {
        const std::string flag = text::lowercased(text::trimmingWhitespaceAndNewlines(fields[6]));
        if (flag == "true" || flag == "yes") liked = true;
        if (flag == "false" || flag == "no") liked = false;
    }

    Snapshot reading;
    reading.title = std::string(title);
    reading.artist = std::string(fields[1]);
    reading.album = std::string(fields[2]);
    reading.source = source;
    reading.bundleId = bundleId;
    reading.isPlaying = playing;
    reading.duration = duration;
    reading.elapsed = decimalNumber(fields[4]).value_or(0);
    reading.elapsedKnown = true;
    reading.playbackRate = playing ? 1.0 : 0.0;
    reading.capturedAt = now;
    reading.liked = liked;
    return reading;
}

std::optional<ScriptablePlayers::Snapshot> ScriptablePlayers::chooseActiveScriptable(
    const std::optional<std::string>& selectedBundleId, bool selectedPlaying, const std::optional<Snapshot>& music,
    const std::optional<Snapshot>& spotify) {
    const bool musicPlaying = music && music->isPlaying;
    const bool spotifyPlaying = spotify && spotify->isPlaying;
    const bool selectedMusic = selectedBundleId == kMusicBundleId;
    const bool selectedSpotify = selectedBundleId == kSpotifyBundleId;
    if (selectedMusic && musicPlaying) return music;
    if (selectedSpotify && spotifyPlaying) return spotify;
    // Another player is speaking.
    if (selectedPlaying && !selectedMusic && !selectedSpotify) return std::nullopt;
    if (musicPlaying) return music;
    if (spotifyPlaying) return spotify;
    if (selectedMusic) return music;
    if (selectedSpotify) return spotify;
    return std::nullopt;
}

bool ScriptablePlayers::isAutomationDenied(std::int32_t status, std::string_view standardError,
                                           std::string_view standardOutput) {
    if (status == 0 || status == kTimedOutStatus) return false;
    std::string joined(standardError);
    joined += '\n';
    joined += standardOutput;
    const std::string lower = text::lowercased(joined);
    for (const char* sign : {"-1743", "not authorized to send apple events", "not allowed to send apple events"})
        if (lower.find(sign) != std::string::npos) return true;
    return false;
}

std::optional<std::string> ScriptablePlayers::scriptableIdentityBundleId(const Snapshot& snapshot) {
    if (snapshot.bundleId == kMusicBundleId || snapshot.bundleId == kSpotifyBundleId) return snapshot.bundleId;
    if (snapshot.source == kMusicSource) return std::string(kMusicBundleId);
    if (snapshot.source == kSpotifySource) return std::string(kSpotifyBundleId);
    return std::nullopt;
}

}  // namespace veltrane::media
