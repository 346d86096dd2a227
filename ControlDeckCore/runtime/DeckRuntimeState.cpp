// The state object and the broadcasts that carry it to tablets.

#include <algorithm>
#include <cmath>
#include <stdexcept>

#include "ControlDeckCore/runtime/DeckRuntime.h"
#include "platform/crypto/Crypto.h"
#include "platform/system/HostStatistics.h"
#include "platform/text/UnicodeText.h"

namespace veltrane::deck {

namespace {

constexpr std::size_t kMaxLyricLines = 400;
constexpr std::size_t kMaxPlainLyricCharacters = 4000;
constexpr std::size_t kMaxArtworkBytes = 219'999;

Json optionalText(const std::optional<std::string>& text) { return text ? Json(*text) : Json(nullptr); }

// The first `count` code points of UTF-8 text.
std::string prefixCodePoints(const std::string& text, std::size_t count) {
    std::size_t characters = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            if (characters == count) return text.substr(0, i);
            ++characters;
        }
    }
    return text;
}

// The first `count` user-perceived characters, so a cut never leaves a
// letter without its accent or splits an emoji sequence.
std::string prefixCharacters(const std::string& text, std::size_t count) {
    if (text.size() <= count) return text;  // no more characters than bytes
    try {
        return text.substr(0, text::characterPrefixLength(text, count, text.size()));
    } catch (const std::runtime_error&) {
        return prefixCodePoints(text, count);
    }
}

std::int64_t millisecondsTruncated(Date date) { return millisecondsSince1970(date); }

// The state is rebuilt for every request and push, so its objects are filled
// member by member: the brace form builds each member as a two-element array
// first and then takes it apart into the object.
template <class... Members>
Json objectOf(Members&&... members) {
    Json object = Json::object();
    auto& map = object.get_ref<Json::object_t&>();
    (map.emplace(std::forward<Members>(members).first, std::forward<Members>(members).second), ...);
    return object;
}

template <class T>
std::pair<const char*, T&&> member(const char* key, T&& value) {
    return {key, std::forward<T>(value)};
}

Json mediaObject(const MediaControlling& media, bool available) {
    const Date now = std::chrono::system_clock::now();
    const bool known = media.elapsedKnown();
    const bool playing = media.isPlaying();
    const double duration = media.duration();
    double elapsed = media.elapsed();
    std::int64_t elapsedAt = millisecondsTruncated(media.elapsedCapturedAt());
    if (known) {
        if (playing) {
            const double rate = media.playbackRate() > 0 ? media.playbackRate() : 1;
            elapsed += rate * std::chrono::duration<double>(now - media.elapsedCapturedAt()).count();
        }
        if (elapsed < 0) elapsed = 0;
        if (duration > 0 && elapsed > duration) elapsed = duration;
        elapsedAt = millisecondsTruncated(now);
    }
    Json object = objectOf(member("available", available), member("title", optionalText(media.title())),
                           member("artist", optionalText(media.artist())), member("album", optionalText(media.album())),
                           member("source", optionalText(media.source())), member("playing", playing),
                           member("duration", duration), member("elapsed", elapsed), member("elapsedAt", elapsedAt),
                           member("elapsedKnown", known), member("playbackRate", media.playbackRate()),
                           member("likeSupported", media.likeSupported()));
    if (std::optional<bool> liked = media.liked()) object["liked"] = *liked;
    if (std::optional<PNGData> artwork = media.artworkPNG()) {
        if (!artwork->empty() && artwork->size() <= kMaxArtworkBytes) {
            const bool png = artwork->size() >= 4 && artwork->compare(0, 4, "\x89PNG") == 0;
            object["artwork"] =
                std::string("data:") + (png ? "image/png" : "image/jpeg") + ";base64," + crypto::base64(*artwork);
        }
    }
    if (std::optional<lyrics::LyricsSnapshot> lyrics = media.lyrics()) {
        Json block{{"provider", lyrics->provider}, {"synced", lyrics->synced}};
        if (lyrics->synced) {
            Json lines = Json::array();
            const std::size_t count = std::min(lyrics->lines.size(), kMaxLyricLines);
            for (std::size_t i = 0; i < count; ++i)
                lines.push_back(Json{{"t", lyrics->lines[i].time}, {"text", lyrics->lines[i].text}});
            block["lines"] = std::move(lines);
        }
        if (lyrics->plain && !lyrics->plain->empty())
            block["text"] = prefixCharacters(*lyrics->plain, kMaxPlainLyricCharacters);
        if (std::optional<std::string> line = media.karaokeLine(); line && !line->empty()) block["current"] = *line;
        object["lyrics"] = std::move(block);
    }
    return object;
}

}  // namespace

Json DeckRuntime::audioOutputs() {
    Json list = Json::array();
    for (const AudioOutput& output : adapters_.volume->outputs()) {
        list.push_back(objectOf(member("id", output.id), member("name", output.name), member("volume", output.volume),
                                member("muted", output.muted), member("current", output.current)));
    }
    return list;
}

