#include <gtest/gtest.h>

#include "platform/text/UnicodeText.h"

using veltrane::text::numericCharacters;

TEST(UnicodeText, KeepsNumericCharactersOfAnyScriptWhole) {
    struct Case {
        const char* input;
        const char* kept;
    } cases[] = {
        {"", ""},
        {"123456", "123456"},
        {" 12-34 56\t", "123456"},
        {"code: 0a0b7", "007"},
        {"\u0661\u0662\u0663", "\u0661\u0662\u0663"},  // Arabic-Indic digits
        {"\uFF11\uFF12", "\uFF11\uFF12"},              // full-width digits
        {"1\u00BD", "1\u00BD"},                        // vulgar fraction one half
        {"\u2167x\u2460", "\u2167\u2460"},             // Roman numeral eight, circled one
        {"\u4E09", "\u4E09"},                          // CJK ideograph three has a numeric value
        {"6\u0301", "6\u0301"},                        // a digit with a combining accent is one character
        {"\u0301" "6", "6"},                           // a lone mark before it is not
        {"\xFF" "1\xC3", "1"},                         // invalid bytes are dropped
    };
    for (const auto& c : cases) EXPECT_EQ(numericCharacters(c.input), c.kept) << c.input;
}

TEST(UnicodeText, CountsUserPerceivedCharacters) {
    EXPECT_EQ(veltrane::text::characterCount(""), 0u);
    EXPECT_EQ(veltrane::text::characterCount("abc"), 3u);
    EXPECT_EQ(veltrane::text::characterCount("e\u0301"), 1u);                        // e + combining acute
    EXPECT_EQ(veltrane::text::characterCount("\U0001F469\u200D\U0001F4BB"), 1u);     // ZWJ sequence
    EXPECT_EQ(veltrane::text::characterCount("\u6587\u4EF6"), 2u);
}

TEST(UnicodeText, PrefixNeverSplitsACharacter) {
    using veltrane::text::characterPrefixLength;
    const std::size_t any = 1000;
    struct Case {
        std::string text;
        std::size_t maxCharacters, maxBytes, length;
    } cases[] = {
        {"", 3, 3, 0},
        {"abcdef", 3, any, 3},
        {"abcdef", any, 4, 4},
        {"abcdef", any, any, 6},
        {"\u6587\u4EF6\u540D", any, 7, 6},   // three 3-byte characters: the third does not fit in 7
        {"\u6587\u4EF6\u540D", 1, any, 3},
        {"ae\u0301b", any, 3, 1},             // "é" as e + mark (3 bytes) stays whole: only "a"
        {"ae\u0301b", 2, any, 4},             // the second character is e + mark
        {"\U0001F469\u200D\U0001F4BBx", any, 10, 0},  // an 11-byte character does not fit in 10
    };
    for (const auto& c : cases)
        EXPECT_EQ(characterPrefixLength(c.text, c.maxCharacters, c.maxBytes), c.length)
            << c.text << " " << c.maxCharacters << " " << c.maxBytes;
}

TEST(UnicodeText, LowerCasesByUnicodeRules) {
    EXPECT_EQ(veltrane::text::lowercased("Text/HTML"), "text/html");
    EXPECT_EQ(veltrane::text::lowercased("\u00C9T\u00C9"), "\u00E9t\u00E9");  // ÉTÉ
    EXPECT_EQ(veltrane::text::lowercased("A\xFF"), "a\uFFFD");
}
