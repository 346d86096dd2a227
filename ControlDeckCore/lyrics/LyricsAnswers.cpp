#include "ControlDeckCore/lyrics/LyricsAnswers.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

#include "ControlDeckCore/lyrics/LRCParser.h"
#include "ControlDeckCore/media/Playhead.h"
#include "platform/text/CanonicalText.h"
#include "platform/text/UTF8.h"
#include "platform/text/UnicodeText.h"
#include "platform/text/Whitespace.h"

namespace veltrane::lyrics {
namespace {

using media::Playhead;

std::string trimmed(std::string_view s) { return std::string(text::trimmingWhitespaceAndNewlines(s)); }

// A substring test that an empty needle never passes.
bool holds(std::string_view haystack, std::string_view needle) {
    return !needle.empty() && haystack.find(needle) != std::string_view::npos;
}

bool present(const OptionalText& s) { return s && !s->empty(); }

const Json* member(const Json& object, const char* key) { return deck::JSON::member(object, key); }

const std::string* stringMember(const Json& object, const char* key) {
    const Json* value = member(object, key);
    return value && value->is_string() ? &value->get_ref<const std::string&>() : nullptr;
}

std::optional<double> numberMember(const Json& object, const char* key) {
    const Json* value = member(object, key);
    if (!value || !value->is_number()) return std::nullopt;
    return value->get<double>();
}

// An array whose every element is an object, as the services' row lists are.
const Json::array_t* objectArray(const Json* value) {
    if (!value || !value->is_array()) return nullptr;
    const auto& array = value->get_ref<const Json::array_t&>();
    for (const auto& element : array) {
        if (!element.is_object()) return nullptr;
    }
    return &array;
}

// data → song → <last>, each an object.
const Json* songMember(const Json& answer, const char* last) {
    const Json* data = member(answer, "data");
    if (!data || !data->is_object()) return nullptr;
    const Json* song = member(*data, "song");
    if (!song || !song->is_object()) return nullptr;
    return member(*song, last);
}

// Base64 with every character outside the alphabet skipped; the rest must
// be whole quanta, padding only at the end.
std::optional<std::string> lenientBase64(std::string_view s) {
    auto value = [](char c) -> int {
        if (c >= 'A' && c <= 'Z') return c - 'A';
        if (c >= 'a' && c <= 'z') return c - 'a' + 26;
        if (c >= '0' && c <= '9') return c - '0' + 52;
        if (c == '+') return 62;
        if (c == '/') return 63;
        return -1;
    };
    std::string symbols;
    for (const char c : s) {
        if (value(c) >= 0 || c == '=') symbols += c;
    }
    if (symbols.empty() || symbols.size() % 4 != 0) return std::nullopt;
    const auto padding = symbols.find('=');
    if (padding != std::string::npos) {
        if (symbols.size() - padding > 2) return std::nullopt;
        for (std::size_t i = padding; i < symbols.size(); ++i) {
            if (symbols[i] != '=') return std::nullopt;
        }
    }
    std::string out;
    std::uint32_t bits = 0;
    int count = 0;
    for (const char c : symbols) {
        if (c == '=') break;
        bits = (bits << 6) | static_cast<std::uint32_t>(value(c));
        if (++count == 4) {
            out += static_cast<char>((bits >> 16) & 0xFF);
            out += static_cast<char>((bits >> 8) & 0xFF);
            out += static_cast<char>(bits & 0xFF);
            bits = 0;
            count = 0;
        }
    }
    if (count == 3) {
        out += static_cast<char>((bits >> 10) & 0xFF);
        out += static_cast<char>((bits >> 2) & 0xFF);
    } else if (count == 2) {
        out += static_cast<char>((bits >> 4) & 0xFF);
    } else if (count == 1) {
        return std::nullopt;
    }
    return out;
}

void replaceAll(std::string& s, std::string_view from, std::string_view to) {
    std::string out;
    std::size_t at = 0;
    for (auto hit = s.find(from); hit != std::string::npos; hit = s.find(from, at)) {
        out.append(s, at, hit - at);
        out += to;
        at = hit + from.size();
    }
    out.append(s, at, std::string::npos);
    s = std::move(out);
}

// Every "[...]" with at least one character inside removed.
std::string withoutBracketTags(std::string_view s) {
    std::string out;
    std::size_t i = 0;
    while (i < s.size()) {
        if (s[i] == '[') {
            const auto close = s.find(']', i + 1);
            if (close != std::string_view::npos && close > i + 1) {
                i = close + 1;
                continue;
            }
        }
        out += s[i++];
    }
    return out;
}

// The whole seconds of a known length, halves away from zero; none for a
// length no integer holds.
std::optional<long long> wholeSeconds(double duration) {
    if (!(duration > 1.0) || !std::isfinite(duration) || duration >= 9.0e18) return std::nullopt;
    return std::llround(duration);
}

std::string joinedSingers(const Json& row, const char* separator) {
    const Json* singers = member(row, "singer");
    std::string out;
    if (!singers || !singers->is_array()) return out;
    bool first = true;
    for (const auto& singer : *singers) {
        if (!singer.is_object()) continue;
        const auto* name = stringMember(singer, "name");
        if (!name) continue;
        if (!first) out += separator;
        out += *name;
        first = false;
    }
    return out;
}

}  // namespace

std::optional<Json> LyricsLookup::decodeJSONBody(std::string_view body) {
    if (body.empty() || body.size() > kMaxJSONBodyBytes) return std::nullopt;
    std::string_view data = body;
    const auto t = text::trimmingWhitespaceAndNewlines(body);
    // Only a wrapped answer is looked at as text; the markers are ASCII, so
    // they are found in the bytes before the text is checked.
    if ((t.rfind("callback(", 0) == 0 || t.find("MusicJsonCallback") != std::string_view::npos) &&
        text::utf8::isValid(body)) {
        const auto open = t.find('{');
        const auto close = t.rfind('}');
        if (open != std::string_view::npos && close != std::string_view::npos && open < close)
            data = t.substr(open, close - open + 1);
    }
    auto value = deck::JSON::parse(data);
    if (!value || !(value->is_object() || value->is_array())) return std::nullopt;
    return value;
}

// ---- lrclib

QueryItems LyricsLookup::lrclibGetQuery(std::string_view title, const OptionalText& artist, const OptionalText& album,
                                        double duration) {
    QueryItems items{{"track_name", std::string(title)}};
    if (present(artist)) items.emplace_back("artist_name", *artist);
    if (present(album)) items.emplace_back("album_name", *album);
    if (const auto seconds = wholeSeconds(duration)) items.emplace_back("duration", std::to_string(*seconds));
    return items;
}

QueryItems LyricsLookup::lrclibSearchQuery(std::string_view title, const OptionalText& artist) {
    std::string q = present(artist) ? *artist : std::string();
    if (!title.empty()) {
        if (!q.empty()) q += ' ';
        q += title;
    }
    return {{"q", q}};
}

std::optional<LyricsSnapshot> LyricsLookup::snapshotFromLrclib(const Json& value) {
    if (!value.is_object()) return std::nullopt;
    const auto* plain = stringMember(value, "plainLyrics");
    if (const auto* synced = stringMember(value, "syncedLyrics"); synced && !synced->empty()) {
        auto lines = LRCParser::parse(*synced);
        if (!lines.empty()) {
            LyricsSnapshot snapshot{"lrclib", true, std::move(lines), std::nullopt};
            if (plain) snapshot.plain = *plain;
            return snapshot;
        }
    }
    if (plain && !text::trimmingWhitespaceAndNewlines(*plain).empty())
        return LyricsSnapshot{"lrclib", false, {}, *plain};
    return std::nullopt;
}

std::optional<Json> LyricsLookup::matchedLrclib(const Json::array_t& records, std::string_view title,
                                                const OptionalText& artist, double duration) {
    const std::string wantedArtist = Playhead::artistKey(artist);
    const Json* best = nullptr;
    double bestDistance = 0;
    for (const auto& record : records) {
        if (!record.is_object()) continue;
        const auto* name = stringMember(record, "trackName");
        if (!name) name = stringMember(record, "name");
        const std::string candidate = name ? trimmed(*name) : std::string();
        if (candidate.empty() || !text::canonicallyEqual(candidate, title)) continue;
        const auto* recordArtist = stringMember(record, "artistName");
        if (!recordArtist) recordArtist = stringMember(record, "artist");
        if (Playhead::artistKey(recordArtist ? OptionalText(*recordArtist) : std::nullopt) != wantedArtist) continue;
        double distance = 0;
        if (duration > 1.0) {
            const auto length = numberMember(record, "duration");
            if (!length || !(*length > 0)) continue;
            distance = std::fabs(*length - duration);
            if (!(distance <= 3.0)) continue;
        }
        if (!best || distance < bestDistance) {
            best = &record;
            bestDistance = distance;
        }
    }
    if (!best) return std::nullopt;
    return *best;
}

// ---- QQ Music lyrics

std::string LyricsLookup::qqLyricText(const Json* value) {
    if (!value || !value->is_string()) return {};
    const auto& raw = value->get_ref<const std::string&>();
    if (raw.empty()) return {};
    std::string out = raw;
    if (auto decoded = lenientBase64(text::trimmingWhitespaceAndNewlines(raw));
        decoded && text::utf8::isValid(*decoded) && decoded->find('[') != std::string::npos)
        out = std::move(*decoded);
    // "&amp;" last, so an escaped entity stays what it was written as.
    static constexpr std::pair<std::string_view, std::string_view> kEntities[] = {
        {"&apos;", "'"}, {"&#39;", "'"},  {"&quot;", "\""}, {"&lt;", "<"},
        {"&gt;", ">"},   {"&nbsp;", " "}, {"&amp;", "&"},
    };
    for (const auto& [entity, character] : kEntities) replaceAll(out, entity, character);
    return out;
}

std::optional<LyricsSnapshot> LyricsLookup::qqLyricSnapshot(const Json& answer) {
    if (!answer.is_object()) return std::nullopt;
    std::vector<LyricsLine> kept;
    for (const char* key : {"qrc", "yrc", "lyric"}) {
        auto lines = LRCParser::parse(qqLyricText(member(answer, key)));
        if (lines.size() > kept.size()) kept = std::move(lines);
    }
    if (!kept.empty()) return LyricsSnapshot{"qqmusic", true, std::move(kept), std::nullopt};
    // Only a real lyric answer may say "instrumental": an error object must
    // not end the search with a cached notice.
    if (!stringMember(answer, "lyric")) return std::nullopt;
    std::string plain = trimmed(withoutBracketTags(qqLyricText(member(answer, "lyric"))));
    if (plain.empty()) plain = kInstrumentalNotice;
    return LyricsSnapshot{"qqmusic", false, {}, std::move(plain)};
}

// ---- QQ Music song search

QueryItems LyricsLookup::qqClientSearchQuery(std::string_view query) {
    return {{"format", "json"}, {"p", "1"}, {"n", "5"}, {"w", std::string(query)}};
}

QueryItems LyricsLookup::qqSmartboxQuery(std::string_view query) {
    return {{"key", std::string(query)}, {"format", "json"}};
}

std::optional<Json::array_t> LyricsLookup::clientSearchRows(const Json& answer) {
    const auto* list = objectArray(songMember(answer, "list"));
    if (!list || list->empty()) return std::nullopt;
    return *list;
}

Json::array_t LyricsLookup::rowsFromSmartbox(const Json& answer) {
    Json::array_t rows;
    const auto* items = objectArray(songMember(answer, "itemlist"));
    if (!items) return rows;
    for (const auto& item : *items) {
        const auto* mid = stringMember(item, "mid");
        if (!mid || mid->empty()) continue;
        const auto* name = stringMember(item, "name");
        Json row = Json::object();
        row["songname"] = name ? *name : std::string();
        row["songmid"] = *mid;
        if (const auto* singer = stringMember(item, "singer"); singer && !singer->empty())
            row["singer"] = Json::array({Json{{"name", *singer}}});
        rows.push_back(std::move(row));
    }
    return rows;
}

Json::array_t LyricsLookup::qqRowsMatching(const Json::array_t& rows, std::string_view title,
                                           const OptionalText& artist, double duration) {
    const std::string stripped = stripParentheticals(title);
    std::vector<std::string> wanted;
    for (const auto& candidate : {OptionalText(std::string(title)), OptionalText(stripped),
                                  OptionalText(versionlessTitle(title)), titleAlias(title, artist)}) {
        if (present(candidate)) wanted.push_back(*candidate);
    }
    std::vector<std::string> folded;
    for (const auto& w : wanted) {
        if (auto f = foldCJK(w); !f.empty()) folded.push_back(std::move(f));
    }
    auto isWanted = [&](const std::string& name) {
        return std::any_of(wanted.begin(), wanted.end(),
                           [&](const std::string& w) { return text::canonicallyEqual(w, name); });
    };
    auto isFolded = [&](const std::string& name) {
        const auto f = foldCJK(name);
        return !f.empty() && std::find(folded.begin(), folded.end(), f) != folded.end();
    };

    Json::array_t kept;
    for (const auto& row : rows) {
        if (!row.is_object()) continue;
        const auto* songname = stringMember(row, "songname");
        const std::string name = songname ? *songname : std::string();
        const std::string versionless = versionlessTitle(name);
        if (!(isWanted(name) || isWanted(versionless) || isFolded(name) || isFolded(versionless))) continue;
        if (duration > 1.0) {
            if (const auto interval = numberMember(row, "interval"); interval && *interval > 0) {
                if (!(std::fabs(*interval - duration) <= 3.0)) continue;
            }
        }
        if (!artistsCompatible(joinedSingers(row, " / "), artist)) continue;
        kept.push_back(row);
    }
    return kept;
}

OptionalText LyricsLookup::bestQQSongMid(const Json::array_t& rows, std::string_view title, const OptionalText& artist,
                                         double duration) {
    const std::string t = text::lowercased(title);
    const std::string a = artist ? text::lowercased(*artist) : std::string();
    OptionalText best;
    double bestScore = 0;
    for (const auto& row : rows) {
        if (!row.is_object()) continue;
        const auto* mid = stringMember(row, "songmid");
        if (!mid || mid->empty()) continue;
        const auto* songname = stringMember(row, "songname");
        if (!songname) songname = stringMember(row, "songname_hilight");
        const std::string n = songname ? text::lowercased(*songname) : std::string();
        double score = n == t ? 4.0 : (holds(n, t) || holds(t, n)) ? 1.5 : 0.0;
        if (!a.empty()) {
            const std::string s = text::lowercased(joinedSingers(row, " "));
            if (holds(s, a) || holds(a, s)) score += 2.0;
        }
        if (duration > 1.0) {
            if (const auto interval = numberMember(row, "interval"); interval && *interval > 0) {
                const double d = std::fabs(*interval - duration);
                if (d <= 2.0)
                    score += 3.0;
                else if (d <= 5.0)
                    score += 1.0;
                else
                    score -= std::min(d / 10.0, 2.0);
            }
        }
        if (!best || score > bestScore) {
            best = *mid;
            bestScore = score;
        }
    }
    return best;
}

std::optional<LibraryTrack> LyricsLookup::matchedQQTrack(
    const Json::array_t& rows, std::string_view title, const OptionalText& artist, double duration,
    const std::function<OptionalText(const std::string&)>& albumMidOf) {
    const auto kept = qqRowsMatching(rows, title, artist, duration);
    const auto mid = bestQQSongMid(kept, title, artist, duration);
    if (!mid) return std::nullopt;
    for (const auto& row : kept) {
        const auto* songmid = stringMember(row, "songmid");
        if (!songmid || *songmid != *mid) continue;
        LibraryTrack track;
        track.title = std::string(title);
        track.artist = artist.value_or("");
        if (const auto* album = stringMember(row, "albumname")) track.album = *album;
        track.duration = numberMember(row, "interval").value_or(duration);
        track.songMid = *mid;
        const auto* albummid = stringMember(row, "albummid");
        track.albumMid = emptyAlbumMid(albummid ? OptionalText(*albummid) : std::nullopt);
        if (!track.albumMid && albumMidOf) track.albumMid = albumMidOf(*mid);
        return track;
    }
    return std::nullopt;
}

OptionalText LyricsLookup::emptyAlbumMid(const OptionalText& albumMid) {
    if (!albumMid) return std::nullopt;
    std::string id = trimmed(*albumMid);
    if (id.empty() || id == "$null") return std::nullopt;
    return id;
}

OptionalText LyricsLookup::sendableSongMid(std::string_view songMid) {
    std::string id = trimmed(songMid);
    if (id.empty() || !text::onlyLettersAndNumbers(id)) return std::nullopt;
    return id;
}

std::string LyricsLookup::songDetailRequest(std::string_view songMid) {
    return R"({"songinfo":{"module":"music.pf_song_detail_svr","method":"get_song_detail_yqq","param":{"song_mid":")" +
           std::string(songMid) + R"("}}})";
}

