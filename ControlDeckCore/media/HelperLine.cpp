#include "ControlDeckCore/media/HelperLine.h"

#include <cmath>

#include "platform/crypto/Crypto.h"
#include "platform/text/UTF8.h"

namespace veltrane::media {
namespace {

using Json = nlohmann::json;
using Snapshot = MediaRemoteNowPlaying::Snapshot;

// Milliseconds since 1970 the system clock's 64-bit nanoseconds can hold
// (about 1678 to 2262).
constexpr double kMaxClockMilliseconds = 9.2e12;

const Json* member(const Json& object, const char* key) {
    auto it = object.find(key);
    return it == object.end() ? nullptr : &*it;
}

std::optional<std::string> text(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

std::optional<double> number(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (!value || !value->is_number()) return std::nullopt;
    const double n = value->get<double>();
    if (!std::isfinite(n)) return std::nullopt;
    return n;
}

std::optional<bool> flag(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (!value || !value->is_boolean()) return std::nullopt;
    return value->get<bool>();
}

bool isWhitespace(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f'; }

}  // namespace

std::vector<std::string> WatchBuffer::append(std::string_view bytes) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    for (std::size_t end = bytes.find('\n'); end != std::string_view::npos; end = bytes.find('\n', start)) {
        std::string line = std::move(pending_);
        pending_.clear();
        line.append(bytes.substr(start, end - start));
        start = end + 1;
        if (text::utf8::isValid(line)) lines.push_back(std::move(line));
    }
    // A line already too long is not kept growing.
    if (pending_.size() <= kMaxPendingBytes) pending_.append(bytes.substr(start));
    if (pending_.size() > kMaxPendingBytes) pending_.clear();
    return lines;
}

std::optional<Snapshot> snapshotFromHelperJSON(const Json& json, double now) {
    if (!json.is_object()) return std::nullopt;
    Snapshot s;
    s.title = text(json, "title");
    s.artist = text(json, "artist");
    if (!s.title && !s.artist) return std::nullopt;
    s.album = text(json, "album");
    s.source = text(json, "source");
    s.bundleId = text(json, "bundleId");
    s.isPlaying = flag(json, "playing").value_or(false);
    s.duration = number(json, "duration").value_or(0);
    s.elapsed = number(json, "elapsed").value_or(0);
    s.elapsedKnown = flag(json, "elapsedKnown").value_or(true);
    s.playbackRate = number(json, "playbackRate").value_or(0);
    if (s.playbackRate == 0 && s.isPlaying) s.playbackRate = 1.0;
    s.capturedAt = now;
    if (auto at = number(json, "elapsedAt"); at && std::fabs(*at) <= kMaxClockMilliseconds)
        s.capturedAt = *at / 1000.0 - MediaRemoteNowPlaying::kReferenceDateSince1970;
    if (auto artwork = text(json, "artwork")) s.artwork = crypto::base64Decoded(*artwork);
    s.liked = flag(json, "liked");
    s.songMid = text(json, "songMid");
    s.albumMid = text(json, "albumMid");
    return s;
}

HelperLine HelperLine::parse(std::string_view line, double now) {
    while (!line.empty() && isWhitespace(line.front())) line.remove_prefix(1);
    while (!line.empty() && isWhitespace(line.back())) line.remove_suffix(1);
    HelperLine result;
    if (line.empty() || line.front() != '{') return result;
    const Json json = Json::parse(line, nullptr, false);
    if (!json.is_object()) return result;
    const auto ok = flag(json, "ok");
    if (ok == true && flag(json, "empty") == true) {
        result.kind = Kind::empty;
        return result;
    }
    result.snapshot = snapshotFromHelperJSON(json, now);
    if (!result.snapshot) {
        const Json* pid = member(json, "pid");
        if (ok == false && pid && pid->is_number() && pid->get<double>() == 0) result.kind = Kind::empty;
        return result;
    }
    result.kind = Kind::reading;
    result.rawElapsed = number(json, "rawElapsed");
    result.scriptable = flag(json, "scriptable").value_or(false);
    return result;
}

}  // namespace veltrane::media
