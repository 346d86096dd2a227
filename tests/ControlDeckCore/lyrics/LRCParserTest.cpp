#include "ControlDeckCore/lyrics/LRCParser.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "ControlDeckCore/lyrics/LyricClock.h"

namespace veltrane::lyrics {
namespace {

using Lines = std::vector<LyricsLine>;

struct ParseCase {
    const char* name;
    std::string text;
    Lines expected;
};

TEST(LRCParserTest, ReadsStampsTagsAndOffsetsAsWritten) {
    const std::vector<ParseCase> cases = {
        {"two-digit fraction", "[00:12.34]Hello", {{12.34, "Hello"}}},
        {"one-digit fraction", "[01:02.5]x", {{62.5, "x"}}},
        {"three-digit fraction", "[00:01.005]x", {{1.005, "x"}}},
        {"colon before the fraction", "[00:01:50]x", {{1.5, "x"}}},
        {"seconds above 59, three minute digits", "[00:75]a\n[100:00]b", {{75, "a"}, {6000, "b"}}},
        {"several stamps share the text", "[00:01.00][00:05.00]Chorus", {{1, "Chorus"}, {5, "Chorus"}}},
        {"stamp alone is a gap", "[00:10.00]", {{10, ""}}},
        {"tags and plain text give nothing", "[ti:name]\nno stamp here\n[ar:x]", {}},
        {"empty text", "", {}},
        {"text between stamps is dropped", "[00:01]x[00:02] y ", {{1, "y"}, {2, "y"}}},
        {"stamp after text", "lead [00:03]tail", {{3, "tail"}}},
        {"malformed stamps", "[0000:01]a\n[00:1]b\n[00:01.1234]c\n[00:01.]d\n[:01]e\n[00:012]f", {}},
        {"stamp inside brackets", "[[00:04]x]", {{4, "x]"}}},
        {"Unicode spaces trimmed", "\u3000\t[00:02]\u00A0 word\u2003", {{2, "word"}}},
        {"offset before", "[offset:+500]\n[00:01]a", {{1.5, "a"}}},
        {"offset after", "[00:01]a\n[offset:500]", {{1.5, "a"}}},
        {"offset upper case, blank after colon", "[OFFSET: -2000]\n[00:01.50]a\n[00:05]b", {{0, "a"}, {3, "b"}}},
        {"last offset counts", "[offset:1000]\n[00:01]a\n[Offset : -500]", {{0.5, "a"}}},
        {"offset piece with stamps yields nothing", "[00:01]a[offset:100]\n[00:02]b", {{2.1, "b"}}},
        {"offset past 64 bits is ignored", "[offset:250]\n[offset:99999999999999999999]\n[00:01]a",
         {{1.25, "a"}}},
        {"lowest 64-bit offset", "[offset:-9223372036854775808]\n[00:01]a", {{0, "a"}}},
        {"unsorted lines sort, ties keep order", "[00:05]c\n[00:01]a\n[00:05]d\n[00:02]b",
         {{1, "a"}, {2, "b"}, {5, "c"}, {5, "d"}}},
        {"carriage returns anywhere", "[00:0\r1]a\r\r\n[00:02]b\rc", {{1, "a"}, {2, "bc"}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const auto lines = LRCParser::parse(c.text);
        ASSERT_EQ(lines.size(), c.expected.size());
        for (std::size_t i = 0; i < lines.size(); ++i) {
            EXPECT_NEAR(lines[i].time, c.expected[i].time, 1e-12) << i;
            EXPECT_EQ(lines[i].text, c.expected[i].text) << i;
        }
    }
}

TEST(LRCParserTest, CarriageReturnLineFeedReadsLikeLineFeed) {
    const std::string lf = "[ar:someone]\n[00:01.00]one\n\n[00:02.50][00:09]two\n[offset:-100]\n";
    std::string crlf;
    for (char c : lf) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    EXPECT_EQ(LRCParser::parse(crlf), LRCParser::parse(lf));
}

TEST(LRCParserTest, OrdinaryManyStampFilesKeepEveryLine) {
    std::string text;
    for (int line = 0; line < 200; ++line) {
        for (int stamp = 0; stamp < 10; ++stamp) text += "[" + std::to_string(10 + stamp) + ":" + std::to_string(10 + line % 50) + "]";
        text += "a line of ordinary length, " + std::to_string(line) + "\n";
    }
    EXPECT_EQ(LRCParser::parse(text).size(), 2000u);
}

TEST(LRCParserTest, OneLineOfManyStampsStopsAtTheTextBudget) {
    std::string stamps;
    for (int i = 0; i < 50000; ++i) stamps += "[00:01]";
    const std::string text = stamps + std::string(650000, 'x');
    const auto lines = LRCParser::parse(text);
    const std::size_t budget = LRCParser::textBudget(text.size());
    EXPECT_EQ(lines.size(), budget / 650000);
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front().text.size(), 650000u);
}

TEST(LRCParserTest, LinesAfterTheBudgetIsSpentAreNotAddedButOffsetsStillApply) {
    std::string text;
    for (int i = 0; i < 40; ++i) text += "[00:01]";
    text += std::string(100000, 'x') + "\n[00:00.50]small\n[offset:1000]";
    const auto lines = LRCParser::parse(text);
    const std::size_t budget = LRCParser::textBudget(text.size());
    ASSERT_GT(budget, LRCParser::kTextBudgetFloor);
    ASSERT_EQ(lines.size(), budget / 100000);
    for (const auto& line : lines) {
        EXPECT_EQ(line.time, 2.0);
        EXPECT_EQ(line.text.size(), 100000u);
    }
    EXPECT_EQ(LRCParser::textBudget(10), LRCParser::kTextBudgetFloor);
}

TEST(LyricsRecordsTest, EqualityComparesTextsByCanonicalEquivalence) {
    EXPECT_EQ((LyricsLine{1, "Caf\u00E9"}), (LyricsLine{1, "Cafe\u0301"}));
    EXPECT_NE((LyricsLine{1, "a"}), (LyricsLine{1.5, "a"}));
    LyricsSnapshot a{"lrclib", true, {{1, "Caf\u00E9"}}, std::nullopt};
    LyricsSnapshot b{"lrclib", true, {{1, "Cafe\u0301"}}, std::nullopt};
    EXPECT_EQ(a, b);
    b.plain = "";
    EXPECT_NE(a, b);
    a.plain = "\u00C5";
    b.plain = "A\u030A";
    EXPECT_EQ(a, b);
    b.lines.push_back({2, "x"});
    EXPECT_NE(a, b);
    b = a;
    b.synced = false;
    EXPECT_NE(a, b);
}

TEST(LyricClockTest, PicksTheLastStartedNonBlankLine) {
    const Lines lines = {{0, "A"}, {5, ""}, {10, "B"}};
    struct Case {
        double elapsed;
        std::optional<std::size_t> index;
        const char* text;
    };
    const Case cases[] = {{7, 0, "A"}, {12, 2, "B"}, {-1, std::nullopt, ""}, {0, 0, "A"},
                          {10, 2, "B"}, {std::nan(""), std::nullopt, ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.elapsed);
        const auto line = LyricClock::line(lines, c.elapsed);
        ASSERT_EQ(line.has_value(), c.index.has_value());
        if (!line) continue;
        EXPECT_EQ(line->index, *c.index);
        EXPECT_EQ(line->text, c.text);
    }
}

TEST(LyricClockTest, BlankLinesOnlyGiveNothingAndTextComesBackUntrimmed) {
    EXPECT_FALSE(LyricClock::line({{0, " "}, {5, ""}}, 100));
    EXPECT_FALSE(LyricClock::line({}, 1));
    const auto line = LyricClock::line({{0, " padded\u3000"}, {3, "\n"}}, 4);
    ASSERT_TRUE(line);
    EXPECT_EQ(line->index, 0u);
    EXPECT_EQ(line->text, " padded\u3000");
    // Unsorted input: the highest index that has started wins.
    const auto unsorted = LyricClock::line({{1, "late"}, {9, "x"}, {2, "last started"}}, 5);
    ASSERT_TRUE(unsorted);
    EXPECT_EQ(unsorted->index, 2u);
}

}  // namespace
}  // namespace veltrane::lyrics
