#include <gtest/gtest.h>

#include <list>

#include "ControlDeckCore/adapters/MacAppLauncher.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "platform/apps/Launcher.h"
#include "platform/image/PNGImage.h"
#include "platform/system/TemporaryFolder.h"
#include "tests/support/Files.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/XvfbServer.h"

using namespace veltrane;
using namespace veltrane::deck;
using veltrane::testing::ScopedVariable;
using veltrane::testing::writeFile;
namespace fs = std::filesystem;

// A desktop of fixture entries: $XDG_DATA_HOME for the user's, one
// $XDG_DATA_DIRS folder for the system's.
class MacAppLauncherTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_.emplace(*sys::TemporaryFolder::create("apps-test-"));
        user_ = folder_->path() / "user";
        system_ = folder_->path() / "system";
        marker_ = folder_->path() / "marker";
        env_.emplace_back("XDG_DATA_HOME", user_.c_str());
        env_.emplace_back("XDG_DATA_DIRS", system_.c_str());
        env_.emplace_back("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (folder_->path() / "no-bus").string()).c_str());
        env_.emplace_back("DISPLAY", nullptr);
        writeFile(folder_->path() / "mark.sh", "#!/bin/sh\necho \"$1\" >> '" + marker_.string() + "'\n", true);
    }

    void app(const fs::path& dataDir, const std::string& id, const std::string& name, const std::string& extra = "") {
        writeFile(dataDir / "applications" / id,
                  "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + (folder_->path() / "mark.sh").string() +
                      " " + id + "\n" + extra);
    }

    std::vector<std::string> names(MacAppLauncher& launcher) {
        std::vector<std::string> out;
        for (const auto& r : launcher.listApplications()) out.push_back(r.name);
        return out;
    }

    std::string launched() { return veltrane::testing::waitForLines(marker_); }

    std::optional<sys::TemporaryFolder> folder_;
    fs::path user_, system_, marker_;
    std::list<ScopedVariable> env_;
};

TEST_F(MacAppLauncherTest, ListsEachIdOnceSortedWithoutRegardToCase) {
    app(system_, "org.example.Zed.desktop", "Zed");
    app(system_, "org.example.Browser.desktop", "Web (system)");
    app(user_, "org.example.Browser.desktop", "browser");
    app(system_, "cherry.desktop", "Cherry");
    app(system_, "apple.desktop", "Apple");
    app(system_, "hidden.desktop", "Hidden", "NoDisplay=true\n");

    MacAppLauncher launcher;
    auto list = launcher.listApplications();
    EXPECT_EQ(names(launcher), (std::vector<std::string>{"Apple", "browser", "Cherry", "Zed"}));
    ASSERT_EQ(list.size(), 4u);
    EXPECT_EQ(list[1], (AppRecord{"org.example.Browser.desktop", "browser",
                                  (user_ / "applications" / "org.example.Browser.desktop").string()}));
}

TEST_F(MacAppLauncherTest, OpensByNameInAnyCaseOrByExactId) {
    app(system_, "org.example.Editor.desktop", "Text Editor");
    MacAppLauncher launcher;

    launcher.open("tEXT eDITOR");
    EXPECT_EQ(launched(), "org.example.Editor.desktop\n");

    fs::remove(marker_);
    launcher.open("org.example.Editor.desktop");
    EXPECT_EQ(launched(), "org.example.Editor.desktop\n");

    for (const char* unknown : {"ORG.EXAMPLE.EDITOR.DESKTOP", "Text", "Editor", ""}) {
        try {
            launcher.open(unknown);
            ADD_FAILURE() << "opened " << unknown;
        } catch (const DeckError& e) {
            EXPECT_EQ(e, DeckError::notFound()) << unknown;
        }
    }
}

TEST_F(MacAppLauncherTest, ALaunchTheDesktopRefusesPassesItsErrorOn) {
    app(system_, "console.desktop", "Console", "Terminal=true\n");
    MacAppLauncher launcher;
    ASSERT_EQ(launcher.listApplications().size(), 1u);
    ScopedVariable path("PATH", folder_->path().c_str());  // no terminal to be found
    EXPECT_THROW(launcher.open("Console"), apps::LaunchError);
    EXPECT_FALSE(fs::exists(marker_));
}

TEST_F(MacAppLauncherTest, IconsAre64PixelPNGsMadeOnce) {
    app(system_, "paint.desktop", "Paint", "Icon=org.example.Paint\n");
    app(system_, "plain.desktop", "Plain");
    const fs::path svg = system_ / "icons" / "hicolor" / "scalable" / "apps" / "org.example.Paint.svg";
    writeFile(svg, R"(<svg xmlns="http://www.w3.org/2000/svg" width="16" height="16">)"
                   R"(<circle cx="8" cy="8" r="8" fill="#0000ff"/></svg>)");

    MacAppLauncher launcher;
    auto icon = launcher.iconPNG("paint.desktop");
    ASSERT_TRUE(icon);
    auto image = image::PNGImage::decode(*icon);
    ASSERT_TRUE(image);
    EXPECT_EQ(image->width, 64);
    EXPECT_EQ(image->height, 64);

    fs::remove(svg);
    EXPECT_EQ(launcher.iconPNG("paint.desktop"), icon) << "kept after the file went";
    EXPECT_EQ(launcher.iconPNG("plain.desktop"), std::nullopt);
    EXPECT_EQ(launcher.iconPNG("unknown.desktop"), std::nullopt);
}

TEST_F(MacAppLauncherTest, KeepsAScanUntilRefreshedButRescansAnEmptyOne) {
    MacAppLauncher launcher;
    EXPECT_TRUE(launcher.listApplications().empty());
    app(system_, "first.desktop", "First");
    EXPECT_EQ(names(launcher), (std::vector<std::string>{"First"})) << "an empty list is rescanned at once";

    app(system_, "second.desktop", "Second");
    EXPECT_EQ(names(launcher), (std::vector<std::string>{"First"})) << "a fresh list is kept";
    EXPECT_THROW(launcher.open("Second"), DeckError);
    launcher.refresh();
    EXPECT_EQ(names(launcher), (std::vector<std::string>{"First", "Second"}));
}
