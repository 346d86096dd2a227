#pragma once
// Display brightness: the displays the display server drives, with the
// laptop panel's level taken from and set through its backlight.

#include <cstdint>
#include <functional>
#include <optional>

#include "ControlDeckCore/adapters/BrightnessControlling.h"
#include "platform/display/Backlight.h"
#include "platform/display/ScreenOutputs.h"

namespace veltrane::deck {

class MacBrightnessAdapter : public BrightnessControlling {
public:
    // The level shown for a display whose brightness cannot be read.
    static constexpr double kUnknownBrightness = 0.5;

    // Where displays and backlights come from; tests bring their own.
    struct Host {
        std::function<std::optional<std::vector<display::ScreenOutput>>()> outputs = display::ScreenOutputs::list;
        display::Backlight backlight;
        // logind's SetBrightness(subsystem, device, value).
        std::function<bool(const std::string&, const std::string&, std::uint32_t)> setThroughSession;
    };

    MacBrightnessAdapter();
    explicit MacBrightnessAdapter(Host host) : host_(std::move(host)) {}

    // One per shown display, the primary first. A built-in panel reports its
    // backlight level; other displays report 0.5.
    std::vector<DisplayOutput> displays() override;

    // `displayId` must be a decimal display number (else notFound); the
    // level is clamped to 0 to 1 and set on the display's backlight through
    // the login session, else its /sys file. A display without a backlight,
    // or a backlight that refuses, throws permissionDenied "Display
    // brightness".
    void setBrightness(double level, const std::string& displayId) override;

private:
    Host host_;
};

}  // namespace veltrane::deck