OptionalText LyricsLookup::albumMidFromSongDetail(const Json& answer) {
    const Json* node = &answer;
    for (const char* key : {"songinfo", "data", "track_info", "album"}) {
        if (!node->is_object()) return std::nullopt;
        node = member(*node, key);
        if (!node) return std::nullopt;
    }
    if (!node->is_object()) return std::nullopt;
    auto text = [&](const char* key) {
        const auto* s = stringMember(*node, key);
        return s ? OptionalText(*s) : std::nullopt;
    };
    if (auto mid = emptyAlbumMid(text("mid"))) return mid;
    return emptyAlbumMid(text("pmid"));
}

// ---- the catalog

std::string LyricsLookup::catalogTerm(std::string_view title, const OptionalText& artist) {
    std::string term = artist ? trimmed(*artist) : std::string();
    const std::string t = trimmed(title);
    if (!t.empty()) {
        if (!term.empty()) term += ' ';
        term += t;
    }
    return term;
}

QueryItems LyricsLookup::catalogQuery(std::string_view term, std::string_view limit, const OptionalText& country) {
    QueryItems items{
        {"term", std::string(term)}, {"media", "music"}, {"entity", "song"}, {"limit", std::string(limit)}};
    if (country) items.emplace_back("country", *country);
    return items;
}

