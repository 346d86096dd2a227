#pragma once
// The virtual display on an X server: a spare RandR output (off, and either
// disconnected or one of the dummy driver's) given a mode of our own and a
// free CRTC to the right of the other screens. X has no points, so the scale
// is kept in an output property; a display's size in points is its CRTC's
// size divided by it.
//
// Nothing on X removes an output's picture when its client dies, so the
// output carries the owner's PID: a new display first releases outputs whose
// owner is gone, then chooses and claims one under a single server grab.
//
// The display ID is the RandR output XID. Calls may come from any thread;
// one lock orders them on the connection.

#include <X11/Xlib.h>
#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/display/VirtualDisplaySystem.h"
#include "platform/x11/X11Connection.h"

namespace veltrane::display {

class RandRVirtualDisplay final : public VirtualDisplaySystem {
public:
    // Names of what a display leaves on the server, for tools that look.
    static constexpr const char* kOwnerProperty = "VELTRANE_OWNER_PID";
    static constexpr const char* kScaleProperty = "VELTRANE_SCALE";
    static constexpr const char* kModePrefix = "Veltrane-";

    RandRVirtualDisplay() = default;
    ~RandRVirtualDisplay() override;
    RandRVirtualDisplay(const RandRVirtualDisplay&) = delete;
    RandRVirtualDisplay& operator=(const RandRVirtualDisplay&) = delete;

    std::uint32_t createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) override;
    bool applySettings(std::uint32_t display, const VirtualDisplaySettings& settings) override;
    void releaseVirtualDisplay(std::uint32_t display) override;
    std::uint32_t mainDisplayID() override;
    std::optional<DisplayMode> copyDisplayMode(std::uint32_t display) override;
    DisplaySize displayBounds(std::uint32_t display) override;
    bool beginConfiguration() override;
    bool configureDisplayWithMode(std::uint32_t display, const DisplayMode& mode) override;
    void cancelConfiguration() override;
    bool completeConfiguration() override;

private:
    bool usable() const { return x_ && !x_->broken(); }
    Display* dpy() const { return x_->display(); }
    long scaleOf(RROutput output);
    bool claimSpareOutput(const VirtualDisplayDescriptor& descriptor);
    void releaseStaleOutputs();
    void releaseOutput(RROutput output, const std::string& modePrefix);
    // The bottom-right corner of the pictures shown.
    struct Extent {
        unsigned right = 0;
        unsigned bottom = 0;
        void include(int x, int y, unsigned width, unsigned height) {
            if (width == 0 || height == 0) return;
            right = std::max(right, static_cast<unsigned>(std::max(0, x)) + width);
            bottom = std::max(bottom, static_cast<unsigned>(std::max(0, y)) + height);
        }
    };
    Extent othersExtent(XRRScreenResources* resources, RRCrtc ours);
    // The screen resized to just hold every picture.
    void fitScreen();
    void resizeScreen(Extent extent, bool growOnly);
    RRMode modeFor(unsigned width, unsigned height, RRMode current);
    void watch(std::uint32_t display);
    void stopWatching();

    std::mutex mutex_;
    // Everything below is under mutex_.
    std::unique_ptr<x11::X11Connection> x_;
    RROutput output_ = None;
    std::uint32_t maxWidth_ = 0;
    std::uint32_t maxHeight_ = 0;
    std::string modePrefix_;  // "Veltrane-<pid>-"
    bool configuring_ = false;
    std::function<void(std::uint32_t)> terminated_;
    // The watcher thread and its wake-up descriptor, under watchMutex_: the
    // signal thread and the main thread may both stop it.
    std::mutex watchMutex_;
    int wakeFd_ = -1;
    std::thread watcher_;
    // Read by the watcher: our own release is not a termination.
    std::atomic<bool> releasing_{false};
};

}  // namespace veltrane::display
