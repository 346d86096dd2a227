#include <cstdlib>

#include "ControlDeckCore/lyrics/LyricsWeb.h"
#include "platform/dbus/MediaPlayer.h"
#include "platform/mpris/NowPlayingInfo.h"

namespace veltrane::lyrics {

std::string LyricsLookup::musicPlayerBusName() {
    const char* name = std::getenv(kMusicPlayerVariable);
    return name && *name ? name : kDefaultMusicPlayer;
}

std::string LyricsLookup::musicPlayerBundleId() { return mpris::playerBundleId(musicPlayerBusName(), std::nullopt); }

std::optional<LyricsSnapshot> LyricsLookup::appleMusicLyrics(std::string_view title, const OptionalText& artist,
                                                             const OptionalText& album) {
    // The player's reading, written as the music application answers.
    const auto reading = dbus::MediaPlayer::currentTrack(musicPlayerBusName());
    OptionalText answer;
    switch (reading.outcome) {
        case dbus::PlayerReading::Outcome::failed: return std::nullopt;
        case dbus::PlayerReading::Outcome::stopped:
        case dbus::PlayerReading::Outcome::trackChanged: answer = ""; break;
        case dbus::PlayerReading::Outcome::track: {
            const auto& t = reading.track;
            // Some players join lyric lines with ", " in xesam:asText.
            answer = t.title + "\t" + t.artist + "\t" + t.album + "\n" + restoredLyricLines(t.lyrics);
            break;
        }
    }
    return musicAnswerSnapshot(answer, title, artist, album);
}

}  // namespace veltrane::lyrics
