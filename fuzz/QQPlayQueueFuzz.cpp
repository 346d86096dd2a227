// The play-queue reader on any bytes (binary or XML property lists): it ends
// within its budget, and every entry it gives has a usable title and usable
// ids. The tree libplist builds never passes what the measure allowed.
#include <cstdint>
#include <cstdlib>

#include "ControlDeckCore/media/QQPlayQueue.h"
#include "platform/text/Whitespace.h"

namespace QQNowPlaying = veltrane::media::QQNowPlaying;

namespace {

bool usable(const std::string& text) {
    return !text.empty() && text != "$null" && veltrane::text::trimmingWhitespaceAndNewlines(text) == text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const veltrane::plist::Limits limits{QQNowPlaying::kMaxVisitedNodes, QQNowPlaying::kMaxArchiveNesting};
    const auto shape = veltrane::plist::measure(input, limits);
    const auto tracks = QQNowPlaying::parseLibraryArchive(input);
    if (!tracks) return 0;
    if (!shape || shape->nodes > limits.maxNodes || shape->depth > limits.maxDepth) std::abort();
    for (const auto& track : *tracks) {
        if (!usable(track.title)) std::abort();
        if (track.songMid && !usable(*track.songMid)) std::abort();
        if (track.albumMid && !usable(*track.albumMid)) std::abort();
        if (track.album && !usable(*track.album)) std::abort();
        if (track.artist.starts_with(" / ") || track.artist.ends_with(" / ")) std::abort();
    }
    // The lookups over what was read never fail either.
    if (!tracks->empty()) {
        const auto& first = tracks->front();
        (void)QQNowPlaying::bestLibraryTrack(first.title, first.artist, *tracks);
        if (first.songMid && QQNowPlaying::neighboringTracks(*first.songMid, *tracks).size() > 3) std::abort();
    }
    return 0;
}
