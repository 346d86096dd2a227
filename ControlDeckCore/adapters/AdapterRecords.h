#pragma once
// The values the adapters hand to the runtime. Field-wise equality lets the
// volume adapter tell a real change of its output list from a repeat.

#include <cstdint>
#include <optional>
#include <string>

namespace veltrane::deck {

// Encoded image bytes (PNG) as the adapters return them.
using PNGData = std::string;

struct AudioOutput {
    std::string id;    // the audio system's unique id, else the device number
    std::string name;  // "Output" when the device has none
    double volume = 0;  // 0 to 1
    bool muted = false;
    bool current = false;  // the default output
    bool operator==(const AudioOutput&) const = default;
};

struct DisplayOutput {
    std::string id;  // display number in decimal
    std::string name;
    double brightness = 0;  // 0 to 1
    bool builtin = false;
    bool operator==(const DisplayOutput&) const = default;
};

struct AppRecord {
    std::string bundleId;  // the application's identifier, else its path
    std::string name;
    std::string path;
    bool operator==(const AppRecord&) const = default;
};

struct SystemSample {
    double cpu = 0;     // busy fraction of all processors
    double memory = 0;  // used fraction of physical memory
    std::optional<double> battery;  // charge fraction; none without a battery
    bool charging = false;
    double uptime = 0;  // seconds since boot
    bool operator==(const SystemSample&) const = default;
};

struct NetworkSample {
    std::string interface;  // "Wi-Fi", "Ethernet", "Online" or "Offline"
    std::optional<std::string> ip;  // first usable IPv4 address
    bool wifi = false;
    bool ethernet = false;
    bool serverListening = false;  // as the caller passed it
    std::uint16_t port = 0;        // as the caller passed it
    bool operator==(const NetworkSample&) const = default;
};

// Volume and brightness levels are fractions. Anything not at least 0 (NaN
// included) becomes 0, so a level never carries NaN into the state.
inline double clampedLevel(double level) {
    if (!(level >= 0)) return 0;
    return level > 1 ? 1 : level;
}

}  // namespace veltrane::deck
