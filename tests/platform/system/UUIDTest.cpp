#include <gtest/gtest.h>

#include <regex>

#include "platform/system/UUID.h"

TEST(UUID, UpperCaseVersionFour) {
    std::regex shape("[0-9A-F]{8}-[0-9A-F]{4}-4[0-9A-F]{3}-[89AB][0-9A-F]{3}-[0-9A-F]{12}");
    auto a = veltrane::sys::uuidString();
    EXPECT_TRUE(std::regex_match(a, shape)) << a;
    EXPECT_NE(a, veltrane::sys::uuidString());
}
