#include "ControlDeckCore/media/UpcomingTrack.h"

#include <charconv>
#include <cmath>
#include <vector>

#include "platform/text/Whitespace.h"

namespace veltrane::media {
namespace {

std::string trimmed(std::string_view text) { return std::string(text::trimmingWhitespaceAndNewlines(text)); }

std::optional<std::string> nonBlank(std::string_view text) {
    auto value = trimmed(text);
    if (value.empty()) return std::nullopt;
    return value;
}

// "12", "12.5", ".5": a point as the decimal mark, nothing around it.
double seconds(std::string_view text) {
    if (text.empty()) return 0;
    for (const char c : text)
        if (c != '.' && (c < '0' || c > '9')) return 0;
    double value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc() || end != text.data() + text.size() || !std::isfinite(value)) return 0;
    return value;
}

}  // namespace

std::optional<UpcomingTrack> parseUpcomingTrack(std::string_view reply) {
    std::vector<std::string_view> fields;
    std::size_t start = 0;
    for (std::size_t tab = reply.find('\t'); tab != std::string_view::npos; tab = reply.find('\t', start)) {
        fields.push_back(reply.substr(start, tab - start));
        start = tab + 1;
    }
    fields.push_back(reply.substr(start));
    if (fields.size() < 4) return std::nullopt;
    UpcomingTrack track;
    track.title = trimmed(fields[0]);
    if (track.title.empty()) return std::nullopt;
    track.artist = nonBlank(fields[1]);
    track.album = nonBlank(fields[2]);
    track.duration = seconds(trimmed(fields[3]));
    return track;
}

}  // namespace veltrane::media
