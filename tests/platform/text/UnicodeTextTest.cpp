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
