// Whatever the text, the name folds give valid UTF-8, the artist key is
// idempotent, stripped titles are trimmed, and compatibility is symmetric
// for two equal names.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ControlDeckCore/lyrics/LyricsLookup.h"
#include "ControlDeckCore/media/Playhead.h"
#include "platform/text/Whitespace.h"

using namespace veltrane;
namespace LyricsLookup = lyrics::LyricsLookup;

namespace {

void checkText(const std::string& s) {
    if (text::repairedUTF8(s) != s) std::abort();
}

void checkOptional(const std::optional<std::string>& s) {
    if (s) checkText(*s);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string input = text::repairedUTF8(std::string_view(reinterpret_cast<const char*>(data), size));
    // Two names from one input: split at the first NUL.
    const auto cut = input.find('\0');
    const std::string a = input.substr(0, cut);
    const std::string b = cut == std::string::npos ? std::string() : input.substr(cut + 1);

    const std::string key = media::Playhead::artistKey(a);
    checkText(key);
    if (media::Playhead::artistKey(key) != key) std::abort();

    const std::string stripped = LyricsLookup::stripParentheticals(a);
    checkText(stripped);
    if (text::trimmingWhitespaceAndNewlines(stripped) != stripped) std::abort();
    checkText(LyricsLookup::versionlessTitle(a));
    checkText(LyricsLookup::aliasKey(a));
    checkText(LyricsLookup::foldCJK(a));
    checkText(LyricsLookup::foldArtist(a));
    checkOptional(LyricsLookup::hanValue(a));
    checkOptional(LyricsLookup::artistAlias(a));
    checkOptional(LyricsLookup::titleAlias(a, b));
    checkOptional(LyricsLookup::albumAlias(a, b));
    if (!LyricsLookup::artistsCompatible(a, a)) std::abort();
    if (LyricsLookup::artistsCompatible(a, b) != LyricsLookup::artistsCompatible(b, a)) std::abort();
    return 0;
}
