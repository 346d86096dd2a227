// The music app's next-track answer: nothing, or a trimmed title that is not
// empty, trimmed artist and album that are absent rather than blank, and a
// finite length of at least 0 (0 unless the fourth field is a number).
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ControlDeckCore/media/UpcomingTrack.h"
#include "platform/text/Whitespace.h"

namespace {

bool trimmedText(const std::string& text) {
    return !text.empty() && veltrane::text::trimmingWhitespaceAndNewlines(text) == text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto track = veltrane::media::parseUpcomingTrack(input);
    std::size_t tabs = 0;
    for (const char c : input) tabs += c == '\t';
    if (!track) return 0;
    if (tabs < 3 || !trimmedText(track->title)) std::abort();
    if (track->artist && !trimmedText(*track->artist)) std::abort();
    if (track->album && !trimmedText(*track->album)) std::abort();
    if (!std::isfinite(track->duration) || track->duration < 0) std::abort();
    if (input.find(track->title) == std::string_view::npos) std::abort();
    return 0;
}
