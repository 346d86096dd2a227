#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

#include "platform/fs/UserDirectories.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/TempDirectory.h"

using namespace veltrane::fs;
using veltrane::testing::ScopedEnvironment;
using veltrane::testing::TempDirectory;

TEST(UserDirectories, ReadsDownloadDirFromUserDirs) {
    struct Case {
        const char* text;
        std::optional<Path> expected;
    };
    const Path home = "/home/ann";
    const Case cases[] = {
        {"XDG_DOWNLOAD_DIR=\"$HOME/Downloads\"\n", Path("/home/ann/Downloads")},
        {"# comment\nXDG_DESKTOP_DIR=\"$HOME/Desktop\"\nXDG_DOWNLOAD_DIR=\"$HOME/Téléchargements\"\n",
         Path("/home/ann/Téléchargements")},
        {"XDG_DOWNLOAD_DIR=\"/srv/incoming\"", Path("/srv/incoming")},
        {"XDG_DOWNLOAD_DIR=\"$HOME/My\\ \\\"Files\\\"\"", Path("/home/ann/My \"Files\"")},
        {"XDG_DOWNLOAD_DIR=\"$HOME/\"", home},
        {"XDG_DOWNLOAD_DIR=\"$HOME/a\"\nXDG_DOWNLOAD_DIR=\"$HOME/b\"", Path("/home/ann/b")},
        {"XDG_DOWNLOAD_DIR=\"relative/path\"", std::nullopt},
        {"XDG_DOWNLOAD_DIR=$HOME/unquoted", std::nullopt},
        {"XDG_DOWNLOAD_DIRECTORY=\"$HOME/x\"", std::nullopt},
        {"XDG_DOWNLOAD_DIR=\"$HOMEx\"", std::nullopt},
        {"", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(downloadDirectoryFromUserDirs(c.text, home), c.expected) << c.text;
}

TEST(UserDirectories, FollowsTheEnvironment) {
    TempDirectory dir;
    ScopedEnvironment environment;
    auto home = dir.path() / "home";
    auto config = dir.path() / "config";
    std::filesystem::create_directories(config);
    environment.set("HOME", home.c_str());
    environment.set("XDG_CONFIG_HOME", config.c_str());
    environment.unset("XDG_DATA_HOME");

    EXPECT_EQ(homeDirectory(), home);
    EXPECT_EQ(applicationSupportDirectory(), home / ".local" / "share");
    EXPECT_EQ(downloadsDirectory(), home / "Downloads") << "no user-dirs.dirs";

    std::ofstream(config / "user-dirs.dirs") << "XDG_DOWNLOAD_DIR=\"$HOME/Incoming\"\n";
    EXPECT_EQ(downloadsDirectory(), home / "Incoming");

    environment.set("XDG_DATA_HOME", (dir.path() / "data").c_str());
    EXPECT_EQ(applicationSupportDirectory(), dir.path() / "data");
    environment.set("XDG_DATA_HOME", "relative");
    EXPECT_EQ(applicationSupportDirectory(), home / ".local" / "share") << "relative values are ignored";
}

TEST(UserDirectories, ConfigurationAndSystemDataFolders) {
    ScopedEnvironment environment;
    environment.set("HOME", "/home/ann");
    struct Case {
        const char* value;
        std::optional<Path> expected;
    };
    for (const auto& c : {Case{"/etc/xdg-ann", Path("/etc/xdg-ann")}, Case{nullptr, Path("/home/ann/.config")},
                          Case{"", Path("/home/ann/.config")}, Case{"relative/config", Path("/home/ann/.config")}}) {
        if (c.value) environment.set("XDG_CONFIG_HOME", c.value);
        else environment.unset("XDG_CONFIG_HOME");
        EXPECT_EQ(configurationDirectory(), c.expected) << (c.value ? c.value : "(unset)");
    }

    struct Dirs {
        const char* value;
        std::vector<Path> expected;
    };
    const Dirs dirs[] = {
        {"/a:/b/", {"/a", "/b/"}},
        {nullptr, {"/usr/local/share", "/usr/share"}},
        {"", {"/usr/local/share", "/usr/share"}},
        {"relative:/only::", {"/only"}},
    };
    for (const auto& c : dirs) {
        if (c.value) environment.set("XDG_DATA_DIRS", c.value);
        else environment.unset("XDG_DATA_DIRS");
        EXPECT_EQ(systemDataDirectories(), c.expected) << (c.value ? c.value : "(unset)");
    }
}
