#include "ControlDeckCore/lyrics/LyricsLookup.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace veltrane::lyrics {
namespace {

struct TextCase {
    OptionalText input;
    std::string expected;
};

template <class Function>
void expectEach(const std::vector<TextCase>& cases, Function function) {
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input.value_or("<absent>"));
        EXPECT_EQ(function(c.input), c.expected);
    }
}

TEST(LyricsLookupTest, StripParentheticalsRemovesAsciiGroupsUpToFourDeep) {
    const std::vector<TextCase> cases = {
        {"Song (Live)", "Song"},
        {"Song (Live (2019 Tour)) End", "Song End"},
        {"  A \t (x)  B  ", "A B"},
        {"a(1(2(3(4(5)))))b", "a(1 )b"},
        {"Song（Live）[Remix]", "Song（Live）[Remix]"},
        {"(unclosed", "(unclosed"},
        {"()", ""},
    };
    expectEach(cases, [](const OptionalText& s) { return LyricsLookup::stripParentheticals(*s); });
}

TEST(LyricsLookupTest, VersionlessTitleCutsOnlyAfterChineseText) {
    const std::vector<TextCase> cases = {
        {"晴天 - Live版", "晴天"},
        {"晴天-remix", "晴天"},
        {"Hello - World (Live)", "Hello - World"},
        {"Hello-晴天", "Hello-晴天"},
        {"- 晴天", "- 晴天"},
    };
    expectEach(cases, [](const OptionalText& s) { return LyricsLookup::versionlessTitle(*s); });
}

TEST(LyricsLookupTest, FoldsMakeNamesComparable) {
    EXPECT_EQ(LyricsLookup::aliasKey("Don\u2019t  Stop (Live)"), "dont stop");
    EXPECT_EQ(LyricsLookup::aliasKey("DON'T STOP"), "dont stop");
    EXPECT_EQ(LyricsLookup::aliasKey(std::nullopt), "");

    const std::vector<TextCase> folds = {
        {"周杰倫", "zhou jie lun"},
        {"周杰伦", "zhou jie lun"},
        {std::nullopt, ""},
        {" \u3000 ", ""},
        {"Beyoncé  (Live (x) y", "beyonce y"},
        {"Ünder(x", "under (x"},
    };
    expectEach(folds, [](const OptionalText& s) { return LyricsLookup::foldCJK(s); });
    EXPECT_EQ(LyricsLookup::foldArtist("(solo)"), "");
    EXPECT_EQ(LyricsLookup::foldArtist("B & 周杰倫"), "b & zhou jie lun");
}

TEST(LyricsLookupTest, HanValueNeedsAnIdeograph) {
    EXPECT_FALSE(LyricsLookup::hanValue("Hello"));
    EXPECT_FALSE(LyricsLookup::hanValue(std::nullopt));
    EXPECT_FALSE(LyricsLookup::hanValue("  "));
    EXPECT_EQ(LyricsLookup::hanValue(" Hi 你 there "), "Hi 你 there");
}

AliasTables sampleTables() {
    using Kind = ArtistMatch::Kind;
    AliasTables t;
    t.artists = {
        {{{Kind::contains, "lanmo band", ""}}, "藍墨樂隊"},
        {{{Kind::contains, "lanmo", ""}}, "藍墨"},
        {{{Kind::contains, "hui guang", ""}, {Kind::contains, "huiguang", ""}}, "輝光"},
        {{{Kind::containsBoth, "river", "stone"}}, "石河"},
        {{{Kind::equals, "sz", ""}}, "山子"},
        {{{Kind::equals, "qy", ""}, {Kind::contains, "qingyu", ""}}, "青雨"},
    };
    t.titles = {
        {"藍墨", "lanmo", false, {{{"night rain", "ye yu"}, "夜雨"}, {{"dont go"}, "別走"}}},
        {"山子", "sz", true, {{{"night rain"}, "山夜雨"}}},
        {"藍墨", "lanmo", false, {{{"extra"}, "額外"}}},
    };
    t.albums = {{"藍墨", "lanmo", false, {{{"first light"}, "初光"}}}};
    return t;
}

TEST(LyricsLookupTest, ArtistAliasTriesRulesInOrder) {
    const auto tables = sampleTables();
    const std::vector<std::pair<OptionalText, OptionalText>> cases = {
        {"Lanmo", "藍墨"},          {"Lanmo Band", "藍墨樂隊"}, {"Other & LANMO", "藍墨"},
        {"Huiguang", "輝光"},       {"hui guang trio", "輝光"}, {"Stone River", "石河"},
        {"River", std::nullopt},    {" SZ ", "山子"},           {"SZ & X", std::nullopt},
        {"qy", "青雨"},             {"Qingyu Live", "青雨"},    {"", std::nullopt},
        {std::nullopt, std::nullopt},
    };
    for (const auto& [artist, expected] : cases) {
        SCOPED_TRACE(artist.value_or("<absent>"));
        EXPECT_EQ(LyricsLookup::artistAlias(artist, tables), expected);
    }
    EXPECT_FALSE(LyricsLookup::artistAlias("Lanmo"));  // the shipped tables are empty
}

TEST(LyricsLookupTest, TitleAndAlbumAliasesNeedTheirArtist) {
    const auto tables = sampleTables();
    struct Case {
        const char* title;
        OptionalText artist;
        OptionalText expected;
    };
    const std::vector<Case> cases = {
        {"Night Rain (Live)", "Lanmo", "夜雨"},
        {"ye  yu", "Lanmo", "夜雨"},
        {"Don\u2019t Go", "lanmo & friend", "別走"},
        {"night rain", "SZ", "山夜雨"},
        {"night rain", "SZ & X", std::nullopt},
        {"Extra", "Lanmo", "額外"},
        {"Night Rain", "Unknown", std::nullopt},
        {"Other Song", "Lanmo", std::nullopt},
        {"", "Lanmo", std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.title);
        EXPECT_EQ(LyricsLookup::titleAlias(c.title, c.artist, tables), c.expected);
    }
    EXPECT_EQ(LyricsLookup::albumAlias("First Light", "Lanmo", tables), "初光");
    EXPECT_FALSE(LyricsLookup::albumAlias("First Light", "X", tables));
    EXPECT_FALSE(LyricsLookup::albumAlias(std::nullopt, "Lanmo", tables));
}

TEST(LyricsLookupTest, ArtistsCompatibleAcrossSubstringsScriptsAndAliases) {
    const auto tables = sampleTables();
    struct Case {
        OptionalText a;
        OptionalText b;
        bool expected;
    };
    const std::vector<Case> cases = {
        {std::nullopt, std::nullopt, true},
        {std::nullopt, "A", false},
        {"A", "", false},
        {"Someone", "Someone feat. Other", true},
        {"周杰倫", "周杰伦", true},
        {"A", "B", false},
        {"Lanmo", "藍墨", true},
        {"藍墨", "Lanmo", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.a.value_or("<absent>") + " | " + c.b.value_or("<absent>"));
        EXPECT_EQ(LyricsLookup::artistsCompatible(c.a, c.b, tables), c.expected);
    }
    EXPECT_FALSE(LyricsLookup::artistsCompatible("Lanmo", "藍墨"));  // no alias without the table
}

}  // namespace
}  // namespace veltrane::lyrics
