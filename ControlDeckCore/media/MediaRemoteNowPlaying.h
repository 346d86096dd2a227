#pragma once

namespace veltrane::deck {

// The now-playing client the runtime enables once it listens.
struct MediaRemoteNowPlaying {
    // The desktop build turns the process into a background UI application and
    // registers for now-playing notifications here. Linux has no process-type
    // change, and the host media adapter watches its sources itself, so there
    // is nothing to do; the runtime still calls it at the same point.
    static void enableClient() {}
};

}  // namespace veltrane::deck
