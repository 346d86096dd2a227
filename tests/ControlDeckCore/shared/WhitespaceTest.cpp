#include <gtest/gtest.h>

#include "ControlDeckCore/shared/Whitespace.h"

using veltrane::deck::trimmingWhitespaceAndNewlines;

TEST(Whitespace, TrimsUnicodeSpacesAndLineBreaksAtBothEnds) {
    struct Case {
        const char* text;
        const char* expected;
    };
    const Case cases[] = {
        {"  a b  ", "a b"},
        {"\t\n\v\f\r x \r\n", "x"},
        {"\u00A0\u3000name\u2028\u2029", "name"},
        {"\u0085\u1680\u2000\u200A\u202F\u205F", ""},
        {" \n ", ""},
        {"", ""},
        {"\u200B x", "\u200B x"},  // zero-width space is not white space
        {"x\u00A0y", "x\u00A0y"},  // inside stays
        {"\xC2", "\xC2"},          // a cut sequence is not white space
    };
    for (const auto& c : cases) EXPECT_EQ(trimmingWhitespaceAndNewlines(c.text), c.expected) << c.text;
}
