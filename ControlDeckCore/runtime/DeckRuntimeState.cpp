// The state object and the broadcasts that carry it to tablets.
//
// The state is written for every request and push, so it goes straight to
// text (JSONWriter) with no Json tree in between; every object's keys are
// written in sorted order, as JSON::text would order them.

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
// Room for the next state: as long as the last one and a little more (a
// cover alone runs to hundreds of kilobytes), so most are written without
// the text growing.
std::size_t stateCapacity(std::size_t lastBytes) { return std::max<std::size_t>(4096, lastBytes + lastBytes / 8); }

// The first `count` code points of UTF-8 text.
std::string_view prefixCodePoints(std::string_view text, std::size_t count) {
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
std::string_view prefixCharacters(std::string_view text, std::size_t count) {
    if (text.size() <= count) return text;  // no more characters than bytes
    try {
        return text.substr(0, text::characterPrefixLength(text, count, text.size()));
    } catch (const std::runtime_error&) {
        return prefixCodePoints(text, count);
    }
}

void writeLyrics(JSONWriter& w, const lyrics::LyricsSnapshot& lyrics, const std::optional<std::string>& karaokeLine) {
    w.beginObject();
    if (karaokeLine && !karaokeLine->empty()) w.member("current", *karaokeLine);
    if (lyrics.synced) {
        w.key("lines");
        w.beginArray();
        const std::size_t count = std::min(lyrics.lines.size(), kMaxLyricLines);
        for (std::size_t i = 0; i < count; ++i) {
            w.beginObject();
            w.member("t", lyrics.lines[i].time);
            w.member("text", lyrics.lines[i].text);
            w.endObject();
        }
        w.endArray();
    }
    w.member("provider", lyrics.provider);
    w.member("synced", lyrics.synced);
    if (lyrics.plain && !lyrics.plain->empty())
        w.member("text", prefixCharacters(*lyrics.plain, kMaxPlainLyricCharacters));
    w.endObject();
}

void writeMedia(JSONWriter& w, const MediaControlling& media, bool available) {
    const Date now = std::chrono::system_clock::now();
    const bool known = media.elapsedKnown();
    const bool playing = media.isPlaying();
    const double duration = media.duration();
    const double playbackRate = media.playbackRate();
    const Date capturedAt = media.elapsedCapturedAt();
    double elapsed = media.elapsed();
    std::int64_t elapsedAt = millisecondsSince1970(capturedAt);
    if (known) {
        if (playing) {
            const double rate = playbackRate > 0 ? playbackRate : 1;
            elapsed += rate * std::chrono::duration<double>(now - capturedAt).count();
        }
        if (elapsed < 0) elapsed = 0;
        if (duration > 0 && elapsed > duration) elapsed = duration;
        elapsedAt = millisecondsSince1970(now);
    }

    w.beginObject();
    w.member("album", media.album());
    w.member("artist", media.artist());
    if (std::shared_ptr<const PNGData> artwork = media.sharedArtwork();
        artwork && !artwork->empty() && artwork->size() <= kMaxArtworkBytes) {
        const bool png = artwork->size() >= 4 && artwork->compare(0, 4, "\x89PNG") == 0;
        std::string url = png ? "data:image/png;base64," : "data:image/jpeg;base64,";
        url += crypto::base64(*artwork);
        w.member("artwork", url);
    }
    w.member("available", available);
    w.member("duration", duration);
    w.member("elapsed", elapsed);
    w.member("elapsedAt", elapsedAt);
    w.member("elapsedKnown", known);
    w.member("likeSupported", media.likeSupported());
    if (std::optional<bool> liked = media.liked()) w.member("liked", *liked);
    // Read before the lyrics: their reader may hold the adapter's lock.
    const std::optional<std::string> karaokeLine = media.karaokeLine();
    media.readLyrics([&](const std::optional<lyrics::LyricsSnapshot>& lyrics) {
        if (!lyrics) return;
        w.key("lyrics");
        writeLyrics(w, *lyrics, karaokeLine);
    });
    w.member("playbackRate", playbackRate);
    w.member("playing", playing);
    w.member("source", media.source());
    w.member("title", media.title());
    w.endObject();
}

void writeAudioOutputs(JSONWriter& w, const std::vector<AudioOutput>& outputs) {
    w.beginArray();
    for (const AudioOutput& output : outputs) {
        w.beginObject();
        w.member("current", output.current);
        w.member("id", output.id);
        w.member("muted", output.muted);
        w.member("name", output.name);
        w.member("volume", output.volume);
        w.endObject();
    }
    w.endArray();
}

void writeDisplayOutputs(JSONWriter& w, const std::vector<DisplayOutput>& displays) {
    w.beginArray();
    for (const DisplayOutput& display : displays) {
        w.beginObject();
        w.member("brightness", display.brightness);
        w.member("builtin", display.builtin);
        w.member("id", display.id);
        w.member("name", display.name);
        w.endObject();
    }
    w.endArray();
}

void writeSystem(JSONWriter& w, const SystemSample& sample) {
    w.beginObject();
    w.key("battery");
    if (sample.battery)
        w.value(*sample.battery);
    else
        w.null();
    w.member("charging", sample.charging);
    w.member("cpu", sample.cpu);
    w.member("memory", sample.memory);
    w.member("uptime", sample.uptime);
    w.endObject();
}

void writeNetwork(JSONWriter& w, const NetworkSample& net) {
    w.beginObject();
    w.member("ethernet", net.ethernet);
    w.member("interface", net.interface);
    w.member("ip", net.ip);
    w.member("port", net.port);
    w.member("serverListening", net.serverListening);
    w.member("wifi", net.wifi);
    w.endObject();
}

void writeFeatures(JSONWriter& w, const DeckSettings& settings) {
    w.beginObject();
    w.member("clipboard", settings.clipboardEnabled);
    w.member("clipboardEnabled", settings.clipboardEnabled);
    w.member("fileTransferEnabled", settings.fileTransferEnabled);
    w.member("files", settings.fileTransferEnabled);
    w.member("media", settings.mediaEnabled);
    w.member("mediaEnabled", settings.mediaEnabled);
    w.member("screenshots", settings.screenshotsEnabled);
    w.member("screenshotsEnabled", settings.screenshotsEnabled);
    w.member("systemStats", settings.systemStatsEnabled);
    w.member("systemStatsEnabled", settings.systemStatsEnabled);
    w.endObject();
}

}  // namespace

