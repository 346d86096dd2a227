#pragma once
// The now-playing client, the MediaRemote fetch's stand-in: the player
// backend (the session bus's MPRIS players) read with a deadline, and its
// dictionary turned into a reading.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "ControlDeckCore/media/MediaRemoteNowPlaying.h"
#include "platform/mpris/NowPlayingService.h"

namespace veltrane::media {

// The player backend: the now-playing service and the running applications,
// kept alive by `owner`.
struct MediaRemoteLibrary {
    mpris::NowPlayingService& service;
    mpris::RunningApps& apps;
    std::shared_ptr<void> owner;
};

// The backend on the session bus; null when no session bus can be reached.
// Its signal thread ends when the last holder lets go. `changed` runs on
// that thread after each change a player announces.
std::shared_ptr<MediaRemoteLibrary> openMediaRemoteLibrary(std::function<void()> changed = {});

// One reading of the now-playing player (MediaRemoteNowPlaying.fetch). The
// backend's blocking calls run on a queue of their own; `done` runs once, on
// the main queue, within 0.45 s of the requests, with what arrived by then.
// Without a backend it logs "[deck] MediaRemote symbols missing" and calls
// `done` at once.
void fetchNowPlaying(const std::shared_ptr<MediaRemoteLibrary>& library, MediaRemoteNowPlaying::FetchDone done);

// The reading of a now-playing dictionary: none without a title and an
// artist. `app` is the application behind the player's pid, when known;
// `now` (seconds since the reference date) dates a dictionary without a
// timestamp. Numbers that are not finite count as absent.
std::optional<MediaRemoteNowPlaying::Snapshot> snapshotFromNowPlayingInfo(
    const mpris::InfoDictionary& info, bool playing, const std::optional<mpris::RunningApplication>& app, double now);

}  // namespace veltrane::media
