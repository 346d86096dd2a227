#include <gtest/gtest.h>

#include "ControlDeckCore/adapters/MacLinks.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "platform/apps/Launcher.h"
#include "platform/system/TemporaryFolder.h"
#include "tests/support/Files.h"
#include "tests/support/RecorderDesktop.h"
#include "tests/support/XvfbServer.h"

using namespace veltrane;
using namespace veltrane::deck;
namespace fs = std::filesystem;

// One recorder desktop for the whole suite (GIO reads it once per process).
class MacLinksTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        folder_ = new sys::TemporaryFolder(*sys::TemporaryFolder::create("links-test-"));
        marker_ = veltrane::testing::RecorderDesktop::install(folder_->path()).marker;
    }
    static void TearDownTestSuite() { delete folder_; }
    void SetUp() override { fs::remove(marker_); }

    static std::string opened() { return veltrane::testing::waitForLines(marker_); }

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
