#include <gtest/gtest.h>


#include "platform/apps/DesktopEntries.h"
#include "platform/apps/IconTheme.h"
#include "platform/system/TemporaryFolder.h"
#include "tests/support/Files.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/XvfbServer.h"

using namespace veltrane;
using apps::DesktopEntries;
using veltrane::testing::writeFile;
namespace fs = std::filesystem;

namespace {

std::string entry(const std::string& name, const std::string& extra = "") {
    return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=true\n" + extra;
}

struct Listed {
    std::string id, name, folder;
    bool operator==(const Listed&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Listed& l) { return os << l.id << "|" << l.name << "|" << l.folder; }

}  // namespace

class DesktopEntriesTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_ = sys::TemporaryFolder::create("desktop-test-");
        ASSERT_TRUE(folder_);
        user_ = folder_->path() / "user";
        system_ = folder_->path() / "system";
    }

    std::vector<Listed> scan() {
        std::vector<Listed> out;
        for (auto& e : DesktopEntries::scan({user_, system_}))
            out.push_back({e.id, e.name, e.path.parent_path().lexically_relative(folder_->path()).string()});
        std::sort(out.begin(), out.end(), [](auto& a, auto& b) { return a.id < b.id; });
        return out;
    }

    std::optional<sys::TemporaryFolder> folder_;
    fs::path user_, system_;
};

TEST_F(DesktopEntriesTest, UserEntriesWinAndHiddenOnesMaskTheSameId) {
    writeFile(user_ / "shared.desktop", entry("User Copy"));
    writeFile(system_ / "shared.desktop", entry("System Copy"));
    writeFile(user_ / "masked.desktop", entry("Masked", "Hidden=true\n"));
    writeFile(system_ / "masked.desktop", entry("Masked Below"));
    writeFile(system_ / "quiet.desktop", entry("Quiet", "NoDisplay=true\n"));
    writeFile(system_ / "link.desktop", "[Desktop Entry]\nType=Link\nName=Link\nURL=https://example.org\n");
    writeFile(system_ / "broken.desktop", "no group here\n");
    writeFile(user_ / "later.desktop", "not an entry either");
    writeFile(system_ / "later.desktop", entry("Later"));
    writeFile(system_ / ".secret.desktop", entry("Secret"));
    writeFile(system_ / "notes.txt", entry("Notes"));

    EXPECT_EQ(scan(), (std::vector<Listed>{{"later.desktop", "Later", "system"},
                                            {"shared.desktop", "User Copy", "user"}}));
}

TEST_F(DesktopEntriesTest, SubfoldersGivePrefixedIdsOneLevelDeep) {
    writeFile(system_ / "kde" / "editor.desktop", entry("Editor"));
    writeFile(system_ / "kde" / "deeper" / "buried.desktop", entry("Buried"));
    writeFile(user_ / "kde-editor.desktop", entry("Mine"));
    EXPECT_EQ(scan(), (std::vector<Listed>{{"kde-editor.desktop", "Mine", "user"}}));

    fs::remove(user_ / "kde-editor.desktop");
    EXPECT_EQ(scan(), (std::vector<Listed>{{"kde-editor.desktop", "Editor", "system/kde"}}));
}

TEST_F(DesktopEntriesTest, NamesFollowTheLanguageThenNameThenTheFileStem) {
    writeFile(system_ / "greeter.desktop", entry("Hello", "Name[de]=Hallo\n"));
    writeFile(system_ / "plain.desktop", "[Desktop Entry]\nType=Application\nExec=true\n");
    {
        veltrane::testing::ScopedVariable language("LANGUAGE", "de");
        EXPECT_EQ(scan(), (std::vector<Listed>{{"greeter.desktop", "Hallo", "system"},
                                                {"plain.desktop", "plain", "system"}}));
    }
    veltrane::testing::ScopedVariable language("LANGUAGE", "fr");
    EXPECT_EQ(scan()[0].name, "Hello");
}

