#pragma once
// What the computer is playing, shaped as the now-playing readers ask for it:
// the information dictionary with the is-playing state, the now-playing
// application's process id, the application behind a process id, and change
// notifications. MprisNowPlaying answers from the session bus; FakeNowPlaying
// from canned values.

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/apps/RunningApps.h"
#include "platform/mpris/NowPlayingInfo.h"

namespace veltrane::mpris {

struct NowPlayingReading {
    std::optional<InfoDictionary> info;  // none: nothing playing, or no answer in time
    bool playing = false;
};

using apps::RunningApplication;
using apps::RunningApps;

// The transport methods a player takes.
enum class PlayerCommand { play, pause, playPause, stop, next, previous };

class NowPlayingService {
public:
    using Timeout = std::chrono::milliseconds;
    virtual ~NowPlayingService() = default;

    // The now-playing player's dictionary and whether it plays, waiting at
    // most `timeout` for them.
    virtual NowPlayingReading read(Timeout timeout) = 0;
    // The now-playing player's process id, 0 when nothing plays; none when
    // no answer came within `timeout`.
    virtual std::optional<std::int32_t> nowPlayingPID(Timeout timeout) = 0;
    // The player application running with that process id, if one is known.
    virtual std::optional<RunningApplication> runningApplication(std::int32_t pid) = 0;
    // `changed` runs on the service's own thread after each change a player
    // announces (its properties, a seek, a player coming or going); it
    // should only hand the work elsewhere. Called once.
    virtual void registerForNotifications(std::function<void()> changed) = 0;

    // Commands to the now-playing player: true when it answered without an
    // error within `timeout`; false with no player.
    virtual bool send(PlayerCommand command, Timeout timeout) = 0;
    // Moves the now-playing player's playhead to `seconds`.
    virtual bool setPosition(double seconds, Timeout timeout) = 0;
};

}  // namespace veltrane::mpris
