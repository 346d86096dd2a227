#include <gtest/gtest.h>

#include "platform/text/UTF8.h"

namespace utf8 = veltrane::text::utf8;

TEST(UTF8, ValidationAndCutTails) {
    EXPECT_TRUE(utf8::isValid("ascii \u00E9\u4E2D\U0001F600"));
    for (const char* bad : {"\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE4\xB8", "\x80"})
        EXPECT_FALSE(utf8::isValid(bad));
    const std::string han = "ab\u4E2D";  // 5 bytes
    EXPECT_EQ(utf8::withoutCutTail(han), 5u);
    EXPECT_EQ(utf8::withoutCutTail(han.substr(0, 4)), 2u);
    EXPECT_EQ(utf8::withoutCutTail(han.substr(0, 3)), 2u);
    EXPECT_EQ(utf8::withoutCutTail("\xF0\x9F\x98"), 0u);
    EXPECT_EQ(utf8::sanitized("a\xFF"
                              "b"),
              "a\xEF\xBF\xBD"
              "b");
}

// Validation skips ASCII a word at a time: a bad or good sequence must be
// judged the same at every offset, across word boundaries and in the tail.
TEST(UTF8, ValidationIsTheSameAtEveryOffset) {
    const std::pair<std::string, bool> sequences[] = {
        {"\xC0\x80", false}, {"\xED\xA0\x80", false}, {"\xF4\x90\x80\x80", false},
        {"\xE4\xB8", false}, {"\x80", false},         {"\xFF", false},
        {"\u00E9", true},    {"\u4E2D", true},        {"\U0001F600", true}};
    for (const auto& [sequence, valid] : sequences) {
        for (std::size_t before = 0; before <= 19; ++before) {
            for (std::size_t after : {0, 1, 7, 8, 9}) {
                const std::string text = std::string(before, 'a') + sequence + std::string(after, 'b');
                EXPECT_EQ(utf8::isValid(text), valid) << before << " + " << sequence.size() << " + " << after;
            }
        }
    }
}
