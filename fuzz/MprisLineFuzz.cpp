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

#include "helpers/mirabeck/Mirabeck.h"
#include "platform/mpris/FakeNowPlaying.h"

using namespace veltrane;
using mpris::BusArray;
using mpris::BusDict;
using mpris::BusValue;

namespace {

constexpr const char* kKeys[] = {"PlaybackStatus", "Metadata",    "Position",     "Rate",         "xesam:title",
                                 "xesam:artist",   "xesam:album", "mpris:length", "mpris:artUrl", "mpris:trackid"};
constexpr const char* kTexts[] = {"Playing", "Paused", "Stopped", " ", "\n", "/noplaylist"};

class Reader {
public:
    Reader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
    std::uint8_t byte() { return at_ < size_ ? data_[at_++] : 0; }
    template <class T>
    T raw() {
        T value{};
        unsigned char bytes[sizeof(T)] = {};
        for (auto& b : bytes) b = byte();
        std::memcpy(&value, bytes, sizeof(T));
        return value;
    }
    std::string text() {
        const std::uint8_t pick = byte();
        if (pick < std::size(kTexts)) return kTexts[pick];
        std::string s;
        for (std::uint8_t n = byte() % 24; n > 0 && at_ < size_; --n) s += static_cast<char>(byte());
        return s;
    }
    std::string key() {
        const std::uint8_t pick = byte();
        return pick < std::size(kKeys) * 2 ? kKeys[pick % std::size(kKeys)] : text();
    }
    BusValue value(int depth) {
        switch (byte() % 8) {
            case 1: return BusValue{(byte() & 1) != 0};
            case 2: return BusValue{raw<std::int64_t>()};
            case 3: return BusValue{raw<double>()};
            case 4: return BusValue{text()};
            case 5: {
                BusArray array;
                for (std::uint8_t n = byte() % 4; n > 0 && depth < 4; --n) array.push_back(value(depth + 1));
                return BusValue{std::move(array)};
            }
            case 6:
                if (depth < 4) return BusValue::of(dict(depth + 1));
                return {};
            default: return {};
        }
    }
    BusDict dict(int depth) {
        BusDict entries;
        for (std::uint8_t n = byte() % 8; n > 0 && at_ < size_; --n) {
            std::string k = key();
            entries.emplace_back(std::move(k), value(depth));
        }
        return entries;
    }

private:
    const std::uint8_t* data_;
    std::size_t size_;
    std::size_t at_ = 0;
};

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
    Reader reader(data, size);
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