TEST_F(DesktopEntriesTest, UnreadableFoldersContributeNothing) {
    EXPECT_TRUE(DesktopEntries::scan({folder_->path() / "missing", user_}).empty());
}

TEST(DesktopEntryFolders, FollowTheBaseDirectoryRules) {
    struct Case {
        const char* dataHome;
        const char* dataDirs;
        std::vector<std::string> expected;
    };
    const Case cases[] = {
        {"/h/data", "/a:/b/", {"/h/data", "/a", "/b/"}},
        {nullptr, nullptr, {"/home/u/.local/share", "/usr/local/share", "/usr/share"}},
        {"relative", "relative:/only::", {"/home/u/.local/share", "/only"}},
        {"/h", "", {"/h", "/usr/local/share", "/usr/share"}},
    };
    veltrane::testing::ScopedVariable home("HOME", "/home/u");
    for (const auto& c : cases) {
        veltrane::testing::ScopedVariable dataHome("XDG_DATA_HOME", c.dataHome);
        veltrane::testing::ScopedVariable dataDirs("XDG_DATA_DIRS", c.dataDirs);
        std::vector<std::string> got;
        for (auto& dir : DesktopEntries::dataDirectories()) got.push_back(dir.string());
        EXPECT_EQ(got, c.expected) << (c.dataHome ? c.dataHome : "(unset)");
        EXPECT_EQ(DesktopEntries::applicationFolders().front(), fs::path(c.expected.front()) / "applications");
    }
}

TEST(IconTheme, PrefersTheExactSizeThenScalableThenLargerThenSmaller) {
    auto folder = *sys::TemporaryFolder::create("icons-test-");
    const fs::path first = folder.path() / "first", second = folder.path() / "second";
    auto icon = [](const fs::path& dir, const std::string& size, const std::string& file) {
        writeFile(dir / "icons" / "hicolor" / size / "apps" / file, "x");
        return dir / "icons" / "hicolor" / size / "apps" / file;
    };
    auto small = icon(first, "32x32", "tool.png");
    EXPECT_EQ(apps::IconTheme::find("tool", {first, second}, 64), small);
    auto large = icon(second, "256x256", "tool.png");
    EXPECT_EQ(apps::IconTheme::find("tool", {first, second}, 64), large);
    auto nearer = icon(first, "128x128", "tool.png");
    EXPECT_EQ(apps::IconTheme::find("tool", {first, second}, 64), nearer);
    auto scalable = icon(second, "scalable", "tool.svg");
    EXPECT_EQ(apps::IconTheme::find("tool", {first, second}, 64), scalable);
    auto exact = icon(second, "64x64", "tool.png");
    EXPECT_EQ(apps::IconTheme::find("tool", {first, second}, 64), exact);
    auto exactFirst = icon(first, "64x64", "tool.png");
    EXPECT_EQ(apps::IconTheme::find("tool.png", {first, second}, 64), exactFirst) << "an extension in the key is dropped";
}

TEST(IconTheme, AbsolutePathsPixmapsAndRefusedNames) {
    auto folder = *sys::TemporaryFolder::create("icons-test-");
    const fs::path data = folder.path() / "data";
    writeFile(data / "pixmaps" / "old.png", "x");
    writeFile(data / "icons" / "hicolor" / "48x48" / "apps" / "secret.png", "x");
    writeFile(folder.path() / "abs.svg", "x");
    EXPECT_EQ(apps::IconTheme::find("old", {data}, 64), data / "pixmaps" / "old.png");
    EXPECT_EQ(apps::IconTheme::find((folder.path() / "abs.svg").string(), {data}, 64), folder.path() / "abs.svg");
    const std::vector<std::string> refused{"",   "missing", "../hicolor/48x48/apps/secret", "48x48/apps/secret",
                                           "..", (folder.path() / "missing.svg").string()};
    for (const auto& name : refused)
        EXPECT_FALSE(apps::IconTheme::find(name, {data}, 64)) << name;
}
