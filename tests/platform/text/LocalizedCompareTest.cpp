#include <gtest/gtest.h>

#include <algorithm>

#include "platform/text/LocalizedCompare.h"

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