namespace {

const Json::array_t* catalogRows(const Json& answer) {
    return answer.is_object() ? objectArray(deck::JSON::member(answer, "results")) : nullptr;
}

}  // namespace

LyricsLookup::CatalogRanking::CatalogRanking(std::string title, OptionalText artist, double duration)
    : title_(std::move(title)), artist_(std::move(artist)), duration_(duration) {}

void LyricsLookup::CatalogRanking::add(const Json& answer) {
    const auto* rows = catalogRows(answer);
    if (!rows) return;
    const std::string wantedKey = Playhead::artistKey(artist_);
    const bool latinTitle = !text::containsIdeographic(title_);
    for (const auto& row : *rows) {
        const auto* name = stringMember(row, "trackName");
        const auto* rowArtist = stringMember(row, "artistName");
        if (!name || name->empty() || !rowArtist) continue;
        const auto millis = numberMember(row, "trackTimeMillis");
        const double length = millis && *millis > 0 ? *millis / 1000.0 : 0;

        double score = 0;
        if (present(artist_)) {
            const std::string rowKey = Playhead::artistKey(*rowArtist);
            if (rowKey == wantedKey || (!wantedKey.empty() && (holds(rowKey, wantedKey) || holds(wantedKey, rowKey))) ||
                holds(*rowArtist, *artist_))
                score += 10;
        }
        if (!title_.empty() && text::canonicallyEqual(title_, *name)) score += 5;
        if (duration_ > 1.0 && length > 0) {
            const double gap = std::fabs(length - duration_);
            if (gap <= 2.0)
                score += 8;
            else if (gap <= 5.0)
                score += 3;
            else if (!(gap <= 12.0))
                continue;
            // A Latin title is not matched by a Chinese one on a rough length.
            if (gap > 2.0 && latinTitle && text::containsIdeographic(*name)) continue;
        }
        if (score < 8) continue;
        const auto* artwork = stringMember(row, "artworkUrl100");
        if (!artwork || artwork->empty()) continue;
        std::string key = *name + "\n" + *rowArtist;
        if (std::find(keys_.begin(), keys_.end(), key) != keys_.end()) continue;
        keys_.push_back(std::move(key));
        const auto* album = stringMember(row, "collectionName");
        kept_.push_back(
            {CatalogHit{*name, *rowArtist, album ? OptionalText(*album) : std::nullopt, length, *artwork}, score});
    }
}

