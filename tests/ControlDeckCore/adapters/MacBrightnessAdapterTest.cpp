#include <gtest/gtest.h>

#include <cmath>

#include "ControlDeckCore/adapters/MacBrightnessAdapter.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "platform/dbus/Logind.h"
#include "platform/system/TemporaryFolder.h"
#include "tests/support/Eventually.h"
#include "tests/support/Files.h"
#include "tests/support/PrivateBus.h"
#include "tests/support/ScopedEnvironment.h"
#include "tests/support/XvfbServer.h"

using namespace veltrane;
using namespace veltrane::deck;
using display::ScreenOutput;
using veltrane::testing::readFile;
using veltrane::testing::writeFile;
namespace fs = std::filesystem;

namespace {

struct SessionCall {
    std::string subsystem, name;
    std::uint32_t value;
    bool operator==(const SessionCall&) const = default;
};

DeckError errorOf(const std::function<void()>& action) {
    try {
        action();
    } catch (const DeckError& e) {
        return e;
    }
    ADD_FAILURE() << "no error";
    return DeckError::revoked();
}

}  // namespace

class MacBrightnessAdapterTest : public ::testing::Test {
protected:
    void SetUp() override {
        folder_.emplace(*sys::TemporaryFolder::create("brightness-test-"));
        writeFile(root() / "panel" / "type", "firmware\n");
        writeFile(root() / "panel" / "brightness", "750\n");
        writeFile(root() / "panel" / "max_brightness", "1000\n");
    }

    fs::path root() const { return folder_->path() / "backlight"; }

    MacBrightnessAdapter adapter(std::optional<std::vector<ScreenOutput>> outputs, bool sessionAccepts = true) {
        MacBrightnessAdapter::Host host{[outputs] { return outputs; }, display::Backlight(root()),
                                        [this, sessionAccepts](const std::string& s, const std::string& n, std::uint32_t v) {
                                            calls_.push_back({s, n, v});
                                            return sessionAccepts;
                                        }};
        return MacBrightnessAdapter(std::move(host));
    }

    std::optional<sys::TemporaryFolder> folder_;
    std::vector<SessionCall> calls_;
};

TEST_F(MacBrightnessAdapterTest, ListsDisplaysWithNamesAndThePanelLevel) {
    auto a = adapter(std::vector<ScreenOutput>{{71, "eDP-1", "", true}, {72, "HDMI-1", "DELL U2720Q", false},
                                               {73, "DP-2", "", false}});
    EXPECT_EQ(a.displays(), (std::vector<DisplayOutput>{{"71", "Built-in Display", 0.75, true},
                                                        {"72", "DELL U2720Q", 0.5, false},
                                                        {"73", "Display 3", 0.5, false}}));

    // The first display is "Built-in Display" when unnamed, built in or not.
    auto external = adapter(std::vector<ScreenOutput>{{5, "HDMI-1", "", false}});
    EXPECT_EQ(external.displays(), (std::vector<DisplayOutput>{{"5", "Built-in Display", 0.5, false}}));
    EXPECT_TRUE(adapter(std::nullopt).displays().empty()) << "no display server";
}

TEST_F(MacBrightnessAdapterTest, SetsThePanelThroughTheSessionWithTheRoundedLevel) {
    auto a = adapter(std::vector<ScreenOutput>{{71, "eDP-1", "", true}});
    struct Case {
        double level;
        std::uint32_t value;
    };
    for (auto c : {Case{0.4567, 457}, Case{1.5, 1000}, Case{-3, 0}, Case{std::nan(""), 0}}) {
        calls_.clear();
        a.setBrightness(c.level, "71");
        EXPECT_EQ(calls_, (std::vector<SessionCall>{{"backlight", "panel", c.value}})) << c.level;
    }
    a.setBrightness(0.2, "+71");
    EXPECT_EQ(calls_.back().value, 200u);
    EXPECT_EQ(readFile(root() / "panel" / "brightness"), "750\n") << "the session did it";
}

TEST_F(MacBrightnessAdapterTest, FallsBackToTheSysFileWhenTheSessionRefuses) {
    auto a = adapter(std::vector<ScreenOutput>{{71, "eDP-1", "", true}}, false);
    a.setBrightness(0.3, "71");
    EXPECT_EQ(calls_.size(), 1u);
    EXPECT_EQ(readFile(root() / "panel" / "brightness"), "300\n");
    EXPECT_DOUBLE_EQ(a.displays()[0].brightness, 0.3);
}

TEST_F(MacBrightnessAdapterTest, RefusesUnknownIdsAndDisplaysWithoutBacklight) {
    auto a = adapter(std::vector<ScreenOutput>{{71, "eDP-1", "", true}, {72, "HDMI-1", "", false}});
    for (const char* id : {"", "abc", "7 1", "71.0", "-1", "4294967296"})
        EXPECT_EQ(errorOf([&] { a.setBrightness(0.5, id); }), DeckError::notFound()) << id;
    EXPECT_TRUE(calls_.empty()) << "nothing is set for an unparsable id";

    const auto denied = DeckError::permissionDenied("Display brightness");
    EXPECT_EQ(errorOf([&] { a.setBrightness(0.5, "72"); }), denied) << "an external display";
    EXPECT_EQ(errorOf([&] { a.setBrightness(0.5, "99"); }), denied) << "a display that is not shown";
    EXPECT_EQ(denied.message(), "macOS denied \u201CDisplay brightness\u201D. Grant it in System Settings on the Mac.");
    fs::remove_all(root());
    EXPECT_EQ(errorOf([&] { a.setBrightness(0.5, "71"); }), denied) << "no backlight";
    EXPECT_TRUE(calls_.empty());
}

TEST_F(MacBrightnessAdapterTest, CallsLogindSetBrightnessOnAPrivateBus) {
    std::string error;
    auto bus = veltrane::testing::PrivateBus::start(error);
    ASSERT_TRUE(bus) << error;
    veltrane::testing::ScopedVariable system("DBUS_SYSTEM_BUS_ADDRESS", bus->address().c_str());
    const fs::path log = folder_->path() / "logind.log";
    ASSERT_TRUE(bus->startMock({"--template", "logind"}, "org.freedesktop.login1", log));
    ASSERT_TRUE(bus->addLogindSession("auto"));

    MacBrightnessAdapter::Host host{[] { return std::optional(std::vector<ScreenOutput>{{71, "eDP-1", "", true}}); },
                                    display::Backlight(root()), dbus::Logind::setBrightness};
    MacBrightnessAdapter a(std::move(host));
    a.setBrightness(0.6666, "71");
    EXPECT_TRUE(veltrane::testing::eventually(
        [&] { return readFile(log).find("SetBrightness \"backlight\" \"panel\" 667") != std::string::npos; }))
        << readFile(log);
}
