#include <gtest/gtest.h>

#include "ControlDeckCore/adapters/MacLinks.h"
#include "ControlDeckCore/server/DeckError.h"
#include "platform/apps/Launcher.h"
#include "platform/system/TemporaryFolder.h"
#include "tests/support/Files.h"
#include "tests/support/XvfbServer.h"

using namespace veltrane;
using namespace veltrane::deck;
using testsupport::readFile;
using testsupport::writeFile;
namespace fs = std::filesystem;

// GIO reads the XDG folders once per process, so the suite sets up one
// desktop for all its tests: a recorder application chosen through
// mimeapps.list for https links and for folders; nothing handles ftp.
class MacLinksTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new sys::TemporaryFolder(*sys::TemporaryFolder::create("links-test-"));
        const fs::path root = folder_->path();
        marker_ = root / "opened";
        writeFile(root / "record.sh", "#!/bin/sh\necho \"$1\" >> '" + marker_.string() + "'\n", true);
        writeFile(root / "data" / "applications" / "recorder.desktop",
                  "[Desktop Entry]\nType=Application\nName=Recorder\nExec=" + (root / "record.sh").string() +
                      " %u\nMimeType=x-scheme-handler/https;inode/directory;\n");
        writeFile(root / "config" / "mimeapps.list",
                  "[Default Applications]\nx-scheme-handler/https=recorder.desktop\ninode/directory=recorder.desktop\n");
        setenv("XDG_DATA_HOME", (root / "data").c_str(), 1);
        setenv("XDG_CONFIG_HOME", (root / "config").c_str(), 1);
        setenv("XDG_DATA_DIRS", (root / "none").c_str(), 1);
        setenv("DBUS_SESSION_BUS_ADDRESS", ("unix:path=" + (root / "no-bus").string()).c_str(), 1);
        unsetenv("DISPLAY");
    }
    static void TearDownTestSuite() { delete folder_; }
    void SetUp() override { fs::remove(marker_); }

    static std::string opened() {
        testsupport::eventually([] { return fs::exists(marker_); });
        return fs::exists(marker_) ? readFile(marker_) : "";
    }

    static inline sys::TemporaryFolder* folder_ = nullptr;
    static inline fs::path marker_;
};

TEST_F(MacLinksTest, OpensALinkWithTheChosenHandler) {
    MacLinks().openURL("https://example.org/a");
    EXPECT_EQ(opened(), "https://example.org/a\n");
}

TEST_F(MacLinksTest, TextThatIsNotAURLIsMalformed) {
    for (const char* text : {"", "example.org", "https://exa mple.org", "https://example.org/%zz"}) {
        try {
            MacLinks().openURL(text);
            ADD_FAILURE() << "opened " << text;
        } catch (const DeckError& e) {
            EXPECT_EQ(e, DeckError::malformedPayload()) << text;
            EXPECT_EQ(e.status(), 400);
        }
    }
    EXPECT_FALSE(fs::exists(marker_));
}

TEST_F(MacLinksTest, ASchemeNothingHandlesIsReportedNotIgnored) {
    EXPECT_THROW(MacLinks().openURL("ftp://x"), apps::LaunchError);
    EXPECT_FALSE(fs::exists(marker_));
}

TEST_F(MacLinksTest, OpensExistingFoldersAndRefusesMissingPaths) {
    MacLinks().openPath(folder_->path().string());
    EXPECT_EQ(opened(), folder_->path().string() + "\n");

    fs::remove(marker_);
    try {
        MacLinks().openPath((folder_->path() / "missing").string());
        FAIL() << "opened";
    } catch (const DeckError& e) {
        EXPECT_EQ(e, DeckError::notFound());
    }
    EXPECT_THROW(MacLinks().openPath(""), DeckError);
    EXPECT_FALSE(fs::exists(marker_));
}
