#pragma once
// Where the outside lyric, search and artwork services live. Their paths and
// query keys are fixed by the providers; only the origins are configuration.

#include <optional>
#include <string>
#include <string_view>

namespace veltrane::lyrics {

struct LyricsEndpoints {
    static constexpr const char* kVariable = "VELTRANE_LYRICS_ENDPOINTS";

    std::string lrclib = "https://lrclib.net";
    std::string qqSearch = "https://c.y.qq.com";  // lyric, client search, smartbox
    std::string qqApi = "https://u.y.qq.com";     // song detail
    std::string qqSite = "https://y.qq.com";      // only ever the Referer
    std::string catalog = "https://itunes.apple.com";
    std::string qqImage = "https://y.gtimg.cn";

    // The defaults with the keys of `json` (one object of origin strings)
    // replacing theirs. None, with the reason in `error`, for text that is
    // not such an object, an unknown key, or a value that is not an http or
    // https origin (scheme, host, optional port; a trailing "/" is dropped).
    static std::optional<LyricsEndpoints> parse(std::string_view json, std::string& error);

    // The defaults overridden by VELTRANE_LYRICS_ENDPOINTS, read at each
    // call. A malformed value is not half-applied: the defaults stand, and
    // the reason is in `error` when asked for.
    static LyricsEndpoints current(std::string* error = nullptr);
};

}  // namespace veltrane::lyrics
