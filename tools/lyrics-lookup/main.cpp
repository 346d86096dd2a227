// lyrics-lookup lrclib|qq-lyric|qq-track|qq-album|catalog|music [--title T]
//     [--artist A] [--album L] [--duration S] [--song-mid M] [--country C|-]...
// lyrics-lookup get URL [--referer R] [--timeout S]
// lyrics-lookup download URL [--timeout S]
// One lookup as the deck makes it (endpoints from VELTRANE_LYRICS_ENDPOINTS,
// the content policy from the property file), printed as one JSON line:
// the snapshot, track, album id, catalog hits, decoded value or download
// summary, or null when nothing was found.
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

using namespace veltrane;
using lyrics::Json;
using lyrics::OptionalText;
namespace LyricsLookup = lyrics::LyricsLookup;

namespace {

constexpr const char* kUsage =
    "usage: lyrics-lookup lrclib|qq-lyric|qq-track|qq-album|catalog|music [--title T] [--artist A] [--album L]\n"
    "                     [--duration S] [--song-mid M] [--country C|-]...\n"
    "       lyrics-lookup get URL [--referer R] [--timeout S]\n"
    "       lyrics-lookup download URL [--timeout S]\n";

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

Json snapshotJSON(const std::optional<lyrics::LyricsSnapshot>& s) {
    if (!s) return nullptr;
    Json lines = Json::array();
    for (const auto& line : s->lines) lines.push_back({{"t", line.time}, {"text", line.text}});
    Json out{{"provider", s->provider}, {"synced", s->synced}, {"lines", std::move(lines)}};
    if (s->plain) out["plain"] = *s->plain;
    return out;
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
    };
    const auto known = kOptions.find(command);
    if (known == kOptions.end()) return usage("unknown command \"" + command + "\"");
    const bool takesURL = command == "get" || command == "download";

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
    if (takesURL && !url) return usage(command + " needs a URL");

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

    Json out;
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
