#pragma once
// A display configuration in memory: a main display and one virtual display
// whose settings take effect at once, with switches for every failure.

#include <string>
#include <vector>

#include "platform/display/VirtualDisplaySystem.h"

namespace veltrane::testing {

class FakeDisplaySystem : public display::VirtualDisplaySystem {
public:
    static constexpr std::uint32_t kMain = 1;
    static constexpr std::uint32_t kVirtual = 77;

    // Switches.
    bool creates = true;
    bool applies = true;
    bool confirms = true;        // the virtual display shows what was applied
    bool movesMain = false;      // applying settings moves the main display off its mode
    bool begins = true;
    bool configures = true;
    bool completes = true;

    // What happened.
    std::vector<display::VirtualDisplaySettings> applied;
    std::vector<std::string> configuration;  // "begin", "configure WxH", "cancel", "complete"
    int releases = 0;
    display::VirtualDisplayDescriptor descriptor;

    display::DisplayMode mainMode{10, 1920, 1080, 1920, 1080};
    std::optional<display::DisplayMode> virtualMode;

    std::uint32_t createVirtualDisplay(const display::VirtualDisplayDescriptor& d) override {
        descriptor = d;
        return creates ? kVirtual : 0;
    }
    bool applySettings(std::uint32_t display, const display::VirtualDisplaySettings& s) override {
        if (display != kVirtual) return false;
        applied.push_back(s);
        if (!applies) return false;
        const std::size_t scale = s.hiDPI ? 2 : 1;
        if (confirms) virtualMode = display::DisplayMode{99, s.width, s.height, s.width * scale, s.height * scale};
        if (movesMain) mainMode = display::DisplayMode{11, 1024, 768, 1024, 768};
        return true;
    }
    void releaseVirtualDisplay(std::uint32_t) override { ++releases; }
    std::uint32_t mainDisplayID() override { return kMain; }
    std::optional<display::DisplayMode> copyDisplayMode(std::uint32_t display) override {
        if (display == kMain) return mainMode;
        if (display == kVirtual) return virtualMode;
        return std::nullopt;
    }
    display::DisplaySize displayBounds(std::uint32_t display) override {
        if (display == kMain) return {double(mainMode.width), double(mainMode.height)};
        if (display == kVirtual && virtualMode) return {double(virtualMode->width), double(virtualMode->height)};
        return {};
    }
    bool beginConfiguration() override {
        configuration.push_back("begin");
        return begins;
    }
    bool configureDisplayWithMode(std::uint32_t display, const display::DisplayMode& mode) override {
        configuration.push_back("configure " + std::to_string(mode.width) + "x" + std::to_string(mode.height));
        if (!configures || display != kMain) return false;
        pending_ = mode;
        return true;
    }
    void cancelConfiguration() override {
        configuration.push_back("cancel");
        pending_.reset();
    }
    bool completeConfiguration() override {
        configuration.push_back("complete");
        if (!completes) return false;
        if (pending_) mainMode = *pending_;
        pending_.reset();
        return true;
    }

private:
    std::optional<display::DisplayMode> pending_;
};

}  // namespace veltrane::testing
