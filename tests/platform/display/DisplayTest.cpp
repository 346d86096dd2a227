#include <gtest/gtest.h>

#include <signal.h>

#include <fstream>
#include <memory>
// Xlib's macros (None, Bool) must come after GoogleTest.
#include <X11/Xatom.h>
#include <X11/extensions/Xrandr.h>

#include "platform/display/Backlight.h"
#include "platform/display/ScreenOutputs.h"
#include "platform/system/TemporaryFolder.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/XvfbServer.h"
#include "tools/xorg/PrivateXorg.h"

using namespace veltrane;
using display::Backlight;
using display::ScreenOutputs;
namespace fs = std::filesystem;

namespace {

void device(const fs::path& root, const std::string& name, const std::string& type, const std::string& brightness,
            const std::string& max) {
    fs::create_directories(root / name);
    std::ofstream(root / name / "type") << type << "\n";
    std::ofstream(root / name / "brightness") << brightness << "\n";
    std::ofstream(root / name / "max_brightness") << max << "\n";
}

std::string read(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

// A minimal 128-byte EDID with one descriptor at `slot`.
std::string edid(int slot, unsigned char tag, const std::string& text) {
    std::string block(128, '\0');
    const unsigned char header[] = {0x00, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x00};
    block.replace(0, 8, reinterpret_cast<const char*>(header), 8);
    std::size_t at = 54 + 18 * static_cast<std::size_t>(slot);
    block[at + 3] = static_cast<char>(tag);
    block.replace(at + 5, text.size(), text);
    return block;
}

}  // namespace

TEST(Backlight, ListsUsableDevicesAndPicksThePanelByType) {
    auto folder = *sys::TemporaryFolder::create("backlight-test-");
    const fs::path root = folder.path();
    device(root, "intel_backlight", "raw", "300", "1000");
    device(root, "acpi_video0", "firmware", "7", "10");
    device(root, "zero_max", "firmware", "1", "0");
    device(root, "garbled", "platform", "x", "10");
    device(root, "over", "platform", "50", "20");

    Backlight backlight(root);
    auto devices = backlight.devices();
    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].name, "acpi_video0");
    EXPECT_EQ(devices[2].name, "over");
    EXPECT_EQ(devices[2].brightness, 20u) << "clamped to the maximum";
    ASSERT_TRUE(backlight.panel());
    EXPECT_EQ(backlight.panel()->name, "acpi_video0");
    EXPECT_FALSE(Backlight(root / "missing").panel());
}

TEST(Backlight, WritesOnlyToAKnownDeviceFolder) {
    auto folder = *sys::TemporaryFolder::create("backlight-test-");
    device(folder.path() / "class", "panel", "raw", "1", "100");
    std::ofstream(folder.path() / "brightness") << "untouched\n";
    Backlight backlight(folder.path() / "class");

    EXPECT_TRUE(backlight.write("panel", 42));
    EXPECT_EQ(read(folder.path() / "class" / "panel" / "brightness"), "42");
    for (const char* name : {"..", ".", "", "panel/../..", "absent"}) EXPECT_FALSE(backlight.write(name, 1)) << name;
    EXPECT_EQ(read(folder.path() / "brightness"), "untouched");
}

TEST(ScreenOutputs, BuiltinConnectorsAndEDIDNames) {
    for (auto [connector, builtin] : {std::pair{"eDP-1", true}, {"LVDS1", true}, {"DSI-1", true}, {"HDMI-1", false},
                                      {"DP-2", false}, {"screen", false}, {"", false}})
        EXPECT_EQ(ScreenOutputs::isBuiltinConnector(connector), builtin) << connector;

    EXPECT_EQ(ScreenOutputs::edidMonitorName(edid(1, 0xFC, "DELL U2720Q\n  ")), "DELL U2720Q");
    EXPECT_EQ(ScreenOutputs::edidMonitorName(edid(3, 0xFC, "Panel")), "Panel");
    EXPECT_EQ(ScreenOutputs::edidMonitorName(edid(0, 0xFF, "SERIAL123")), "") << "a serial number is not a name";
    EXPECT_EQ(ScreenOutputs::edidMonitorName(edid(0, 0xFC, "Bad\x01Name")), "");
    EXPECT_EQ(ScreenOutputs::edidMonitorName(edid(0, 0xFC, "Short").substr(0, 100)), "");
    std::string noHeader = edid(0, 0xFC, "Name");
    noHeader[1] = 0;
    EXPECT_EQ(ScreenOutputs::edidMonitorName(noHeader), "");
}

namespace {
// One Xvfb screen, named by $DISPLAY while the test runs.
class ScreenOutputsOnXvfb : public ::testing::Test {
protected:
    void SetUp() override {
        std::string error;
        xvfb_ = veltrane::testing::XvfbDisplay::start(320, 200, error);
        ASSERT_TRUE(xvfb_) << error;
    }

private:
    std::unique_ptr<veltrane::testing::XvfbDisplay> xvfb_;
};
}  // namespace

TEST_F(ScreenOutputsOnXvfb, ListsTheVirtualScreenAndNothingWithoutAServer) {
    {
        veltrane::testing::ScopedVariable display("DISPLAY", nullptr);
        EXPECT_FALSE(ScreenOutputs::list());
    }
    auto outputs = ScreenOutputs::list();
    ASSERT_TRUE(outputs);
    ASSERT_EQ(outputs->size(), 1u);
    EXPECT_NE(outputs->front().id, 0u);
    EXPECT_FALSE(outputs->front().connector.empty());
    EXPECT_FALSE(outputs->front().builtin);
}

// The list is kept between calls; another client's change must show in the
// very next one, with no wait in between.
TEST_F(ScreenOutputsOnXvfb, AChangeByAnotherClientShowsInTheNextList) {
    auto before = ScreenOutputs::list();
    ASSERT_TRUE(before);
    ASSERT_EQ(before->size(), 1u);
    EXPECT_EQ(before->front().monitorName, "");

    Display* other = XOpenDisplay(nullptr);
    ASSERT_NE(other, nullptr);
    const Atom edidAtom = XInternAtom(other, RR_PROPERTY_RANDR_EDID, False);
    const auto output = static_cast<RROutput>(before->front().id);
    for (const char* name : {"Studio", "Desk", ""}) {
        if (*name != '\0') {
            const std::string block = edid(0, 0xFC, name);
            XRRChangeOutputProperty(other, output, edidAtom, XA_INTEGER, 8, PropModeReplace,
                                    reinterpret_cast<const unsigned char*>(block.data()),
                                    static_cast<int>(block.size()));
        } else {
            XRRDeleteOutputProperty(other, output, edidAtom);
        }
        XSync(other, False);
        auto after = ScreenOutputs::list();
        ASSERT_TRUE(after);
        ASSERT_EQ(after->size(), 1u);
        EXPECT_EQ(after->front().monitorName, name);
    }
    XCloseDisplay(other);
}

TEST(ScreenOutputs, SkipsTheOutputsThatShowNothing) {
    veltrane::testing::PrivateXorg xorg;
    ASSERT_TRUE(xorg.running()) << xorg.failure();
    const pid_t pid = xorg.pid();
    {
        veltrane::testing::ScopedVariable display("DISPLAY", xorg.display().c_str());
        auto outputs = ScreenOutputs::list();
        ASSERT_TRUE(outputs);
        ASSERT_EQ(outputs->size(), 1u) << "DUMMY1..15 are disconnected and off";
        EXPECT_EQ(outputs->front().connector, "DUMMY0");
    }
    xorg.stop();
    EXPECT_NE(::kill(pid, 0), 0) << "the server is gone once stopped";
}
