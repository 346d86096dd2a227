#include "ControlDeckCore/lyrics/LyricsLookup.h"

#include "ControlDeckCore/media/Playhead.h"
#include "platform/text/LatinTransliteration.h"
#include "platform/text/UnicodeText.h"
#include "platform/text/Whitespace.h"

namespace veltrane::lyrics {

namespace {

// Passes of the innermost-group removal: groups nested deeper keep their
// outer levels.
constexpr int kParenthesisPasses = 4;

std::string_view orEmpty(const OptionalText& s) { return s ? std::string_view(*s) : std::string_view(); }

std::string trimmed(std::string_view s) { return std::string(text::trimmingWhitespaceAndNewlines(s)); }

std::string collapsedAndTrimmed(std::string_view s) { return trimmed(text::collapsingWhitespace(s)); }

// Every "(" … ")" holding no parenthesis replaced by one space.
std::string withoutInnermostGroups(std::string_view s) {
    std::string out;
    std::size_t copied = 0;
    std::size_t open = std::string_view::npos;
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '(') {
            open = i;
        } else if (s[i] == ')' && open != std::string_view::npos) {
            out.append(s.substr(copied, open - copied));
            out += ' ';
            copied = i + 1;
            open = std::string_view::npos;
        }
    }
    out.append(s.substr(copied));
    return out;
}

// Every "(" up to the next ")" replaced by one space, inner "(" included.
std::string withoutGroupsToFirstClose(std::string_view s) {
    std::string out;
    std::size_t copied = 0;
    for (std::size_t open = s.find('('); open != std::string_view::npos; open = s.find('(', copied)) {
        const std::size_t close = s.find(')', open + 1);
        if (close == std::string_view::npos) break;
        out.append(s.substr(copied, open - copied));
        out += ' ';
        copied = close + 1;
    }
    out.append(s.substr(copied));
    return out;
}

bool contains(std::string_view text, std::string_view part) {
    return !part.empty() && text.find(part) != std::string_view::npos;
}

}  // namespace

std::string LyricsLookup::stripParentheticals(std::string_view s) {
    std::string current = trimmed(s);
    for (int pass = 0; pass < kParenthesisPasses; ++pass) {
        std::string next = withoutInnermostGroups(current);
        if (next == current) break;
        current = std::move(next);
    }
    return collapsedAndTrimmed(current);
}

std::string LyricsLookup::versionlessTitle(std::string_view s) {
    const std::string base = stripParentheticals(s);
    for (std::string_view separator : {std::string_view(" - "), std::string_view("-")}) {
        const std::size_t at = base.find(separator);
        if (at == std::string::npos) continue;
        const std::string before = trimmed(std::string_view(base).substr(0, at));
        if (!before.empty() && text::containsIdeographic(before)) return before;
    }
    return base;
}

std::string LyricsLookup::aliasKey(const OptionalText& s) {
    const std::string lower = text::lowercased(stripParentheticals(orEmpty(s)));
    std::string out;
    out.reserve(lower.size());
    static constexpr std::string_view kRightQuote = "\xE2\x80\x99";
    for (std::size_t i = 0; i < lower.size(); ++i) {
        if (lower[i] == '\'') continue;
        if (lower.compare(i, kRightQuote.size(), kRightQuote) == 0) {
            i += kRightQuote.size() - 1;
            continue;
        }
        out += lower[i];
    }
    return collapsedAndTrimmed(out);
}

std::string LyricsLookup::foldCJK(const OptionalText& s) {
    const std::string start = trimmed(orEmpty(s));
    if (start.empty()) return {};
    const std::string latin = text::latinTransliteration(withoutGroupsToFirstClose(start));
    return collapsedAndTrimmed(text::lowercased(latin));
}

std::string LyricsLookup::foldArtist(const OptionalText& s) {
    std::string folded = foldCJK(s);
    if (!folded.empty()) return folded;
    return collapsedAndTrimmed(withoutGroupsToFirstClose(media::Playhead::artistKey(s)));
}

bool LyricsLookup::artistsCompatible(const OptionalText& a, const OptionalText& b, const AliasTables& tables) {
    const std::string fa = foldArtist(a), fb = foldArtist(b);
    if (fa.empty()) return fb.empty();
    if (fb.empty()) return false;
    if (fa == fb || contains(fa, fb) || contains(fb, fa)) return true;
    const auto aa = artistAlias(a, tables), ab = artistAlias(b, tables);
    const std::string ga = foldArtist(aa ? aa : a), gb = foldArtist(ab ? ab : b);
    return ga == gb || contains(ga, gb) || contains(gb, ga);
}

OptionalText LyricsLookup::hanValue(const OptionalText& s) {
    std::string t = trimmed(orEmpty(s));
    if (t.empty() || !text::containsIdeographic(t)) return std::nullopt;
    return t;
}

OptionalText LyricsLookup::artistAlias(const OptionalText& artist, const AliasTables& tables) {
    const std::string key = media::Playhead::artistKey(trimmed(orEmpty(artist)));
    if (key.empty()) return std::nullopt;
    for (const auto& rule : tables.artists) {
        for (const auto& match : rule.matches) {
            bool hit = false;
            switch (match.kind) {
            case ArtistMatch::Kind::contains: hit = contains(key, match.text); break;
            case ArtistMatch::Kind::equals: hit = key == match.text; break;
            case ArtistMatch::Kind::containsBoth: hit = contains(key, match.text) && contains(key, match.second); break;
            }
            if (hit) return rule.result;
        }
    }
    return std::nullopt;
}

namespace {

OptionalText groupAlias(const std::vector<AliasGroup>& groups, const std::string& key, const OptionalText& artist,
                        const AliasTables& tables) {
    if (key.empty()) return std::nullopt;
    const auto han = LyricsLookup::artistAlias(artist, tables);
    const std::string artistKey = media::Playhead::artistKey(artist);
    for (const auto& group : groups) {
        const bool applies = (han && *han == group.hanArtist) ||
                             (group.exactArtist ? artistKey == group.romanArtist : contains(artistKey, group.romanArtist));
        if (!applies) continue;
        for (const auto& rule : group.rules)
            for (const auto& candidate : rule.keys)
                if (candidate == key) return rule.result;
    }
    return std::nullopt;
}

}  // namespace

OptionalText LyricsLookup::titleAlias(std::string_view title, const OptionalText& artist, const AliasTables& tables) {
    return groupAlias(tables.titles, aliasKey(std::string(title)), artist, tables);
}

OptionalText LyricsLookup::albumAlias(const OptionalText& album, const OptionalText& artist,
                                      const AliasTables& tables) {
    return groupAlias(tables.albums, aliasKey(album), artist, tables);
}

}  // namespace veltrane::lyrics
