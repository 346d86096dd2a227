#pragma once
// Now-playing from MPRIS players on the session bus (sdbus-c++ over sd-bus).
//
// Players are the owners of org.mpris.MediaPlayer2.* names (not the
// playerctld proxy). The now-playing player is the Playing one that most
// recently became Playing, else the most recently active Paused one; a
// stopped or idle player plays nothing. Each read asks the chosen player for
// all its properties (Position is never announced, so it is always read);
// the other players' states come from their PropertiesChanged signals once
// notifications are on.

#include <memory>
#include <optional>
#include <string>

#include "platform/mpris/NowPlayingService.h"

namespace veltrane::mpris {

// As running applications it lists the players on the bus: the bundle id is
// the desktop entry, the pid the bus connection's process id.
class MprisNowPlaying final : public NowPlayingService, public RunningApps {
public:
    static constexpr std::chrono::milliseconds kReadingLifetime{1000};

    // DBUS_SESSION_BUS_ADDRESS, else the socket $XDG_RUNTIME_DIR/bus when
    // it exists; none when neither names a bus.
    static std::optional<std::string> sessionBusAddress();
    // None when no session bus can be reached.
    static std::unique_ptr<MprisNowPlaying> connect();
    ~MprisNowPlaying() override;

    NowPlayingReading read(Timeout timeout) override;
    std::optional<std::int32_t> nowPlayingPID(Timeout timeout) override;
    // Only players whose process id this service has asked for are known:
    // bundle id from the desktop entry (else the bus-name suffix), name
    // from the player's Identity.
    std::optional<RunningApplication> runningApplication(std::int32_t pid) override;
    void registerForNotifications(std::function<void()> changed) override;
    std::vector<RunningApplication> runningApplications() override;
    // On a connection of their own, so a hung player holds no reader.
    bool send(PlayerCommand command, Timeout timeout) override;
    // SetPosition(trackid, µs); Seek(offset from Position) when the track
    // has no trackid.
    bool setPosition(double seconds, Timeout timeout) override;

private:
    struct Impl;
    explicit MprisNowPlaying(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

}  // namespace veltrane::mpris
