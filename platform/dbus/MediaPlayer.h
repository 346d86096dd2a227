#pragma once
// A one-shot read of what an MPRIS player on the session bus is playing,
// shaped like asking a music application for its current track: the track
// is read between two reads of its id, so a track that changed meanwhile is
// not mistaken for the one asked about.

#include <chrono>
#include <string>

namespace veltrane::dbus {

struct PlayerTrack {
    std::string title;   // xesam:title
    std::string artist;  // xesam:artist, joined with ", "
    std::string album;   // xesam:album
    std::string lyrics;  // xesam:asText; empty when the player exports none
};

struct PlayerReading {
    enum class Outcome {
        track,         // `track` holds the current track
        stopped,       // PlaybackStatus is "Stopped"
        trackChanged,  // mpris:trackid differed between the two reads
        failed,        // no such player, a D-Bus error, or the time ran out
    };
    Outcome outcome = Outcome::failed;
    PlayerTrack track;
};

struct MediaPlayer {
    // The whole read, every call included.
    static constexpr std::chrono::milliseconds kTimeout{2000};

    // Reads PlaybackStatus, then Metadata, then Metadata's mpris:trackid
    // again, of `busName` at /org/mpris/MediaPlayer2. Blocks the caller at
    // most `limit`; any thread.
    static PlayerReading currentTrack(const std::string& busName, std::chrono::milliseconds limit = kTimeout);
};

}  // namespace veltrane::dbus
