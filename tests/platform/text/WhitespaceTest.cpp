#include "platform/text/Whitespace.h"

#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "platform/text/LatinTransliteration.h"
#include "platform/text/UnicodeText.h"

namespace veltrane::text {
namespace {

TEST(WhitespaceTest, TrimsItsOwnSetOnly) {
    struct Case {
        std::string input, spaces, whitespace;
    };
    const std::vector<Case> cases = {
        {" \t a b \t ", "a b", "a b"},
        {"\u3000\u00A0x\u2003\u202F", "x", "x"},
        {"\n x \r", "\n x \r", "x"},
        {"\u2028x\u0085", "\u2028x\u0085", "x"},
        {"\v\fx", "\v\fx", "x"},
        {"   ", "", ""},
        {"\xE3\x80 x", "\xE3\x80 x", "\xE3\x80 x"},  // a cut ideographic space is not white space
        {" x\xA0", "x\xA0", "x\xA0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.input);
        EXPECT_EQ(trimmingSpaces(c.input), c.spaces);
        EXPECT_EQ(trimmingWhitespaceAndNewlines(c.input), c.whitespace);
    }
    EXPECT_EQ(collapsingWhitespace(" a\t\n b\u3000\u2029c  "), " a b c ");
}

TEST(WhitespaceTest, RepairsInvalidUTF8AsTheUsualDecodersDo) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"plain é 周", "plain é 周"},
        {"a\xFF" "b", "a\uFFFD" "b"},
        {"\xE3\x80", "\uFFFD"},                      // one maximal subpart
        {"\xE3\x80x\xE3", "\uFFFDx\uFFFD"},
        {"\xED\xA0\x80", "\uFFFD\uFFFD\uFFFD"},      // a surrogate is three bad bytes
        {"\xF4\x90\x80\x80", "\uFFFD\uFFFD\uFFFD\uFFFD"},
        {"\xC0\xAF", "\uFFFD\uFFFD"},
        {"\xEF\xBF\xBD", "\uFFFD"},
    };
    for (const auto& [input, repaired] : cases) EXPECT_EQ(repairedUTF8(input), repaired);
}

TEST(LatinTransliterationTest, FoldsHanReadingsAndAccentsFromManyThreads) {
    EXPECT_EQ(latinTransliteration("周杰倫"), latinTransliteration("周杰伦"));
    EXPECT_EQ(lowercased(latinTransliteration("周杰倫")), "zhou jie lun");
    EXPECT_EQ(latinTransliteration("Beyoncé"), "Beyonce");
    EXPECT_TRUE(containsIdeographic("x 你"));
    EXPECT_FALSE(containsIdeographic("hello あ"));

    std::vector<std::thread> threads;
    std::vector<std::string> results(8);
    for (std::size_t i = 0; i < results.size(); ++i)
        threads.emplace_back([&, i] {
            for (int k = 0; k < 50; ++k) results[i] = latinTransliteration(i % 2 ? "晴天" : "晴天");
        });
    for (auto& t : threads) t.join();
    for (const auto& r : results) EXPECT_EQ(r, "qing tian");
}

}  // namespace
}  // namespace veltrane::text
