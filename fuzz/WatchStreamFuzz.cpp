// The watcher's output stream: bytes cut into lines (whole and in pieces of
// fuzzer-chosen sizes, which must agree), each line read as a helper line.
// Lines are UTF-8 without line feeds, the unfinished rest stays within its
// bound, and every reading has a title or an artist, finite numbers, a rate
// while playing, and artwork that is exactly the Base64 text it came from.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "ControlDeckCore/media/HelperLine.h"
#include "platform/crypto/Crypto.h"
#include "platform/text/UTF8.h"

using namespace veltrane;

namespace {

constexpr double kNow = 700'000'000;

void check(const std::string& line) {
    if (line.find('\n') != std::string::npos || !text::utf8::isValid(line)) std::abort();
    const auto parsed = media::HelperLine::parse(line, kNow);
    if (parsed.kind != media::HelperLine::Kind::reading) {
        if (parsed.snapshot) std::abort();
        return;
    }
    const auto& s = *parsed.snapshot;
    if (!s.title && !s.artist) std::abort();
    for (double n : {s.duration, s.elapsed, s.playbackRate, s.capturedAt})
        if (!std::isfinite(n)) std::abort();
    if (std::fabs(s.capturedAt) > 1e10) std::abort();  // the clock's range
    if (s.isPlaying && s.playbackRate == 0) std::abort();
    if (parsed.rawElapsed && !std::isfinite(*parsed.rawElapsed)) std::abort();
    if (s.artwork) {
        // The reader trims the line's white space, \v and \f included, which
        // JSON itself does not allow.
        std::string_view trimmed = line;
        const auto space = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
        while (!trimmed.empty() && space(trimmed.front())) trimmed.remove_prefix(1);
        while (!trimmed.empty() && space(trimmed.back())) trimmed.remove_suffix(1);
        const auto json = nlohmann::json::parse(trimmed, nullptr, false);
        if (!json.is_object() || !json.contains("artwork") || crypto::base64(*s.artwork) != json["artwork"])
            std::abort();
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::size_t piece = 1 + data[0] % 16;
    const std::string_view stream(reinterpret_cast<const char*>(data) + 1, size - 1);

    media::WatchBuffer whole;
    const auto lines = whole.append(stream);
    media::WatchBuffer split;
    std::vector<std::string> pieces;
    for (std::size_t at = 0; at < stream.size(); at += piece)
        for (auto& line : split.append(stream.substr(at, piece))) pieces.push_back(std::move(line));
    if (lines != pieces || whole.pendingBytes() != split.pendingBytes()) std::abort();
    if (whole.pendingBytes() > media::WatchBuffer::kMaxPendingBytes) std::abort();
    for (const auto& line : lines) check(line);
    return 0;
}
