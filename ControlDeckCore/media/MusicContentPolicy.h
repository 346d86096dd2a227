#pragma once
// Whether this build may look lyrics and covers up on outside services.

namespace veltrane::media {

struct MusicContentPolicy {
    // The property-file key that marks the licensed-content build.
    static constexpr const char* kLicensedContentKey = "VeltraneLicensedMusicContent";

    // True unless the application's property file sets the key to Boolean
    // true; read afresh at every call, from any thread.
    static bool externalLookupsAllowed();
};

}  // namespace veltrane::media