std::vector<CatalogHit> LyricsLookup::CatalogRanking::hits() const {
    auto ranked = kept_;
    std::stable_sort(ranked.begin(), ranked.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    std::vector<CatalogHit> out;
    for (auto& [hit, score] : ranked) out.push_back(std::move(hit));
    return out;
}

std::vector<CatalogHit> LyricsLookup::catalogHitsByCloseness(const Json& answer, std::string_view artist,
                                                             double duration) {
    std::vector<std::pair<CatalogHit, double>> kept;
    const auto* rows = catalogRows(answer);
    if (!rows) return {};
    const std::string wantedKey = Playhead::artistKey(std::string(artist));
    for (const auto& row : *rows) {
        const auto* name = stringMember(row, "trackName");
        const auto* rowArtist = stringMember(row, "artistName");
        const auto millis = numberMember(row, "trackTimeMillis");
        if (!name || name->empty() || !rowArtist || !millis || !(*millis > 0)) continue;
        const double length = *millis / 1000.0;
        const double gap = std::fabs(length - duration);
        if (!(length > 0) || !(gap <= 2.0)) continue;
        if (!holds(*rowArtist, artist) && !holds(Playhead::artistKey(*rowArtist), wantedKey)) continue;
        const auto* artwork = stringMember(row, "artworkUrl100");
        if (!artwork || artwork->empty()) continue;
        const auto* album = stringMember(row, "collectionName");
        kept.push_back(
            {CatalogHit{*name, *rowArtist, album ? OptionalText(*album) : std::nullopt, length, *artwork}, gap});
    }
    std::stable_sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) { return a.second < b.second; });
    std::vector<CatalogHit> out;
    for (auto& [hit, gap] : kept) out.push_back(std::move(hit));
    return out;
}

