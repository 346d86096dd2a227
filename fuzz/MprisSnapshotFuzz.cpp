// Player properties of any shape read into the now-playing dictionary and
// then into a reading, as the adapter's fetch does: a reading only with a
// title or an artist, its texts trimmed and not empty, its numbers finite,
// a rate while playing, and a known position exactly when one was given.
#include <cctype>
#include <cmath>
#include <cstdint>
#include <cstdlib>

#include "ControlDeckCore/media/MediaRemoteClient.h"
#include "fuzz/BusDictReader.h"

using namespace veltrane;

namespace {

constexpr double kNow = 700'000'000;

void checkText(const std::optional<std::string>& text) {
    if (!text) return;
    if (text->empty() || std::isspace(static_cast<unsigned char>(text->front())) ||
        std::isspace(static_cast<unsigned char>(text->back())))
        std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::BusDictReader reader(data, size);
    const bool playing = reader.byte() & 1;
    const bool withApp = reader.byte() & 1;
    const mpris::BusDict properties = reader.dict(0);
    const auto info = mpris::PlayerProperties::info(
        properties, std::chrono::system_clock::time_point(std::chrono::seconds(1'800'000'000)), nullptr);
    std::optional<mpris::RunningApplication> app;
    if (withApp) app = mpris::RunningApplication{"mpv", "mpv", 7};
    const auto s = media::snapshotFromNowPlayingInfo(info, playing, app, kNow);
    const bool titled = info.count(mpris::info::kTitle) || info.count(mpris::info::kArtist);
    if (!s) return 0;
    if (!titled || (!s->title && !s->artist)) std::abort();
    checkText(s->title);
    checkText(s->artist);
    checkText(s->album);
    for (double n : {s->duration, s->elapsed, s->playbackRate, s->capturedAt})
        if (!std::isfinite(n)) std::abort();
    if (playing && s->playbackRate == 0) std::abort();
    if (s->isPlaying != playing) std::abort();
    if (s->elapsedKnown != (info.count(mpris::info::kElapsedTime) > 0)) std::abort();
    if (withApp != s->source.has_value()) std::abort();
    return 0;
}