Json DeckRuntime::displayOutputs() {
    Json list = Json::array();
    for (const DisplayOutput& display : adapters_.brightness->displays()) {
        list.push_back(objectOf(member("id", display.id), member("name", display.name),
                                member("brightness", display.brightness), member("builtin", display.builtin)));
    }
    return list;
}

Json DeckRuntime::buildState() {
    return onQueue([&] {
        Json system;
        if (settings_.systemStatsEnabled) {
            const SystemSample sample = adapters_.system->sample();
            system = objectOf(member("cpu", sample.cpu), member("memory", sample.memory),
                              member("battery", sample.battery ? Json(*sample.battery) : Json(nullptr)),
                              member("charging", sample.charging), member("uptime", sample.uptime));
        } else {
            system = objectOf(member("cpu", 0), member("memory", 0), member("battery", nullptr),
                              member("charging", false), member("uptime", sys::HostStatistics().uptime().value_or(0)));
        }

        const NetworkSample net = adapters_.network->sample(port(), true);
        Json network = objectOf(member("interface", net.interface), member("ip", optionalText(net.ip)),
                                member("wifi", net.wifi), member("ethernet", net.ethernet),
                                member("serverListening", net.serverListening), member("port", net.port));

        Json clipboard = objectOf(member("enabled", settings_.clipboardEnabled),
                                  member("historyEnabled", settings_.clipboardHistoryEnabled));
        if (settings_.clipboardEnabled) {
            clipboard["text"] = adapters_.clipboard->readString().value_or("");
            if (settings_.clipboardHistoryEnabled) {
                const Date now = std::chrono::system_clock::now();
                const double ttl = static_cast<double>(settings_.clipboardHistoryTTLSeconds);
                std::erase_if(clipboardHistory_, [&](const ClipboardHistoryItem& item) {
                    return std::chrono::duration<double>(now - item.createdAt).count() > ttl;
                });
                Json history = Json::array();
                for (const ClipboardHistoryItem& item : clipboardHistory_) {
                    history.push_back(objectOf(member("id", item.id), member("text", item.text),
                                               member("createdAt", iso8601::format(item.createdAt))));
                }
                clipboard["history"] = std::move(history);
            }
        }

        Json media = mediaObject(*adapters_.media, settings_.mediaEnabled);

        Json features = objectOf(
            member("clipboard", settings_.clipboardEnabled), member("clipboardEnabled", settings_.clipboardEnabled),
            member("media", settings_.mediaEnabled), member("mediaEnabled", settings_.mediaEnabled),
            member("screenshots", settings_.screenshotsEnabled),
            member("screenshotsEnabled", settings_.screenshotsEnabled),
            member("systemStats", settings_.systemStatsEnabled),
            member("systemStatsEnabled", settings_.systemStatsEnabled), member("files", settings_.fileTransferEnabled),
            member("fileTransferEnabled", settings_.fileTransferEnabled));

        return objectOf(
            member("hostName", settings_.deviceName), member("serverId", pairing_.serverId()), member("online", true),
            member("volume", adapters_.volume->volume()), member("muted", adapters_.volume->isMuted()),
            member("outputs", audioOutputs()), member("displays", displayOutputs()), member("media", std::move(media)),
            member("system", std::move(system)), member("network", std::move(network)),
            member("clipboard", std::move(clipboard)), member("timers", timers_.publicList()),
            member("features", std::move(features)), member("files", filesPublicState()),
            member("lastScreenshotId", optionalText(lastScreenshotId_)),
            member("permissions",
                   objectOf(member("accessibility", true), member("screenRecording", settings_.screenshotsEnabled))),
            member("connectedDevices", pairing_.publicDevices(connectedDeviceIds())));
    });
}

void DeckRuntime::broadcastState() {
    onQueue([&] {
        Json state = buildState();
        if (StateCallback callback = onStateChange()) callback(uiStateOnQueue());
        broadcast(Json{{"type", "state"}, {"payload", std::move(state)}});
    });
}

void DeckRuntime::broadcast(const Json& message, bool spread) {
    onQueue([&] {
        std::vector<std::shared_ptr<WebSocket>> sockets;
        sockets.reserve(clients_.size());
        for (const auto& [key, client] : clients_)
            if (client.sessionAuthed) sockets.push_back(client.ws);
        if (sockets.empty()) return;
        WebSocket::broadcast(sockets, JSON::text(message),
                             spread ? WebSocket::kBroadcastSlice : WebSocket::kFrequentEventSlice);
    });
}

std::set<std::string> DeckRuntime::connectedDeviceIds() const {
    return readOnQueue([&] {
        std::set<std::string> ids;
        for (const auto& [key, client] : clients_)
            if (client.sessionAuthed) ids.insert(client.deviceId);
        return ids;
    });
}

bool DeckRuntime::hasAuthenticatedClient() const {
    return std::any_of(clients_.begin(), clients_.end(), [](const auto& entry) { return entry.second.sessionAuthed; });
}

}  // namespace veltrane::deck
