// lyrics-lookup lrclib|qq-lyric|qq-track|qq-album|catalog|music [--title T]
//     [--artist A] [--album L] [--duration S] [--song-mid M] [--country C|-]...
// lyrics-lookup get URL [--referer R] [--timeout S]
// lyrics-lookup download URL [--timeout S]
// lyrics-lookup fetch [--title T] [--artist A] [--album L] [--duration S]
//     [--bundle-id B] [--song-mid M] [--repeat N] [--settle S]
// lyrics-lookup batch FILE [--settle S]
// One lookup as the deck makes it (endpoints from VELTRANE_LYRICS_ENDPOINTS,
// the content policy from the property file), printed as one JSON line:
// the snapshot, track, album id, catalog hits, decoded value or download
// summary, or null when nothing was found. `fetch` and `batch` go through
// the lyrics front and print every answer as it comes (see FetchCommands).
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "ControlDeckCore/lyrics/LyricsWeb.h"
#include "platform/crypto/Crypto.h"
#include "platform/system/ProcessSetup.h"
#include "tools/lyrics-lookup/FetchCommands.h"

using namespace veltrane;
using lyrics::Json;
using lyrics::OptionalText;
namespace LyricsLookup = lyrics::LyricsLookup;

namespace {

constexpr const char* kUsage =
    "usage: lyrics-lookup lrclib|qq-lyric|qq-track|qq-album|catalog|music [--title T] [--artist A] [--album L]\n"
    "                     [--duration S] [--song-mid M] [--country C|-]...\n"
    "       lyrics-lookup get URL [--referer R] [--timeout S]\n"
    "       lyrics-lookup download URL [--timeout S]\n"
    "       lyrics-lookup fetch [--title T] [--artist A] [--album L] [--duration S] [--bundle-id B]\n"
    "                     [--song-mid M] [--repeat N] [--settle S]\n"
    "       lyrics-lookup batch FILE [--settle S]\n";

int usage(const std::string& why) {
    std::fprintf(stderr, "lyrics-lookup: %s\n%s", why.c_str(), kUsage);
    return 2;
}

std::optional<double> seconds(const std::string& text) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || *end || errno == ERANGE || !std::isfinite(value)) return std::nullopt;
    return value;
}

Json trackJSON(const std::optional<lyrics::LibraryTrack>& t) {
    if (!t) return nullptr;
    Json out{{"title", t->title}, {"artist", t->artist}, {"duration", t->duration}};
    if (t->album) out["album"] = *t->album;
    if (t->songMid) out["songMid"] = *t->songMid;
    if (t->albumMid) out["albumMid"] = *t->albumMid;
    return out;
}

Json hitsJSON(const std::vector<lyrics::CatalogHit>& hits) {
    Json out = Json::array();
    for (const auto& h : hits) {
        Json hit{{"title", h.title}, {"artist", h.artist}, {"duration", h.duration}, {"artworkURL", h.artworkURL}};
        if (h.album) hit["album"] = *h.album;
        out.push_back(std::move(hit));
    }
    return out;
}

// Lookups of a hanging service may still run on their threads: the process
// ends without tearing down what they use.
[[noreturn]] void leave(int status) {
    std::fflush(stdout);
    std::fflush(stderr);
    std::_Exit(status);
}

}  // namespace

