#include "platform/dbus/MediaPlayer.h"

#include <sdbus-c++/sdbus-c++.h>

#include <map>
#include <optional>
#include <vector>

namespace veltrane::dbus {
namespace {

using Clock = std::chrono::steady_clock;
using Metadata = std::map<std::string, sdbus::Variant>;

constexpr const char* kObject = "/org/mpris/MediaPlayer2";
constexpr const char* kPlayerInterface = "org.mpris.MediaPlayer2.Player";

class Reader {
public:
    Reader(const std::string& busName, Clock::time_point deadline)
        : connection_(sdbus::createSessionBusConnection()),
          proxy_(sdbus::createProxy(*connection_, busName, kObject)),
          deadline_(deadline) {}

    // Throws sdbus::Error on a failed call or when the time is up.
    sdbus::Variant property(const std::string& name) {
        const auto left = std::chrono::duration_cast<std::chrono::microseconds>(deadline_ - Clock::now());
        if (left.count() <= 0) throw sdbus::Error("org.freedesktop.DBus.Error.Timeout", "read took too long");
        auto call = proxy_->createMethodCall("org.freedesktop.DBus.Properties", "Get");
        call << std::string(kPlayerInterface) << name;
        auto reply = proxy_->callMethod(call, static_cast<std::uint64_t>(left.count()));
        sdbus::Variant value;
        reply >> value;
        return value;
    }

private:
    std::unique_ptr<sdbus::IConnection> connection_;
    std::unique_ptr<sdbus::IProxy> proxy_;
    Clock::time_point deadline_;
};

std::string text(const Metadata& metadata, const std::string& key) {
    const auto it = metadata.find(key);
    if (it == metadata.end() || !it->second.containsValueOfType<std::string>()) return {};
    return it->second.get<std::string>();
}

// Players write the artists as a list; a few write one string.
std::string artists(const Metadata& metadata) {
    const auto it = metadata.find("xesam:artist");
    if (it == metadata.end()) return {};
    if (it->second.containsValueOfType<std::string>()) return it->second.get<std::string>();
    if (!it->second.containsValueOfType<std::vector<std::string>>()) return {};
    std::string joined;
    for (const auto& name : it->second.get<std::vector<std::string>>()) {
        if (!joined.empty()) joined += ", ";
        joined += name;
    }
    return joined;
}

// The id is an object path under MPRIS, a plain string in some players.
std::optional<std::string> trackId(const Metadata& metadata) {
    const auto it = metadata.find("mpris:trackid");
    if (it == metadata.end()) return std::nullopt;
    if (it->second.containsValueOfType<sdbus::ObjectPath>()) return std::string(it->second.get<sdbus::ObjectPath>());
    if (it->second.containsValueOfType<std::string>()) return it->second.get<std::string>();
    return std::nullopt;
}

Metadata metadataOf(const sdbus::Variant& value) {
    if (!value.containsValueOfType<Metadata>()) return {};
    return value.get<Metadata>();
}

}  // namespace

PlayerReading MediaPlayer::currentTrack(const std::string& busName, std::chrono::milliseconds limit) {
    PlayerReading reading;
    try {
        Reader reader(busName, Clock::now() + limit);
        const auto status = reader.property("PlaybackStatus");
        if (status.containsValueOfType<std::string>() && status.get<std::string>() == "Stopped") {
            reading.outcome = PlayerReading::Outcome::stopped;
            return reading;
        }
        const auto metadata = metadataOf(reader.property("Metadata"));
        const auto first = trackId(metadata);
        const auto second = trackId(metadataOf(reader.property("Metadata")));
        if (first != second) {
            reading.outcome = PlayerReading::Outcome::trackChanged;
            return reading;
        }
        reading.track = {text(metadata, "xesam:title"), artists(metadata), text(metadata, "xesam:album"),
                         text(metadata, "xesam:asText")};
        reading.outcome = PlayerReading::Outcome::track;
    } catch (const sdbus::Error&) {
        reading = {};
    }
    return reading;
}

}  // namespace veltrane::dbus
