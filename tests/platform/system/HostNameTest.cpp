#include <gtest/gtest.h>

#include "platform/system/HostName.h"

using veltrane::sys::prettyHostNameFromMachineInfo;

TEST(HostName, ReadsPrettyNameFromMachineInfo) {
    struct Case {
        const char* text;
        std::optional<std::string> expected;
    };
    const Case cases[] = {
        {"PRETTY_HOSTNAME=\"Ann's Laptop\"\nICON_NAME=computer-laptop\n", "Ann's Laptop"},
        {"PRETTY_HOSTNAME='Büro \"2\"'", "Büro \"2\""},
        {"PRETTY_HOSTNAME=plain", "plain"},
        {"PRETTY_HOSTNAME=\"say \\\"hi\\\"\"", "say \"hi\""},
        {"CHASSIS=laptop\n", std::nullopt},
        {"PRETTY_HOSTNAME=\"\"", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(prettyHostNameFromMachineInfo(c.text), c.expected) << c.text;
}