Json DeckRuntime::audioOutputs() {
    JSONWriter writer;
    writeAudioOutputs(writer, adapters_.volume->outputs());
    return std::move(writer).json();
}

Json DeckRuntime::displayOutputs() {
    JSONWriter writer;
    writeDisplayOutputs(writer, adapters_.brightness->displays());
    return std::move(writer).json();
}

void DeckRuntime::writeClipboard(JSONWriter& w) {
    w.beginObject();
    w.member("enabled", settings_.clipboardEnabled);
    if (settings_.clipboardEnabled && settings_.clipboardHistoryEnabled) {
        const Date now = std::chrono::system_clock::now();
        const double ttl = static_cast<double>(settings_.clipboardHistoryTTLSeconds);
        std::erase_if(clipboardHistory_, [&](const ClipboardHistoryItem& item) {
            return std::chrono::duration<double>(now - item.createdAt).count() > ttl;
        });
        w.key("history");
        w.beginArray();
        for (const ClipboardHistoryItem& item : clipboardHistory_) {
            w.beginObject();
            w.member("createdAt", iso8601::format(item.createdAt));
            w.member("id", item.id);
            w.member("text", item.text);
            w.endObject();
        }
        w.endArray();
    }
    w.member("historyEnabled", settings_.clipboardHistoryEnabled);
    if (settings_.clipboardEnabled) w.member("text", adapters_.clipboard->readString().value_or(""));
    w.endObject();
}

