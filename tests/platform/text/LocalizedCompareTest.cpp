#include <gtest/gtest.h>

#include <algorithm>

#include "platform/text/LocalizedCompare.h"

using veltrane::text::caseInsensitiveEquals;
using veltrane::text::localizedCaseInsensitiveCompare;

TEST(LocalizedCompare, IgnoresCaseButNotLetters) {
    EXPECT_EQ(localizedCaseInsensitiveCompare("Files", "files"), 0);
    EXPECT_LT(localizedCaseInsensitiveCompare("Apple", "banana"), 0);
    EXPECT_LT(localizedCaseInsensitiveCompare("banana", "Cherry"), 0);
    EXPECT_GT(localizedCaseInsensitiveCompare("zebra", "Äpfel"), 0);
    EXPECT_NE(localizedCaseInsensitiveCompare("resume", "résumé"), 0) << "accents still count";
}

TEST(LocalizedCompare, SortsNamesAsPeopleRead) {
    std::vector<std::string> names{"Cherry", "banana", "Apple", "Äpfel", "apricot"};
    std::stable_sort(names.begin(), names.end(),
                     [](const auto& a, const auto& b) { return localizedCaseInsensitiveCompare(a, b) < 0; });
    EXPECT_EQ(names, (std::vector<std::string>{"Äpfel", "Apple", "apricot", "banana", "Cherry"}));
}

TEST(CaseInsensitiveEquals, FoldsCaseOnly) {
    struct Case {
        const char* a;
        const char* b;
        bool equal;
    };
    for (auto c : {Case{"Safari", "sAFARI", true}, Case{"Straße", "STRASSE", true}, Case{"ÉCOLE", "école", true},
                   Case{"école", "ecole", false}, Case{"Tea", "Tea ", false}, Case{"", "", true},
                   Case{"a\xff", "A\xff", true}})
        EXPECT_EQ(caseInsensitiveEquals(c.a, c.b), c.equal) << c.a << " / " << c.b;
}
