// A song description gives nothing, or a title that is not empty, trimmed of
// white space and dashes, and an artist trimmed of white space; both are
// pieces of the description in that order.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "helpers/mirabeck/QQWindow.h"
#include "platform/text/Whitespace.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string_view input(reinterpret_cast<const char*>(data), size);
    const auto song = veltrane::mirabeck::qqParseSong(input);
    if (!song) return 0;
    if (song->title.empty()) std::abort();
    if (veltrane::text::trimmingWhitespaceAndNewlines(song->title) != song->title) std::abort();
    if (veltrane::text::trimmingWhitespaceAndNewlines(song->artist) != song->artist) std::abort();
    for (std::string_view dash : {"-", "–", "—"}) {
        const std::string_view title = song->title;
        if (title.substr(0, dash.size()) == dash) std::abort();
        if (title.size() >= dash.size() && title.substr(title.size() - dash.size()) == dash) std::abort();
    }
    const auto titleAt = input.find(song->title);
    if (titleAt == std::string_view::npos) std::abort();
    if (!song->artist.empty() && input.find(song->artist, titleAt + song->title.size()) == std::string_view::npos)
        std::abort();
    return 0;
}
