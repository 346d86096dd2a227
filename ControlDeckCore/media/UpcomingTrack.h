#pragma once
// The music app's answer about the next track of its current playlist: one
// line "title<TAB>artist<TAB>album<TAB>seconds" (empty at the playlist's end
// or while stopped).

#include <optional>
#include <string>
#include <string_view>

namespace veltrane::media {

struct UpcomingTrack {
    std::string title;  // trimmed, never empty
    std::optional<std::string> artist;
    std::optional<std::string> album;
    double duration = 0;  // seconds; 0 unless the field is a plain decimal number
};

// None for fewer than four fields or a blank title; fields past the fourth
// are ignored.
std::optional<UpcomingTrack> parseUpcomingTrack(std::string_view reply);

}  // namespace veltrane::media
