// Player properties of any shape (the bytes spell a D-Bus dictionary: known
// keys, hostile value types) read into the dictionary and written as lines:
// every line is one JSON object with the always-present keys of the right
// types, a playhead within the track, and texts that are trimmed and not
// empty.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>

#include "fuzz/BusDictReader.h"
#include "helpers/mirabeck/Mirabeck.h"
#include "platform/mpris/FakeNowPlaying.h"

using namespace veltrane;
using mpris::BusDict;

namespace {

void check(const std::string& text) {
    if (text.empty() || text.back() != '\n' || text.find('\n') != text.size() - 1) std::abort();
    const auto line = nlohmann::json::parse(text, nullptr, false);
    if (!line.is_object()) std::abort();
    for (const char* key : {"ok", "playing", "elapsedKnown"})
        if (!line.contains(key) || !line[key].is_boolean()) std::abort();
    for (const char* key : {"pid", "elapsedAt"})
        if (!line.contains(key) || !line[key].is_number_integer()) std::abort();
    for (const char* key : {"duration", "elapsed", "rawElapsed", "playbackRate"})
        if (!line.contains(key) || !line[key].is_number()) std::abort();
    const double duration = line["duration"], elapsed = line["elapsed"];
    if (elapsed < 0 || (duration > 0 && elapsed > duration)) std::abort();
    if (line["playing"] == false && line["playbackRate"] != 0) std::abort();  // no window override here
    for (const char* key : {"title", "album"}) {
        if (!line.contains(key)) continue;
        const std::string value = line[key];
        if (value.empty() || std::isspace(static_cast<unsigned char>(value.front())) ||
            std::isspace(static_cast<unsigned char>(value.back())))
            std::abort();
    }
    if (line.contains("artwork")) std::abort();  // no picture was offered
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzing::BusDictReader reader(data, size);
    const std::int32_t pid = reader.byte();
    mpris::FakeNowPlaying service;
    double now = 1.8e9;
    mirabeck::Mirabeck writer(service, {}, {[&now] { return now; }});
    for (int emission = 0; emission < 3; ++emission) {
        const BusDict properties = reader.dict(0);
        mpris::NowPlayingReading reading;
        if (!mpris::PlayerProperties::playsNothing(properties)) {
            reading.info = mpris::PlayerProperties::info(
                properties, std::chrono::system_clock::time_point(std::chrono::seconds(1'800'000'000)), nullptr);
            reading.playing = mpris::PlayerProperties::status(properties) == mpris::PlaybackStatus::playing;
        }
        service.set({reading, pid, mpris::RunningApplication{"mpv", "mpv"}});
        const auto line = writer.emit();
        if (!line) std::abort();
        check(*line);
        now += (reader.byte() % 40) * 0.05;
    }
    return 0;
}
