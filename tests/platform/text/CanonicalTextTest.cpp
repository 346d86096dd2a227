#include <gtest/gtest.h>

#include "platform/text/CanonicalText.h"

using veltrane::text::nfc;

TEST(CanonicalText, ComposesEquivalentForms) {
    EXPECT_EQ(nfc("e\u0301"), "\u00E9");
    EXPECT_EQ(nfc("\u00E9"), "\u00E9");
    EXPECT_EQ(nfc("\u1100\u1161"), "\uAC00");          // Hangul jamo compose
    EXPECT_EQ(nfc("\u212B"), "\u00C5");                 // ANGSTROM SIGN is canonically Å
    EXPECT_EQ(nfc("q\u0307\u0323"), "q\u0323\u0307");   // combining marks reordered
    EXPECT_EQ(nfc("\uFB01"), "\uFB01");                 // a compatibility ligature stays
    EXPECT_EQ(nfc(""), "");
    EXPECT_EQ(nfc(std::string("a\0b", 3)), std::string("a\0b", 3));
}

TEST(CanonicalText, InvalidBytesBecomeReplacementCharacters) {
    EXPECT_EQ(nfc("a\xFF" "b"), "a\uFFFD" "b");
}
