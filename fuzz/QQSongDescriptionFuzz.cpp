// The player's labels: a song description gives nothing, or a title that is
// not empty and trimmed of white space and dashes, found in the text before
// its artist, which is trimmed of white space. The button and favourite
// rules answer any label.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ControlDeckCore/media/QQNowPlaying.h"
#include "platform/text/Whitespace.h"

namespace QQNowPlaying = veltrane::media::QQNowPlaying;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    // A pause button always means playing.
    if (QQNowPlaying::isPlayButton(input) && input.find("暂停") != std::string_view::npos &&
        !QQNowPlaying::isPlaying(input))
        std::abort();
    (void)QQNowPlaying::favoriteStatus(input);

    const auto song = QQNowPlaying::parseSongDescription(input);
    if (!song) return 0;
    const std::string_view title = song->title;
    if (title.empty() || veltrane::text::trimmingWhitespaceAndNewlines(title) != title) std::abort();
    if (veltrane::text::trimmingWhitespaceAndNewlines(song->artist) != song->artist) std::abort();
    for (std::string_view dash : {"-", "–", "—", "－"})
        if (title.starts_with(dash) || title.ends_with(dash)) std::abort();
    const auto titleAt = input.find(title);
    if (titleAt == std::string_view::npos) std::abort();
    if (!song->artist.empty() && input.find(song->artist, titleAt + title.size()) == std::string_view::npos)
        std::abort();
    return 0;
}
