// Players' notifications: the first line is the notification's name, each
// further line one user-information entry ("key=text", "key#number" read by
// strtod so infinities and NaN come in too, a bare "key" for a value of
// another kind; a key "@n" is the integer key n). A reading always has a
// trimmed title, finite numbers, a playhead at or after 0 and one of the
// four players; numbers from text agree with strtod on the whole text.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ControlDeckCore/media/DistributedNowPlaying.h"
#include "platform/text/Whitespace.h"

namespace Distributed = veltrane::media::DistributedNowPlaying;
using veltrane::notifications::InfoKey;
using veltrane::notifications::InfoValue;
using veltrane::notifications::UserInfo;

namespace {

InfoKey keyOf(const std::string& text) {
    if (text.size() > 1 && text[0] == '@') return std::int64_t{std::atoll(text.c_str() + 1)};
    return text;
}

// strtod's answer for the whole text, on texts made only of the characters
// a decimal number may hold.
void checkNumber(const std::string& text) {
    const auto ours = Distributed::number(InfoValue(text));
    if (ours && !std::isfinite(*ours)) std::abort();
    if (text.find_first_not_of("0123456789.eE+-") != std::string::npos) {
        if (ours) std::abort();
        return;
    }
    char* end = nullptr;
    const double theirs = text.empty() ? 0 : std::strtod(text.c_str(), &end);
    const bool whole = !text.empty() && end == text.c_str() + text.size() && std::isfinite(theirs);
    if (whole != ours.has_value()) std::abort();
    if (ours && *ours != theirs) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input(reinterpret_cast<const char*>(data), size);
    std::size_t at = input.find('\n');
    const std::string name = input.substr(0, at);
    UserInfo info;
    while (at != std::string::npos) {
        const std::size_t start = at + 1;
        at = input.find('\n', start);
        const std::string line = input.substr(start, at == std::string::npos ? std::string::npos : at - start);
        if (const auto equals = line.find('='); equals != std::string::npos) {
            const std::string value = line.substr(equals + 1);
            checkNumber(value);
            info[keyOf(line.substr(0, equals))] = InfoValue(value);
        } else if (const auto hash = line.find('#'); hash != std::string::npos) {
            info[keyOf(line.substr(0, hash))] = InfoValue(std::strtod(line.c_str() + hash + 1, nullptr));
        } else {
            info[keyOf(line)] = InfoValue();
        }
    }

    const bool player = Distributed::isPlayerNotification(name, info);
    if (name.find("qq") != std::string::npos && !player) std::abort();

    const auto s = Distributed::parse(name, info, 0);
    if (!s) return 0;
    if (!s->title || s->title->empty() || veltrane::text::trimmingWhitespaceAndNewlines(*s->title) != *s->title)
        std::abort();
    if (!std::isfinite(s->duration) || !std::isfinite(s->elapsed) || s->elapsed < 0) std::abort();
    if (!s->elapsedKnown && s->elapsed != 0) std::abort();
    if (s->playbackRate != (s->isPlaying ? 1.0 : 0.0)) std::abort();
    if (!s->bundleId || !s->source) std::abort();
    static const char* const kPlayers[] = {"com.apple.Music", "com.spotify.client", "com.tencent.QQMusicMac",
                                           "com.netease.163music"};
    bool known = false;
    for (const char* id : kPlayers) known = known || *s->bundleId == id;
    if (!known) std::abort();
    return 0;
}
