#include <gtest/gtest.h>

#include "platform/apps/Launcher.h"
#include "platform/system/TemporaryFolder.h"
#include "tests/support/RecorderDesktop.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/XvfbServer.h"

using namespace veltrane;
using apps::LaunchError;
using apps::Launcher;
namespace fs = std::filesystem;

// One recorder desktop for the whole suite (GIO reads it once per process).
class LauncherTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new sys::TemporaryFolder(*sys::TemporaryFolder::create("launcher-test-"));
        auto desktop = veltrane::testing::RecorderDesktop::install(folder_->path());
        marker_ = desktop.marker;
        entry_ = desktop.entry;
    }
    static void TearDownTestSuite() { delete folder_; }

    void SetUp() override { fs::remove(marker_); }

    static std::string recorded() { return veltrane::testing::waitForLines(marker_); }

    static inline sys::TemporaryFolder* folder_ = nullptr;
    static inline fs::path marker_, entry_;
};

TEST_F(LauncherTest, StartsTheProgramOfADesktopFile) {
    Launcher::launchDesktopFile(entry_);
    EXPECT_EQ(recorded(), "\n") << "started without an argument";
}

TEST_F(LauncherTest, ReportsWhatGIOReportsWhenAProgramCannotStart) {
    // An entry that asks for a terminal where there is none.
    const fs::path entry = folder_->path() / "console.desktop";
    veltrane::testing::writeFile(entry, "[Desktop Entry]\nType=Application\nName=Console\nTerminal=true\nExec=" +
                                      (folder_->path() / "record.sh").string() + "\n");
    {
        veltrane::testing::ScopedVariable path("PATH", folder_->path().c_str());
        try {
            Launcher::launchDesktopFile(entry);
            FAIL() << "launched";
        } catch (const LaunchError& e) {
            EXPECT_NE(std::string(e.what()).find("terminal"), std::string::npos) << e.what();
        }
    }
    EXPECT_FALSE(fs::exists(marker_));
    // An entry whose program is not there at all is refused when loading.
    const fs::path missing = folder_->path() / "missing.desktop";
    veltrane::testing::writeFile(missing, "[Desktop Entry]\nType=Application\nName=Missing\nExec=/nonexistent/program\n");
    for (const auto& file : {missing, folder_->path() / "absent.desktop"})
        EXPECT_THROW(Launcher::launchDesktopFile(file), LaunchError) << file;
}

TEST_F(LauncherTest, OpensLinksAndFoldersWithTheirDefaultHandlers) {
    Launcher::openURI("https://example.org/a");
    EXPECT_EQ(recorded(), "https://example.org/a\n");

    fs::remove(marker_);
    const std::string folderURI = Launcher::fileURI(folder_->path());
    EXPECT_EQ(folderURI, "file://" + folder_->path().string());
    Launcher::openURI(folderURI);
    EXPECT_EQ(recorded(), folder_->path().string() + "\n") << "GIO hands local files over as paths";
}

TEST_F(LauncherTest, ASchemeWithoutHandlerIsAnError) {
    EXPECT_THROW(Launcher::openURI("ftp://x"), LaunchError);
    EXPECT_FALSE(fs::exists(marker_));
}

TEST(LauncherURI, ValidityAndFileURIs) {
    struct Case {
        const char* text;
        bool valid;
    };
    for (auto c : {Case{"https://example.org/a", true}, Case{"ftp://x", true}, Case{"mailto:a@b.c", true},
                   Case{"", false}, Case{"no scheme", false}, Case{"relative/path", false},
                   Case{"https://exa mple.org", false}, Case{"https://example.org/%zz", false},
                   Case{"https://example.org/\"quoted\"", false}, Case{"https://example.org/é", false},
                   Case{"https://example.org/%C3%A9?q=a+b#top", true}})
        EXPECT_EQ(Launcher::isValidURI(c.text), c.valid) << c.text;
    EXPECT_EQ(Launcher::fileURI("/tmp/a b#c"), "file:///tmp/a%20b%23c");
    EXPECT_EQ(Launcher::fileURI("relative"), "");
}
