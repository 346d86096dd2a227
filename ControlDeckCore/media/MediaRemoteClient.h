#pragma once
// The now-playing client behind MediaRemoteNowPlaying::fetch: the player
// backend (the session bus's MPRIS players) read with a deadline, and its
// dictionary turned into a reading.

#include <cstdint>
#include <optional>

#include "ControlDeckCore/media/MediaRemoteNowPlaying.h"
#include "platform/mpris/NowPlayingService.h"

namespace veltrane::media {

// The player backend: the now-playing service and the running applications.
struct MediaRemoteLibrary {
    mpris::NowPlayingService& service;
    mpris::RunningApps& apps;
};

// The process-wide backend on the session bus, made once on first use and
// never released; null when no session bus can be reached.
MediaRemoteLibrary* mediaRemoteLibrary();

// MediaRemoteNowPlaying::fetch against `library` (null: the missing-library
// answer). The backend's blocking calls run on a queue of their own; `done`
// runs on the main queue.
void fetchNowPlaying(MediaRemoteLibrary* library, MediaRemoteNowPlaying::FetchDone done);

// The reading of a now-playing dictionary: none without a title and an
// artist. `app` is the application behind the player's pid, when known;
// `now` (seconds since the reference date) dates a dictionary without a
// timestamp. Numbers that are not finite count as absent.
std::optional<MediaRemoteNowPlaying::Snapshot> snapshotFromNowPlayingInfo(
    const mpris::InfoDictionary& info, bool playing, const std::optional<mpris::RunningApplication>& app, double now);

}  // namespace veltrane::media
