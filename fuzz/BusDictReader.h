#pragma once
// Player properties of any shape spelt by fuzzer bytes: the keys players
// send and hostile value types, nested a few levels.

#include <cstdint>
#include <cstring>
#include <iterator>
#include <string>

#include "platform/mpris/BusValue.h"

namespace veltrane::fuzzing {

inline constexpr const char* kKeys[] = {"PlaybackStatus", "Metadata",     "Position",    "Rate",
                                        "xesam:title",    "xesam:artist", "xesam:album", "mpris:length",
                                        "mpris:artUrl",   "mpris:trackid"};
inline constexpr const char* kTexts[] = {"Playing", "Paused", "Stopped", " ", "\n", "/noplaylist"};

class BusDictReader {
public:
    BusDictReader(const std::uint8_t* data, std::size_t size) : data_(data), size_(size) {}
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
    mpris::BusValue value(int depth) {
        switch (byte() % 8) {
            case 1: return mpris::BusValue{(byte() & 1) != 0};
            case 2: return mpris::BusValue{raw<std::int64_t>()};
            case 3: return mpris::BusValue{raw<double>()};
            case 4: return mpris::BusValue{text()};
            case 5: {
                mpris::BusArray array;
                for (std::uint8_t n = byte() % 4; n > 0 && depth < 4; --n) array.push_back(value(depth + 1));
                return mpris::BusValue{std::move(array)};
            }
            case 6:
                if (depth < 4) return mpris::BusValue::of(dict(depth + 1));
                return {};
            default: return {};
        }
    }
    mpris::BusDict dict(int depth) {
        mpris::BusDict entries;
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

}  // namespace veltrane::fuzzing
