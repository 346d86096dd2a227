#pragma once
// Making titles and artist names comparable across the ways lyric services
// and players write them: parenthesised markers, subtitles, scripts,
// traditional and simplified characters, and the alias tables.

#include <optional>
#include <string>
#include <string_view>

#include "ControlDeckCore/lyrics/LyricsAliases.h"

namespace veltrane::lyrics {

using OptionalText = std::optional<std::string>;

// Pure functions; any thread. An absent text counts as empty.
struct LyricsLookup {
    // Up to four nesting levels of ASCII "( … )" groups removed, white space
    // collapsed, trimmed.
    static std::string stripParentheticals(std::string_view s);
    // The stripped title, cut before a dash when the part before it is in
    // Chinese characters.
    static std::string versionlessTitle(std::string_view s);
    // A title or album as the alias tables key it: stripped, lower case,
    // without apostrophes.
    static std::string aliasKey(const OptionalText& s);
    // Latin, lower case, accent-free: names in traditional and simplified
    // characters of the same reading fold alike.
    static std::string foldCJK(const OptionalText& s);
    static std::string foldArtist(const OptionalText& s);
    static bool artistsCompatible(const OptionalText& a, const OptionalText& b,
                                  const AliasTables& tables = AliasTables::shipped());
    // The trimmed text when it holds a Chinese character.
    static OptionalText hanValue(const OptionalText& s);

    static OptionalText artistAlias(const OptionalText& artist, const AliasTables& tables = AliasTables::shipped());
    static OptionalText titleAlias(std::string_view title, const OptionalText& artist,
                                   const AliasTables& tables = AliasTables::shipped());
    static OptionalText albumAlias(const OptionalText& album, const OptionalText& artist,
                                   const AliasTables& tables = AliasTables::shipped());
};

}  // namespace veltrane::lyrics
