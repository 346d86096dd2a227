#pragma once
// The applications with windows on the streamed display, as both sessions
// choose them.

#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/x11/WindowList.h"

namespace veltrane::brennick {

// The mirroring application's own windows never count.
inline constexpr const char* kOwnApplicationID = "com.tovrik.orrisfold";

struct WindowOwner {
    pid_t pid = 0;
    std::string bundleID;  // the window's application class
};

// Owners of the windows that count: layer 0, the middle of the frame inside
// `bounds`, an owning process, an application other than ours. Each owner
// once, in the order of its first window.
std::vector<WindowOwner> windowOwnersOn(const std::vector<x11::TopLevelWindow>& windows, const x11::Rect& bounds);

class DisplayWindows {
public:
    virtual ~DisplayWindows() = default;
    virtual std::optional<x11::Rect> bounds(std::uint32_t displayID) = 0;
    virtual std::optional<std::vector<x11::TopLevelWindow>> windows() = 0;
};

// The X server's outputs and windows.
std::shared_ptr<DisplayWindows> makeX11DisplayWindows();

// "Display N is not available for audio capture"
std::string displayUnavailable(std::uint32_t displayID);

}  // namespace veltrane::brennick
