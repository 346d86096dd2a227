// A player's reply gives a reading exactly when it has six tab-separated
// fields and a title that is not blank; the reading's title is that field
// trimmed, its numbers are finite, its rate follows its play state, and
// only a seventh field can carry a like state. Every number read back from
// its shortest text is the same number.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ControlDeckCore/media/ScriptablePlayers.h"
#include "platform/text/Whitespace.h"

using veltrane::media::ScriptablePlayers;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto seconds = ScriptablePlayers::parseScriptable(input, "Music", "com.apple.Music", false, 1.0);
    const auto millis = ScriptablePlayers::parseScriptable(input, "Spotify", "com.spotify.client", true, 1.0);
    if (seconds.has_value() != millis.has_value()) std::abort();

    const std::size_t fields = static_cast<std::size_t>(std::count(input.begin(), input.end(), '\t')) + 1;
    const std::string_view first = input.substr(0, input.find('\t'));
    const bool expected =
        !input.empty() && fields >= 6 && !veltrane::text::trimmingWhitespaceAndNewlines(first).empty();
    if (seconds.has_value() != expected) std::abort();
    if (!seconds) return 0;

    if (*seconds->title != veltrane::text::trimmingWhitespaceAndNewlines(first)) std::abort();
    if (!std::isfinite(seconds->duration) || !std::isfinite(seconds->elapsed)) std::abort();
    if (millis->duration != seconds->duration / 1000 || millis->elapsed != seconds->elapsed) std::abort();
    if (seconds->playbackRate != (seconds->isPlaying ? 1.0 : 0.0) || !seconds->elapsedKnown) std::abort();
    if (seconds->liked && fields < 7) std::abort();
    if (millis->isPlaying != seconds->isPlaying || millis->liked != seconds->liked) std::abort();

    for (const double value : {seconds->duration, seconds->elapsed})
        if (ScriptablePlayers::decimalNumber(ScriptablePlayers::decimalText(value)) != value) std::abort();
    return 0;
}