int main(int argc, char** argv) {
    sys::ignoreSigpipe();
    sys::keepFreedHeapMemory();
    if (argc < 2) return usage("no command");
    const std::string command = argv[1];
    static const std::map<std::string, std::set<std::string>> kOptions = {
        {"lrclib", {"--title", "--artist", "--album", "--duration"}},
        {"qq-lyric", {"--song-mid"}},
        {"qq-track", {"--title", "--artist", "--duration"}},
        {"qq-album", {"--song-mid"}},
        {"catalog", {"--title", "--artist", "--album", "--duration", "--country"}},
        {"music", {"--title", "--artist", "--album"}},
        {"get", {"--referer", "--timeout"}},
        {"download", {"--timeout"}},
        {"fetch",
         {"--title", "--artist", "--album", "--duration", "--bundle-id", "--song-mid", "--repeat", "--settle"}},
        {"batch", {"--settle"}},
    };
    const auto known = kOptions.find(command);
    if (known == kOptions.end()) return usage("unknown command \"" + command + "\"");
    const bool takesURL = command == "get" || command == "download" || command == "batch";

    std::map<std::string, std::string> values;
    std::vector<OptionalText> countries;
    std::optional<std::string> url;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--", 0) == 0) {
            if (!known->second.count(arg)) return usage("\"" + arg + "\" does not go with " + command);
            if (i + 1 >= argc) return usage(arg + " needs a value");
            const std::string value = argv[++i];
            if (arg == "--country") {
                countries.push_back(value == "-" ? std::nullopt : OptionalText(value));
            } else if (values.count(arg)) {
                return usage(arg + " given twice");
            } else {
                values[arg] = value;
            }
        } else if (takesURL && !url) {
            url = arg;
        } else {
            return usage("unexpected \"" + arg + "\"");
        }
    }
    if (takesURL && !url) return usage(command + (command == "batch" ? " needs a file" : " needs a URL"));

    auto text = [&](const char* name) {
        const auto it = values.find(name);
        return it == values.end() ? OptionalText() : OptionalText(it->second);
    };
    auto number = [&](const char* name, double fallback) -> std::optional<double> {
        const auto given = text(name);
        return given ? seconds(*given) : fallback;
    };
    const auto duration = number("--duration", 0);
    if (!duration) return usage("--duration needs a number of seconds");
    const auto timeout =
        number("--timeout", command == "get" ? LyricsLookup::kRequestTimeout : LyricsLookup::kCoverTimeout);
    if (!timeout || !(*timeout > 0)) return usage("--timeout needs a positive number of seconds");
    std::string endpointsError;
    lyrics::LyricsEndpoints::current(&endpointsError);
    if (!endpointsError.empty()) return usage(endpointsError);

    const std::string title = text("--title").value_or("");
    const auto artist = text("--artist");
    const auto album = text("--album");
    const std::string songMid = text("--song-mid").value_or("");
    if (countries.empty()) countries.push_back("tw");

    if (command == "fetch" || command == "batch") {
        const auto settle = number("--settle", 0);
        if (!settle || *settle < 0) return usage("--settle needs a number of seconds, 0 or more");
        if (command == "batch") {
            std::string error;
            const auto tracks = lyricslookup::readBatch(*url, error);
            if (!tracks) return usage(error);
            leave(lyricslookup::runBatch(*tracks, *settle));
        }
        const auto repeat = text("--repeat");
        char* end = nullptr;
        const long calls = repeat ? std::strtol(repeat->c_str(), &end, 10) : 1;
        if (repeat && (repeat->empty() || *end || calls < 1 || calls > 1000))
            return usage("--repeat needs a whole number from 1 to 1000");
        lyricslookup::FetchTrack track{title, artist, album, *duration, text("--bundle-id"), text("--song-mid")};
        leave(lyricslookup::runFetch(track, static_cast<int>(calls), *settle));
    }

    Json out;
    using lyricslookup::snapshotJSON;
    if (command == "lrclib")
        out = snapshotJSON(LyricsLookup::lrclib(title, artist, album, *duration));
    else if (command == "qq-lyric")
        out = snapshotJSON(LyricsLookup::qqLyric(songMid));
    else if (command == "qq-track")
        out = trackJSON(LyricsLookup::findQQTrack(title, artist, *duration));
    else if (command == "qq-album") {
        const auto id = LyricsLookup::qqAlbumMid(songMid);
        out = id ? Json(*id) : Json(nullptr);
    } else if (command == "catalog") {
        out = hitsJSON(LyricsLookup::catalogHits(title, artist, *duration, album, countries));
    } else if (command == "music") {
        out = snapshotJSON(LyricsLookup::appleMusicLyrics(title, artist, album));
    } else if (command == "get") {
        out = LyricsLookup::getJSON(url, text("--referer"), *timeout).value_or(nullptr);
    } else {
        const auto data = LyricsLookup::downloadData(*url, *timeout);
        if (data) out = {{"bytes", data->size()}, {"sha256", crypto::sha256Hex(*data)}};
    }
    const std::string line = deck::JSON::text(out) + "\n";
    std::fwrite(line.data(), 1, line.size(), stdout);
    return 0;
}
