#include "helpers/brennick/ContentFilter.h"

#include <set>

#include "platform/display/OutputBounds.h"

namespace veltrane::brennick {

std::vector<WindowOwner> windowOwnersOn(const std::vector<x11::TopLevelWindow>& windows, const x11::Rect& bounds) {
    std::vector<WindowOwner> owners;
    std::set<pid_t> seen;
    for (const auto& window : windows) {
        if (window.layer != 0 || !window.ownerPID) continue;
        if (!bounds.containsPoint(window.frame.midX(), window.frame.midY())) continue;
        if (window.applicationClass == kOwnApplicationID) continue;
        if (seen.insert(*window.ownerPID).second) owners.push_back({*window.ownerPID, window.applicationClass});
    }
    return owners;
}

std::string displayUnavailable(std::uint32_t displayID) {
    return "Display " + std::to_string(displayID) + " is not available for audio capture";
}

namespace {
class X11DisplayWindows final : public DisplayWindows {
public:
    std::optional<x11::Rect> bounds(std::uint32_t displayID) override { return display::outputBounds(displayID); }
    std::optional<std::vector<x11::TopLevelWindow>> windows() override { return x11::listTopLevelWindows(); }
};
}  // namespace

std::shared_ptr<DisplayWindows> makeX11DisplayWindows() { return std::make_shared<X11DisplayWindows>(); }

}  // namespace veltrane::brennick
