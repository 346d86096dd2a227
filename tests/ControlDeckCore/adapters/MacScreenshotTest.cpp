#include <gtest/gtest.h>
#include <sys/stat.h>

#include "ControlDeckCore/adapters/MacScreenshot.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "platform/image/PNGImage.h"
#include "platform/system/TemporaryFolder.h"
#include "tests/support/Files.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/XvfbServer.h"

using namespace veltrane;
using namespace veltrane::deck;
using veltrane::testing::ScopedVariable;
namespace fs = std::filesystem;

// Every capture goes through $TMPDIR, which the test points at a folder of
// its own to see that nothing is left behind.
class MacScreenshotTest : public ::testing::Test {
protected:
    void SetUp() override {
        tmp_.emplace(*sys::TemporaryFolder::create("screenshot-test-"));
        tmpdir_.emplace("TMPDIR", tmp_->path().c_str());
    }

    bool leftNothing() const { return fs::is_empty(tmp_->path()); }

    std::optional<sys::TemporaryFolder> tmp_;
    std::optional<ScopedVariable> tmpdir_;
};

TEST_F(MacScreenshotTest, CapturesThePNGOfTheScreenSize) {
    std::string error;
    auto xvfb = veltrane::testing::XvfbServer::start(400, 300, error);
    ASSERT_TRUE(xvfb) << error;
    ScopedVariable display("DISPLAY", xvfb->display().c_str());
    MacScreenshot screenshot;
    for (const char* mode : {"full", "window", "Window"}) {
        auto png = image::PNGImage::decode(screenshot.capture(mode));
        ASSERT_TRUE(png) << mode;
        EXPECT_EQ(png->width, 400) << mode << " (no active window: the whole screen)";
        EXPECT_EQ(png->height, 300) << mode;
    }
    EXPECT_TRUE(leftNothing());
}

TEST_F(MacScreenshotTest, WithoutADisplayThePermissionError) {
    ScopedVariable display("DISPLAY", nullptr);
    try {
        MacScreenshot().capture("full");
        FAIL() << "captured";
    } catch (const DeckError& e) {
        EXPECT_EQ(e, DeckError::permissionDenied("Screen Recording"));
        EXPECT_EQ(e.status(), 409);
        EXPECT_EQ(e.message(), "macOS denied \u201CScreen Recording\u201D. Grant it in System Settings on the Mac.");
    }
    EXPECT_TRUE(leftNothing());
}

TEST_F(MacScreenshotTest, PassesTheModeAndRefusesTinyFilesLeavingNothing) {
    struct Case {
        const char* mode;
        std::size_t bytes;
        bool window;
        bool accepted;
    };
    for (auto c : {Case{"window", 33, true, true}, Case{"Window", 33, false, true}, Case{"full", 32, false, false},
                   Case{"", 0, false, false}}) {
        SCOPED_TRACE(c.mode);
        fs::path written;
        bool askedForWindow = false;
        MacScreenshot screenshot([&](bool window, const fs::path& file) {
            askedForWindow = window;
            written = file;
            struct stat folder {};
            EXPECT_EQ(stat(file.parent_path().c_str(), &folder), 0);
            EXPECT_EQ(folder.st_mode & 0777, 0700u) << "a private folder";
            EXPECT_FALSE(fs::exists(file));
            veltrane::testing::writeFile(file, std::string(c.bytes, 'x'));
            return true;
        });
        if (c.accepted)
            EXPECT_EQ(screenshot.capture(c.mode), std::string(c.bytes, 'x'));
        else
            EXPECT_THROW(screenshot.capture(c.mode), DeckError);
        EXPECT_EQ(askedForWindow, c.window);
        EXPECT_FALSE(fs::exists(written));
        EXPECT_TRUE(leftNothing());
    }
    MacScreenshot failing([](bool, const fs::path& file) {
        veltrane::testing::writeFile(file, std::string(100, 'x'));  // a partial image, then failure
        return false;
    });
    EXPECT_THROW(failing.capture("full"), DeckError);
    EXPECT_TRUE(leftNothing());
}