// ---- the player's own lyrics

std::optional<LyricsSnapshot> LyricsLookup::musicAnswerSnapshot(const OptionalText& answer, std::string_view title,
                                                                const OptionalText& artist, const OptionalText& album) {
    if (!answer) return std::nullopt;
    const std::string output = trimmed(*answer);
    if (output.empty() || output == "missing value") return std::nullopt;
    const auto newline = output.find('\n');
    const std::string header = output.substr(0, newline);
    const std::string rest = newline == std::string::npos ? std::string() : output.substr(newline + 1);

    std::vector<std::string> pieces;
    for (std::size_t at = 0;;) {
        const auto tab = header.find('\t', at);
        pieces.push_back(header.substr(at, tab == std::string::npos ? std::string::npos : tab - at));
        if (tab == std::string::npos) break;
        at = tab + 1;
    }
    auto piece = [&](std::size_t i) { return i < pieces.size() ? OptionalText(pieces[i]) : std::nullopt; };

    const std::string name = trimmed(pieces[0]);
    if (name.empty() || !text::canonicallyEqual(name, title)) return std::nullopt;
    if (media::Playhead::artistKey(piece(1)) != media::Playhead::artistKey(artist)) return std::nullopt;
    const std::string wantedAlbum = album ? trimmed(*album) : std::string();
    const std::string foundAlbum = piece(2) ? trimmed(*piece(2)) : std::string();
    if (!wantedAlbum.empty() && !foundAlbum.empty() && !text::canonicallyEqual(wantedAlbum, foundAlbum))
        return std::nullopt;

    const std::string lyrics = trimmed(rest);
    if (lyrics.empty() || lyrics == "missing value") return std::nullopt;
    auto lines = LRCParser::parse(lyrics);
    const bool synced = !lines.empty();
    return LyricsSnapshot{"music", synced, std::move(lines), lyrics};
}

namespace {

// Whether an LRC time stamp "[m:ss]", "[mm:ss.xx]" or "[mmm:ss:xxx]" starts
// at `at`.
bool timeStampAt(std::string_view s, std::size_t at) {
    auto digits = [&](std::size_t& i, std::size_t least, std::size_t most) {
        std::size_t n = 0;
        while (i < s.size() && n < most && s[i] >= '0' && s[i] <= '9') ++i, ++n;
        return n >= least;
    };
    std::size_t i = at;
    if (i >= s.size() || s[i] != '[') return false;
    ++i;
    if (!digits(i, 1, 3) || i >= s.size() || s[i] != ':') return false;
    ++i;
    if (!digits(i, 2, 2)) return false;
    if (i < s.size() && (s[i] == '.' || s[i] == ':')) {
        ++i;
        if (!digits(i, 1, 3)) return false;
    }
    return i < s.size() && s[i] == ']';
}

}  // namespace

std::string LyricsLookup::restoredLyricLines(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text.compare(i, 2, ", ") == 0 && timeStampAt(text, i + 2)) {
            out += '\n';
            ++i;
            continue;
        }
        out += text[i];
    }
    return out;
}

}  // namespace veltrane::lyrics
