#pragma once
// A virtual display beside the computer's own screens, and the calls that read
// and set a display's mode. The helper's logic talks only to this, so its
// timing and failure paths are tested on a fake; RandRVirtualDisplay is the
// X server's side.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace veltrane::display {

struct VirtualDisplayDescriptor {
    std::string name;
    std::uint32_t maxPixelsWide = 0;
    std::uint32_t maxPixelsHigh = 0;
    double widthMillimetres = 0;
    double heightMillimetres = 0;
    std::uint32_t serialNumber = 0;
    std::uint16_t productID = 0;
    std::uint16_t vendorID = 0;
    // Called with the display's ID when the system takes the display away
    // (another client switched it off, the display server went away). It runs
    // on a thread of the backend's own and must only report.
    std::function<void(std::uint32_t)> terminationHandler;
};

// One mode of `width` x `height` points; HiDPI doubles the pixels of each.
struct VirtualDisplaySettings {
    bool hiDPI = false;
    std::size_t width = 0;
    std::size_t height = 0;
    double refreshRate = 60.0;
};

struct DisplayMode {
    std::uint64_t handle = 0;  // the backend's own name for the mode
    std::size_t width = 0;     // points
    std::size_t height = 0;
    std::size_t pixelWidth = 0;
    std::size_t pixelHeight = 0;
};

struct DisplaySize {
    double width = 0;  // points
    double height = 0;
};

class VirtualDisplaySystem {
public:
    virtual ~VirtualDisplaySystem() = default;

    // The new display's ID; 0 when none could be created.
    virtual std::uint32_t createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) = 0;
    virtual bool applySettings(std::uint32_t display, const VirtualDisplaySettings& settings) = 0;
    // Takes the display away (0: whichever this system created, even one
    // still being created); safe to call again and from another thread.
    virtual void releaseVirtualDisplay(std::uint32_t display) = 0;

    // The computer's main display; 0 when there is none.
    virtual std::uint32_t mainDisplayID() = 0;
    // The display's current mode; empty when it shows none.
    virtual std::optional<DisplayMode> copyDisplayMode(std::uint32_t display) = 0;
    // The size of the display's rectangle on the desktop; 0 x 0 when it shows none.
    virtual DisplaySize displayBounds(std::uint32_t display) = 0;

    // A configuration: begun, then configured, then completed or cancelled.
    virtual bool beginConfiguration() = 0;
    virtual bool configureDisplayWithMode(std::uint32_t display, const DisplayMode& mode) = 0;
    virtual void cancelConfiguration() = 0;
    virtual bool completeConfiguration() = 0;
};

}  // namespace veltrane::display
