#include <gtest/gtest.h>
#include <sys/stat.h>
// Xlib's macros (None, Bool) must come after GoogleTest.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <fstream>
#include <sstream>

#include "platform/image/PNGImage.h"
#include "platform/system/TemporaryFolder.h"
#include "platform/x11/ScreenCapture.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/XvfbServer.h"

using namespace veltrane;
using x11::ScreenCapture;

namespace {

constexpr int kWidth = 320, kHeight = 200;

const std::uint8_t* pixel(const image::RGBAImage& img, int x, int y) {
    return &img.pixels[(static_cast<std::size_t>(y) * img.width + x) * 4];
}

}  // namespace

class ScreenCaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        xvfb_ = veltrane::testing::XvfbDisplay::start(kWidth, kHeight, error);
        ASSERT_TRUE(xvfb_) << error;
        x_ = XOpenDisplay(nullptr);
        ASSERT_NE(x_, nullptr);
    }
    void TearDown() override {
        if (x_ != nullptr) XCloseDisplay(x_);
        xvfb_.reset();
    }

    // A mapped window filled with one colour.
    Window window(int x, int y, int w, int h, unsigned long rgb) {
        Window win = XCreateSimpleWindow(x_, DefaultRootWindow(x_), x, y, w, h, 0, 0, rgb);
        XSelectInput(x_, win, ExposureMask);
        XMapWindow(x_, win);
        XEvent event;
        XWindowEvent(x_, win, ExposureMask, &event);  // shown
        XSync(x_, False);
        return win;
    }

    void markActive(Window win) {
        XChangeProperty(x_, DefaultRootWindow(x_), XInternAtom(x_, "_NET_ACTIVE_WINDOW", False), XA_WINDOW, 32,
                        PropModeReplace, reinterpret_cast<unsigned char*>(&win), 1);
        XSync(x_, False);
    }

    std::unique_ptr<veltrane::testing::XvfbDisplay> xvfb_;
    Display* x_ = nullptr;
};

TEST_F(ScreenCaptureTest, CapturesTheWholeScreenWithItsColours) {
    window(10, 20, 50, 40, 0xff0000);
    auto shot = ScreenCapture::capture(false);
    ASSERT_TRUE(shot);
    EXPECT_EQ(shot->width, kWidth);
    EXPECT_EQ(shot->height, kHeight);
    const std::uint8_t* inside = pixel(*shot, 30, 40);
    EXPECT_EQ((std::vector<int>{inside[0], inside[1], inside[2], inside[3]}), (std::vector<int>{255, 0, 0, 255}));
}

TEST_F(ScreenCaptureTest, CapturesTheActiveWindowClippedToTheScreen) {
    auto win = window(300, 150, 60, 30, 0x00ff00);
    markActive(win);
    auto shot = ScreenCapture::capture(true);
    ASSERT_TRUE(shot);
    EXPECT_EQ(shot->width, 20);
    EXPECT_EQ(shot->height, 30);
    EXPECT_EQ(pixel(*shot, 5, 5)[1], 255);

    // The whole screen when the active window is gone or not shown.
    XUnmapWindow(x_, win);
    XSync(x_, False);
    EXPECT_EQ(ScreenCapture::capture(true)->width, kWidth);
    XDestroyWindow(x_, win);
    XSync(x_, False);
    EXPECT_EQ(ScreenCapture::capture(true)->width, kWidth);
    EXPECT_EQ(ScreenCapture::capture(false)->width, kWidth);
}

TEST_F(ScreenCaptureTest, WritesAPrivatePNGAndNeverOverwrites) {
    auto folder = *sys::TemporaryFolder::create("capture-test-");
    const auto file = folder.path() / "shot.png";
    ASSERT_TRUE(ScreenCapture::writePNG(false, file));
    struct stat info {};
    ASSERT_EQ(stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    std::stringstream bytes;
    bytes << std::ifstream(file, std::ios::binary).rdbuf();
    auto png = image::PNGImage::decode(bytes.str());
    ASSERT_TRUE(png);
    EXPECT_EQ(png->width, kWidth);
    EXPECT_EQ(png->height, kHeight);

    EXPECT_FALSE(ScreenCapture::writePNG(false, file));
    EXPECT_EQ(std::filesystem::file_size(file), bytes.str().size());
}

TEST(ScreenCaptureWithoutServer, CapturesNothing) {
    veltrane::testing::ScopedVariable display("DISPLAY", nullptr);
    auto folder = *sys::TemporaryFolder::create("capture-test-");
    EXPECT_FALSE(ScreenCapture::capture(false));
    EXPECT_FALSE(ScreenCapture::writePNG(true, folder.path() / "shot.png"));
    EXPECT_FALSE(std::filesystem::exists(folder.path() / "shot.png"));
}
