#include <gtest/gtest.h>

#include "platform/system/UserDirectories.h"
#include "tests/support/XvfbServer.h"

using namespace veltrane;
using testsupport::ScopedEnv;

TEST(UserDirectories, ConfigHomeFollowsTheBaseDirectoryRules) {
    ScopedEnv home("HOME", "/home/u");
    for (auto [value, expected] : {std::pair<const char*, const char*>{"/etc/xdg-u", "/etc/xdg-u"},
                                   {nullptr, "/home/u/.config"},
                                   {"", "/home/u/.config"},
                                   {"relative/config", "/home/u/.config"}}) {
        ScopedEnv config("XDG_CONFIG_HOME", value);
        EXPECT_EQ(sys::userConfigHome(), std::filesystem::path(expected)) << (value ? value : "(unset)");
    }
}
