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

// The lookup's operations, one namespace over several files: the name rules
// here are pure functions (any thread; an absent text counts as empty).
namespace LyricsLookup {
// Up to four nesting levels of ASCII "( … )" groups removed, white space
// collapsed, trimmed.
std::string stripParentheticals(std::string_view s);
// The stripped title, cut before a dash when the part before it is in
// Chinese characters.
std::string versionlessTitle(std::string_view s);
// A title or album as the alias tables key it: stripped, lower case,
// without apostrophes.
std::string aliasKey(const OptionalText& s);
// Latin, lower case, accent-free: names in traditional and simplified
// characters of the same reading fold alike.
std::string foldCJK(const OptionalText& s);
std::string foldArtist(const OptionalText& s);
bool artistsCompatible(const OptionalText& a, const OptionalText& b,
                       const AliasTables& tables = AliasTables::shipped());
// The trimmed text when it holds a Chinese character.
OptionalText hanValue(const OptionalText& s);

OptionalText artistAlias(const OptionalText& artist, const AliasTables& tables = AliasTables::shipped());
OptionalText titleAlias(std::string_view title, const OptionalText& artist,
                        const AliasTables& tables = AliasTables::shipped());
OptionalText albumAlias(const OptionalText& album, const OptionalText& artist,
                        const AliasTables& tables = AliasTables::shipped());
}  // namespace LyricsLookup

}  // namespace veltrane::lyrics
