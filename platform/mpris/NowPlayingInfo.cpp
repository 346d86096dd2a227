#include "platform/mpris/NowPlayingInfo.h"

#include <cmath>

namespace veltrane::mpris {

const BusValue* find(const BusDict& dict, std::string_view key) {
    for (const auto& [name, value] : dict)
        if (name == key) return &value;
    return nullptr;
}

namespace {

constexpr std::string_view kPlayerPrefix = "org.mpris.MediaPlayer2.";
constexpr double kMicroseconds = 1e6;

const BusDict* metadata(const BusDict& properties) {
    const BusValue* value = find(properties, "Metadata");
    return value ? value->dict() : nullptr;
}

// A number of microseconds as seconds; none for anything else.
std::optional<double> seconds(const BusValue* value) {
    if (!value) return std::nullopt;
    if (const auto* i = std::get_if<std::int64_t>(&value->value)) return static_cast<double>(*i) / kMicroseconds;
    if (const auto* d = std::get_if<double>(&value->value)) return *d / kMicroseconds;
    return std::nullopt;
}

// Scalars carried as they came; containers are left out.
std::optional<InfoValue> scalar(const BusValue& value) {
    if (const auto* b = std::get_if<bool>(&value.value)) return InfoValue{*b};
    if (const auto* i = std::get_if<std::int64_t>(&value.value)) return InfoValue{*i};
    if (const auto* d = std::get_if<double>(&value.value)) return InfoValue{*d};
    if (const auto* s = value.text()) return InfoValue{*s};
    return std::nullopt;
}

// xesam:artist is a list of names; a player sending one string is read too.
std::optional<InfoValue> artist(const BusValue& value) {
    if (const auto* names = value.array()) {
        std::string joined;
        bool any = false;
        for (const auto& name : *names) {
            const auto* text = name.text();
            if (!text) continue;
            if (any) joined += ", ";
            joined += *text;
            any = true;
        }
        if (!any) return std::nullopt;
        return InfoValue{joined};
    }
    return scalar(value);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

}  // namespace

PlaybackStatus PlayerProperties::status(const BusDict& properties) {
    const BusValue* value = find(properties, "PlaybackStatus");
    const std::string* text = value ? value->text() : nullptr;
    if (text && *text == "Playing") return PlaybackStatus::playing;
    if (text && *text == "Paused") return PlaybackStatus::paused;
    return PlaybackStatus::stopped;
}

bool PlayerProperties::playsNothing(const BusDict& properties) {
    if (status(properties) == PlaybackStatus::stopped) return true;
    const BusDict* meta = metadata(properties);
    if (!meta) return true;
    for (const auto& [key, value] : *meta)
        if (key != "mpris:trackid") return false;
    return true;
}

std::optional<std::string> PlayerProperties::artworkPath(const BusDict& properties) {
    const BusDict* meta = metadata(properties);
    const BusValue* value = meta ? find(*meta, "mpris:artUrl") : nullptr;
    const std::string* url = value ? value->text() : nullptr;
    if (!url) return std::nullopt;
    std::string_view rest = *url;
    constexpr std::string_view kScheme = "file://";
    if (rest.substr(0, kScheme.size()) != kScheme) return std::nullopt;
    rest.remove_prefix(kScheme.size());
    if (rest.substr(0, 9) == "localhost") rest.remove_prefix(9);
    if (rest.empty() || rest.front() != '/') return std::nullopt;
    rest = rest.substr(0, rest.find_first_of("?#"));
    std::string path = percentDecoded(rest);
    if (path.find('\0') != std::string::npos) return std::nullopt;
    return path;
}

InfoDictionary PlayerProperties::info(const BusDict& properties, std::chrono::system_clock::time_point positionReadAt,
                                      std::shared_ptr<const std::string> artwork) {
    InfoDictionary result;
    if (const BusDict* meta = metadata(properties)) {
        const std::pair<std::string_view, std::string_view> texts[] = {{"xesam:title", info::kTitle},
                                                                       {"xesam:album", info::kAlbum}};
        for (const auto& [from, to] : texts)
            if (const BusValue* value = find(*meta, from))
                if (auto carried = scalar(*value)) result.emplace(to, std::move(*carried));
        if (const BusValue* value = find(*meta, "xesam:artist"))
            if (auto joined = artist(*value)) result.emplace(info::kArtist, std::move(*joined));
        if (auto length = seconds(find(*meta, "mpris:length")); length && std::isfinite(*length))
            result.emplace(info::kDuration, *length);
    }
    if (auto position = seconds(find(properties, "Position")); position && std::isfinite(*position)) {
        result.emplace(info::kElapsedTime, *position);
        const std::chrono::duration<double> since1970 = positionReadAt.time_since_epoch();
        result.emplace(info::kTimestamp, InfoDate{since1970.count()});
    }
    // A paused player keeps its rate; the dictionary's rate says how fast the
    // position moves now.
    if (status(properties) != PlaybackStatus::playing) {
        result.emplace(info::kPlaybackRate, 0.0);
    } else if (const BusValue* rate = find(properties, "Rate")) {
        if (const auto* d = std::get_if<double>(&rate->value); d && std::isfinite(*d))
            result.emplace(info::kPlaybackRate, *d);
        else if (const auto* i = std::get_if<std::int64_t>(&rate->value))
            result.emplace(info::kPlaybackRate, static_cast<double>(*i));
    }
    if (artwork) result.emplace(info::kArtworkData, InfoData{std::move(artwork)});
    return result;
}

std::string percentDecoded(std::string_view text) {
    std::string result;
    result.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            const int high = hexDigit(text[i + 1]), low = hexDigit(text[i + 2]);
            if (high >= 0 && low >= 0) {
                result += static_cast<char>(high * 16 + low);
                i += 2;
                continue;
            }
        }
        result += text[i];
    }
    return result;
}

bool isPlayerBusName(std::string_view name) {
    if (name.substr(0, kPlayerPrefix.size()) != kPlayerPrefix || name.size() == kPlayerPrefix.size()) return false;
    const std::string_view player = name.substr(kPlayerPrefix.size());
    return player != "playerctld" && player.substr(0, 11) != "playerctld.";
}

std::string playerBundleId(std::string_view busName, const std::optional<std::string>& desktopEntry) {
    if (desktopEntry && !desktopEntry->empty()) return *desktopEntry;
    std::string_view player =
        busName.substr(0, kPlayerPrefix.size()) == kPlayerPrefix ? busName.substr(kPlayerPrefix.size()) : busName;
    if (const auto dot = player.find(".instance"); dot != std::string_view::npos) {
        const std::string_view digits = player.substr(dot + 9);
        bool allDigits = !digits.empty();
        for (char c : digits) allDigits = allDigits && c >= '0' && c <= '9';
        if (allDigits) player = player.substr(0, dot);
    }
    return std::string(player);
}

}  // namespace veltrane::mpris