void DeckRuntime::writeState(JSONWriter& w) {
    // The devices with an authenticated socket, sorted for the lookups below.
    std::vector<std::string_view> connected;
    connected.reserve(clients_.size());
    for (const auto& [key, client] : clients_)
        if (client.sessionAuthed) connected.push_back(client.deviceId);
    std::sort(connected.begin(), connected.end());

    w.beginObject();
    w.key("clipboard");
    writeClipboard(w);
    w.key("connectedDevices");
    pairing_.writePublicDevices(w, [&connected](const std::string& id) {
        return std::binary_search(connected.begin(), connected.end(), std::string_view(id));
    });
    w.key("displays");
    writeDisplayOutputs(w, adapters_.brightness->displays());
    w.key("features");
    writeFeatures(w, settings_);
    w.key("files");
    writeFiles(w);
    w.member("hostName", settings_.deviceName);
    w.member("lastScreenshotId", lastScreenshotId_);
    w.key("media");
    writeMedia(w, *adapters_.media, settings_.mediaEnabled);
    w.member("muted", adapters_.volume->isMuted());
    w.key("network");
    writeNetwork(w, adapters_.network->sample(port(), true));
    w.member("online", true);
    w.key("outputs");
    writeAudioOutputs(w, adapters_.volume->outputs());
    w.key("permissions");
    w.beginObject();
    w.member("accessibility", true);
    w.member("screenRecording", settings_.screenshotsEnabled);
    w.endObject();
    w.member("serverId", pairing_.serverId());
    w.key("system");
    if (settings_.systemStatsEnabled) {
        writeSystem(w, adapters_.system->sample());
    } else {
        SystemSample off;
        off.uptime = sys::HostStatistics().uptime().value_or(0);
        writeSystem(w, off);
    }
    w.member("timers", timers_.publicList());
    w.member("volume", adapters_.volume->volume());
    w.endObject();
}

std::string DeckRuntime::stateText() {
    return onQueue([&] {
        JSONWriter writer(stateCapacity(stateBytes_));
        writeState(writer);
        std::string text = std::move(writer).text();
        stateBytes_ = text.size();
        return text;
    });
}

Json DeckRuntime::buildState() { return JSON::parse(stateText()).value_or(Json::object()); }

std::string DeckRuntime::stateMessageText() {
    JSONWriter writer(stateCapacity(stateBytes_));
    writer.beginObject();
    writer.key("payload");
    writeState(writer);
    writer.member("type", "state");
    writer.endObject();
    std::string text = std::move(writer).text();
    stateBytes_ = text.size();
    return text;
}

HTTPResponse DeckRuntime::stateRoute() {
    HTTPResponse response =
        HTTPResponse::okWritten([this](JSONWriter& writer) { writeState(writer); }, stateCapacity(stateBytes_));
    stateBytes_ = response.body.size();
    return response;
}

void DeckRuntime::broadcastState() {
    onQueue([&] {
        const std::string message = stateMessageText();
        if (StateCallback callback = onStateChange()) callback(uiStateOnQueue());
        broadcastText(message);
    });
}

void DeckRuntime::broadcast(const Json& message, bool spread) {
    onQueue([&] {
        if (hasAuthenticatedClient()) broadcastText(JSON::text(message), spread);
    });
}

void DeckRuntime::broadcastText(std::string_view message, bool spread) {
    onQueue([&] {
        std::vector<std::shared_ptr<WebSocket>> sockets;
        sockets.reserve(clients_.size());
        for (const auto& [key, client] : clients_)
            if (client.sessionAuthed) sockets.push_back(client.ws);
        if (sockets.empty()) return;
        WebSocket::broadcast(sockets, message, spread ? WebSocket::kBroadcastSlice : WebSocket::kFrequentEventSlice);
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
