// Whatever a service answers, its reader gives nothing or a result that keeps
// its rules: the right provider, synced lyrics with lines and unsynced ones
// with text, and chosen records or rows that pass the title, artist and
// length tests they were chosen by.
//
// Input: one mode byte, then the answer body. Mode % 8 picks the reader;
// mode & 8 makes the wanted track's length unknown.
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ControlDeckCore/lyrics/LyricsAnswers.h"
#include "ControlDeckCore/media/Playhead.h"
#include "platform/text/CanonicalText.h"
#include "platform/text/UTF8.h"
#include "platform/text/Whitespace.h"

using namespace veltrane;
using namespace veltrane::lyrics;

namespace {

void check(bool condition) {
    if (!condition) std::abort();
}

void checkSnapshot(const std::optional<LyricsSnapshot>& s, const char* provider) {
    if (!s) return;
    check(s->provider == provider);
    if (s->synced) {
        check(!s->lines.empty());
    } else {
        check(s->lines.empty());
        check(s->plain && !text::trimmingWhitespaceAndNewlines(*s->plain).empty());
    }
    for (std::size_t i = 1; i < s->lines.size(); ++i) check(s->lines[i - 1].time <= s->lines[i].time);
}

void lrclib(const Json& value, double duration) {
    checkSnapshot(LyricsLookup::snapshotFromLrclib(value), "lrclib");
    if (!value.is_array()) return;
    const auto chosen =
        LyricsLookup::matchedLrclib(value.get_ref<const Json::array_t&>(), "Track One", "Alpha", duration);
    if (!chosen) return;
    const Json* title = deck::JSON::member(*chosen, "trackName");
    if (!title || !title->is_string()) title = deck::JSON::member(*chosen, "name");
    check(title && title->is_string());
    check(text::canonicallyEqual(text::trimmingWhitespaceAndNewlines(title->get<std::string>()), "Track One"));
    const Json* artist = deck::JSON::member(*chosen, "artistName");
    if (!artist || !artist->is_string()) artist = deck::JSON::member(*chosen, "artist");
    check(artist && artist->is_string() && media::Playhead::artistKey(artist->get<std::string>()) == "alpha");
    if (duration > 1.0) check(std::fabs((*chosen)["duration"].get<double>() - duration) <= 3.0);
}

void qqRows(const Json::array_t& rows, double duration) {
    const auto kept = LyricsLookup::qqRowsMatching(rows, "Qing Tian", "Zhou", duration);
    for (const auto& row : kept) {
        const Json* interval = deck::JSON::member(row, "interval");
        if (duration > 1.0 && interval && interval->is_number() && interval->get<double>() > 0)
            check(std::fabs(interval->get<double>() - duration) <= 3.0);
    }
    const auto track = LyricsLookup::matchedQQTrack(rows, "Qing Tian", "Zhou", duration,
                                                    [](const std::string&) { return OptionalText("album"); });
    if (!track) return;
    check(!kept.empty());
    check(track->title == "Qing Tian" && track->artist == "Zhou");
    check(track->songMid && !track->songMid->empty() && track->albumMid && !track->albumMid->empty());
}

void catalog(const Json& value, double duration) {
    LyricsLookup::CatalogRanking ranking("Track One", "Alpha", duration);
    ranking.add(value);
    for (const auto& hit : ranking.hits()) {
        check(!hit.title.empty() && !hit.artworkURL.empty());
        if (duration > 1.0 && hit.duration > 0) check(std::fabs(hit.duration - duration) <= 12.0);
    }
    for (const auto& hit : LyricsLookup::catalogHitsByCloseness(value, "Alpha", duration)) {
        check(!hit.artworkURL.empty() && hit.duration > 0);
        check(std::fabs(hit.duration - duration) <= 2.0);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const int mode = data[0];
    const double duration = (mode & 8) ? 0 : (mode % 8 == 4 ? 271 : 215);
    const std::string body(reinterpret_cast<const char*>(data) + 1, size - 1);

    switch (mode % 8) {
        case 5: {  // the player's answer
            const auto s = LyricsLookup::musicAnswerSnapshot(body, "Track One", "Alpha", "Demo");
            checkSnapshot(s, "music");
            if (s) check(s->synced == !s->lines.empty());
            const auto restored = LyricsLookup::restoredLyricLines(body);
            check(restored.size() <= body.size());
            return 0;
        }
        case 6: {  // a lyric value as text
            const Json value = body;
            if (text::utf8::isValid(body)) check(text::utf8::isValid(LyricsLookup::qqLyricText(&value)));
            return 0;
        }
        default: break;
    }

    const auto value = LyricsLookup::decodeJSONBody(body);
    if (!value) return 0;
    check(value->is_object() || value->is_array());
    switch (mode % 8) {
        case 0:
        case 1:
        case 2: lrclib(*value, duration); break;
        case 3: {  // QQ Music lyrics
            const auto s = LyricsLookup::qqLyricSnapshot(*value);
            checkSnapshot(s, "qqmusic");
            if (s && !s->synced) check(deck::JSON::member(*value, "lyric")->is_string());
            break;
        }
        case 4: {  // song rows of both searches
            const auto smartbox = LyricsLookup::rowsFromSmartbox(*value);
            for (const auto& row : smartbox) check(!row["songmid"].get<std::string>().empty());
            qqRows(smartbox, duration);
            if (const auto rows = LyricsLookup::clientSearchRows(*value)) qqRows(*rows, duration);
            LyricsLookup::albumMidFromSongDetail(*value);
            break;
        }
        default: catalog(*value, duration); break;
    }
    return 0;
}
