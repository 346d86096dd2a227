#include "platform/display/RandRVirtualDisplay.h"

#include <X11/Xatom.h>
#include <libxcvt/libxcvt.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <utility>

#include "platform/display/VirtualEDID.h"

namespace veltrane::display {
namespace {

constexpr int kNeededMinorVersion = 2;  // RandR 1.2: outputs, CRTCs, user modes
constexpr double kRefreshRate = 60.0;
constexpr unsigned kCVTGranularity = 8;  // CVT widths are multiples of 8 pixels
constexpr double kMillimetresPerPixel = 25.4 / 96.0;
constexpr const char* kSpareConnectorPrefix = "DUMMY";

struct FreeResources {
    void operator()(XRRScreenResources* r) const { XRRFreeScreenResources(r); }
};
struct FreeOutputInfo {
    void operator()(XRROutputInfo* i) const { XRRFreeOutputInfo(i); }
};
struct FreeCrtcInfo {
    void operator()(XRRCrtcInfo* i) const { XRRFreeCrtcInfo(i); }
};
using Resources = std::unique_ptr<XRRScreenResources, FreeResources>;
using OutputInfo = std::unique_ptr<XRROutputInfo, FreeOutputInfo>;
using CrtcInfo = std::unique_ptr<XRRCrtcInfo, FreeCrtcInfo>;

Resources resources(Display* d) { return Resources(XRRGetScreenResourcesCurrent(d, DefaultRootWindow(d))); }
OutputInfo outputInfo(Display* d, XRRScreenResources* r, RROutput o) { return OutputInfo(XRRGetOutputInfo(d, r, o)); }
CrtcInfo crtcInfo(Display* d, XRRScreenResources* r, RRCrtc c) { return CrtcInfo(XRRGetCrtcInfo(d, r, c)); }

const XRRModeInfo* findMode(const XRRScreenResources* r, RRMode id) {
    for (int i = 0; i < r->nmode; ++i)
        if (r->modes[i].id == id) return &r->modes[i];
    return nullptr;
}

std::string modeName(const XRRModeInfo& mode) { return std::string(mode.name, mode.nameLength); }

std::optional<long> integerProperty(Display* d, RROutput output, Atom property) {
    Atom type = None;
    int format = 0;
    unsigned long count = 0, after = 0;
    unsigned char* data = nullptr;
    std::optional<long> value;
    if (XRRGetOutputProperty(d, output, property, 0, 1, False, False, XA_INTEGER, &type, &format, &count, &after,
                             &data) == Success &&
        type == XA_INTEGER && format == 32 && count == 1 && data != nullptr)
        value = *reinterpret_cast<long*>(data);
    if (data != nullptr) XFree(data);
    return value;
}

void setIntegerProperty(Display* d, RROutput output, Atom property, long value) {
    XRRChangeOutputProperty(d, output, property, XA_INTEGER, 32, PropModeReplace,
                            reinterpret_cast<unsigned char*>(&value), 1);
}

bool hasProperty(Display* d, RROutput output, Atom property) {
    XRRPropertyInfo* info = XRRQueryOutputProperty(d, output, property);
    if (info == nullptr) return false;
    XFree(info);
    return true;
}

// A PID that no process holds any more. EPERM means someone else's process.
bool ownerGone(long pid) { return pid <= 0 || (::kill(static_cast<pid_t>(pid), 0) != 0 && errno == ESRCH); }

// The owner PID within a mode name "Veltrane-<pid>-WxH"; 0 when there is none.
long modeOwner(const std::string& name) {
    const std::string prefix = RandRVirtualDisplay::kModePrefix;
    if (name.compare(0, prefix.size(), prefix) != 0) return 0;
    return std::strtol(name.c_str() + prefix.size(), nullptr, 10);
}

bool stillOff(Display* d, RROutput output) {
    Resources r = resources(d);
    OutputInfo info = r ? outputInfo(d, r.get(), output) : nullptr;
    return info && info->crtc == None;
}

unsigned millimetres(unsigned pixels) { return static_cast<unsigned>(std::lround(pixels * kMillimetresPerPixel)); }

// Takes the modes that `ours` names off every output, then off the server.
// None of them may be shown by a CRTC any more.
void dropModes(Display* d, const std::function<bool(const std::string&)>& ours) {
    Resources r = resources(d);
    if (!r) return;
    for (int i = 0; i < r->noutput; ++i) {
        OutputInfo info = outputInfo(d, r.get(), r->outputs[i]);
        if (!info) continue;
        for (int m = 0; m < info->nmode; ++m) {
            const XRRModeInfo* mode = findMode(r.get(), info->modes[m]);
            if (mode != nullptr && ours(modeName(*mode))) XRRDeleteOutputMode(d, r->outputs[i], mode->id);
        }
    }
    for (int i = 0; i < r->nmode; ++i)
        if (ours(modeName(r->modes[i]))) XRRDestroyMode(d, r->modes[i].id);
}

}  // namespace

RandRVirtualDisplay::~RandRVirtualDisplay() {
    releaseVirtualDisplay(0);
    stopWatching();
}

std::uint32_t RandRVirtualDisplay::createVirtualDisplay(const VirtualDisplayDescriptor& descriptor) {
    std::lock_guard lock(mutex_);
    if (x_) return 0;
    x_ = x11::X11Connection::open();
    if (!x_) return 0;
    int eventBase = 0, errorBase = 0, major = 0, minor = 0;
    if (!x_->settingUp([&](Display* d) { return XRRQueryExtension(d, &eventBase, &errorBase); }) ||
        !XRRQueryVersion(dpy(), &major, &minor) || (major == 1 && minor < kNeededMinorVersion) || major < 1) {
        x_.reset();
        return 0;
    }
    maxWidth_ = descriptor.maxPixelsWide;
    maxHeight_ = descriptor.maxPixelsHigh;
    modePrefix_ = std::string(kModePrefix) + std::to_string(::getpid()) + "-";

    x_->trapErrors();
    XGrabServer(dpy());
    releaseStaleOutputs();
    const bool claimed = claimSpareOutput(descriptor);
    XUngrabServer(dpy());
    if (!x_->synced() || !claimed) {
        if (claimed) {
            x_->trapErrors();
            releaseOutput(output_, modePrefix_);
            x_->synced();
        }
        output_ = None;
        x_.reset();
        return 0;
    }
    terminated_ = descriptor.terminationHandler;
    watch(static_cast<std::uint32_t>(output_));
    return static_cast<std::uint32_t>(output_);
}

void RandRVirtualDisplay::releaseStaleOutputs() {
    Resources r = resources(dpy());
    if (!r) return;
    const Atom owner = x_->atom(kOwnerProperty);
    for (int i = 0; i < r->noutput; ++i) {
        const auto pid = integerProperty(dpy(), r->outputs[i], owner);
        if (pid && ownerGone(*pid)) releaseOutput(r->outputs[i], kModePrefix + std::to_string(*pid) + "-");
    }
    // Modes a killed owner made but never showed.
    dropModes(dpy(), [](const std::string& name) {
        const long pid = modeOwner(name);
        return pid != 0 && ownerGone(pid);
    });
}

bool RandRVirtualDisplay::claimSpareOutput(const VirtualDisplayDescriptor& descriptor) {
    Resources r = resources(dpy());
    if (!r) return false;
    const Atom owner = x_->atom(kOwnerProperty);
    for (int i = 0; i < r->noutput && output_ == None; ++i) {
        const RROutput candidate = r->outputs[i];
        OutputInfo info = outputInfo(dpy(), r.get(), candidate);
        if (!info || info->crtc != None) continue;
        // Never an output that shows a monitor: only a disconnected one, or one
        // of the dummy driver's, which report "connected" once they were used.
        const std::string name(info->name, static_cast<std::size_t>(info->nameLen));
        if (info->connection != RR_Disconnected && name.rfind(kSpareConnectorPrefix, 0) != 0) continue;
        if (integerProperty(dpy(), candidate, owner)) continue;
        bool freeCrtc = false;
        for (int c = 0; c < info->ncrtc && !freeCrtc; ++c) {
            CrtcInfo crtc = crtcInfo(dpy(), r.get(), info->crtcs[c]);
            freeCrtc = crtc && crtc->mode == None && crtc->noutput == 0;
        }
        if (freeCrtc) output_ = candidate;
    }
    if (output_ == None) return false;

    setIntegerProperty(dpy(), output_, owner, static_cast<long>(::getpid()));
    setIntegerProperty(dpy(), output_, x_->atom(kScaleProperty), 1);
    std::string edid = virtualDisplayEDID(descriptor);
    XRRChangeOutputProperty(dpy(), output_, x_->atom(RR_PROPERTY_RANDR_EDID), XA_INTEGER, 8, PropModeReplace,
                            reinterpret_cast<unsigned char*>(edid.data()), static_cast<int>(edid.size()));
    const std::pair<const char*, double> sizes[] = {{"WIDTH_MM", descriptor.widthMillimetres},
                                                     {"HEIGHT_MM", descriptor.heightMillimetres}};
    for (const auto& [property, value] : sizes)
        if (hasProperty(dpy(), output_, x_->atom(property)))
            setIntegerProperty(dpy(), output_, x_->atom(property), std::lround(value));
    return true;
}

void RandRVirtualDisplay::releaseOutput(RROutput output, const std::string& modePrefix) {
    Resources r = resources(dpy());
    if (!r) return;
    if (OutputInfo info = outputInfo(dpy(), r.get(), output); info && info->crtc != None)
        XRRSetCrtcConfig(dpy(), r.get(), info->crtc, CurrentTime, 0, 0, None, RR_Rotate_0, nullptr, 0);
    for (const char* property : {kOwnerProperty, kScaleProperty, RR_PROPERTY_RANDR_EDID})
        XRRDeleteOutputProperty(dpy(), output, x_->atom(property));
    for (const char* property : {"WIDTH_MM", "HEIGHT_MM"})
        if (hasProperty(dpy(), output, x_->atom(property))) setIntegerProperty(dpy(), output, x_->atom(property), 0);
    dropModes(dpy(), [&](const std::string& name) { return name.rfind(modePrefix, 0) == 0; });
    fitScreen();
}

RandRVirtualDisplay::Extent RandRVirtualDisplay::othersExtent(XRRScreenResources* r, RRCrtc ours) {
    Extent extent;
    for (int i = 0; i < r->ncrtc; ++i) {
        if (r->crtcs[i] == ours) continue;
        CrtcInfo info = crtcInfo(dpy(), r, r->crtcs[i]);
        if (info && info->mode != None) extent.include(info->x, info->y, info->width, info->height);
    }
    return extent;
}

void RandRVirtualDisplay::fitScreen() {
    if (Resources r = resources(dpy())) resizeScreen(othersExtent(r.get(), None), false);
}

void RandRVirtualDisplay::resizeScreen(Extent extent, bool growOnly) {
    Window root = 0;
    int gx = 0, gy = 0;
    unsigned width = 0, height = 0, border = 0, depth = 0;
    XGetGeometry(dpy(), x_->root(), &root, &gx, &gy, &width, &height, &border, &depth);
    int minW = 0, minH = 0, maxW = 0, maxH = 0;
    XRRGetScreenSizeRange(dpy(), x_->root(), &minW, &minH, &maxW, &maxH);
    if (growOnly) extent.include(0, 0, width, height);
    const unsigned right =
        std::clamp(extent.right, static_cast<unsigned>(std::max(minW, 1)), static_cast<unsigned>(std::max(maxW, 1)));
    const unsigned bottom =
        std::clamp(extent.bottom, static_cast<unsigned>(std::max(minH, 1)), static_cast<unsigned>(std::max(maxH, 1)));
    if (right == width && bottom == height) return;
    XRRSetScreenSize(dpy(), x_->root(), static_cast<int>(right), static_cast<int>(bottom),
                     static_cast<int>(millimetres(right)), static_cast<int>(millimetres(bottom)));
}

RRMode RandRVirtualDisplay::modeFor(unsigned width, unsigned height, RRMode current) {
    const std::string name = modePrefix_ + std::to_string(width) + "x" + std::to_string(height);
    Resources r = resources(dpy());
    if (!r) return None;
    RRMode mode = None;
    for (int i = 0; i < r->nmode && mode == None; ++i)
        if (modeName(r->modes[i]) == name) mode = r->modes[i].id;
    if (mode == None) {
        // CVT timings come in whole character cells; the picture keeps the
        // width asked for and the remainder joins the blanking.
        const unsigned cellWidth = (width + kCVTGranularity - 1) / kCVTGranularity * kCVTGranularity;
        libxcvt_mode_info* cvt = libxcvt_gen_mode_info(static_cast<int>(cellWidth), static_cast<int>(height),
                                                       static_cast<float>(kRefreshRate), false, false);
        if (cvt == nullptr) return None;
        XRRModeInfo info{};
        info.width = width;
        info.height = height;
        info.dotClock = static_cast<unsigned long>(cvt->dot_clock) * 1000;  // kHz to Hz
        info.hSyncStart = cvt->hsync_start;
        info.hSyncEnd = cvt->hsync_end;
        info.hTotal = cvt->htotal;
        info.vSyncStart = cvt->vsync_start;
        info.vSyncEnd = cvt->vsync_end;
        info.vTotal = cvt->vtotal;
        info.modeFlags = static_cast<XRRModeFlags>(cvt->mode_flags);
        std::free(cvt);
        std::string copy = name;
        info.name = copy.data();
        info.nameLength = static_cast<unsigned>(copy.size());
        mode = XRRCreateMode(dpy(), x_->root(), &info);
    }
    if (mode != None && mode != current) XRRAddOutputMode(dpy(), output_, mode);
    return mode;
}

bool RandRVirtualDisplay::applySettings(std::uint32_t display, const VirtualDisplaySettings& settings) {
    std::lock_guard lock(mutex_);
    if (!usable() || output_ == None || releasing_ || display != output_) return false;
    const unsigned scale = settings.hiDPI ? 2 : 1;
    const auto width = static_cast<unsigned>(settings.width * scale);
    const auto height = static_cast<unsigned>(settings.height * scale);
    if (width == 0 || height == 0 || width > maxWidth_ || height > maxHeight_) return false;

    x_->trapErrors();
    XGrabServer(dpy());
    bool applied = false;
    if (Resources r = resources(dpy())) {
        OutputInfo info = outputInfo(dpy(), r.get(), output_);
        RRCrtc crtc = info ? info->crtc : None;
        CrtcInfo shown = crtc != None ? crtcInfo(dpy(), r.get(), crtc) : nullptr;
        const RRMode current = shown ? shown->mode : None;
        for (int c = 0; info && c < info->ncrtc && crtc == None; ++c) {
            CrtcInfo ci = crtcInfo(dpy(), r.get(), info->crtcs[c]);
            if (ci && ci->mode == None && ci->noutput == 0) crtc = info->crtcs[c];
        }
        // Right of the rightmost other picture, at the top.
        const Extent others = crtc != None ? othersExtent(r.get(), crtc) : Extent{};
        const int x = static_cast<int>(others.right);
        const RRMode mode = crtc != None ? modeFor(width, height, current) : None;
        if (mode != None && shown && mode == current && shown->x == x && shown->y == 0 &&
            shown->rotation == RR_Rotate_0 && scaleOf(output_) == scale) {
            applied = true;  // already so: the second application costs no change
        } else if (mode != None) {
            Extent wanted = others;
            wanted.include(x, 0, width, height);
            // The screen is resized once, to its final size, as xrandr does:
            // a picture that would not fit in it goes off first (inside the
            // grab, so no other client sees the gap).
            const bool oldFits = !shown || shown->mode == None ||
                                 (shown->x + shown->width <= wanted.right && shown->y + shown->height <= wanted.bottom);
            if (!oldFits) XRRSetCrtcConfig(dpy(), r.get(), crtc, CurrentTime, 0, 0, None, RR_Rotate_0, nullptr, 0);
            resizeScreen(wanted, false);
            applied = XRRSetCrtcConfig(dpy(), r.get(), crtc, CurrentTime, x, 0, mode, RR_Rotate_0, &output_, 1) ==
                      Success;
            if (applied) {
                setIntegerProperty(dpy(), output_, x_->atom(kScaleProperty), scale);
                // Only the mode in use stays: hours of changes leave nothing behind.
                if (current != None && current != mode) {
                    XRRDeleteOutputMode(dpy(), output_, current);
                    XRRDestroyMode(dpy(), current);
                }
            } else {
                if (current != mode) {
                    XRRDeleteOutputMode(dpy(), output_, mode);
                    XRRDestroyMode(dpy(), mode);
                }
                if (!oldFits) {
                    Extent before = others;
                    before.include(shown->x, shown->y, shown->width, shown->height);
                    resizeScreen(before, false);
                    XRRSetCrtcConfig(dpy(), r.get(), crtc, CurrentTime, shown->x, shown->y, current, shown->rotation,
                                     &output_, 1);
                }
                fitScreen();
            }
        }
    }
    XUngrabServer(dpy());
    return x_->synced() && applied;
}

void RandRVirtualDisplay::releaseVirtualDisplay(std::uint32_t display) {
    {
        std::lock_guard lock(mutex_);
        if (output_ == None || (display != 0 && display != output_)) return;
        releasing_ = true;
    }
    stopWatching();
    std::lock_guard lock(mutex_);
    if (output_ == None) return;
    if (usable()) {
        x_->trapErrors();
        XGrabServer(dpy());
        releaseOutput(output_, modePrefix_);
        XUngrabServer(dpy());
        x_->synced();
        configuring_ = false;
    }
    output_ = None;
}

long RandRVirtualDisplay::scaleOf(RROutput output) {
    const auto scale = integerProperty(dpy(), output, x_->atom(kScaleProperty));
    return scale && *scale == 2 ? 2 : 1;
}

std::uint32_t RandRVirtualDisplay::mainDisplayID() {
    std::lock_guard lock(mutex_);
    if (!usable()) return 0;
    Resources r = resources(dpy());
    if (!r) return 0;
    const RROutput primary = XRRGetOutputPrimary(dpy(), x_->root());
    std::uint32_t first = 0;
    for (int i = 0; i < r->noutput; ++i) {
        const RROutput output = r->outputs[i];
        if (output == output_) continue;
        OutputInfo info = outputInfo(dpy(), r.get(), output);
        if (!info || info->crtc == None) continue;
        if (output == primary) return static_cast<std::uint32_t>(output);
        if (first == 0) first = static_cast<std::uint32_t>(output);
    }
    return first;
}

std::optional<DisplayMode> RandRVirtualDisplay::copyDisplayMode(std::uint32_t display) {
    std::lock_guard lock(mutex_);
    if (!usable() || display == 0) return std::nullopt;
    Resources r = resources(dpy());
    if (!r) return std::nullopt;
    x_->trapErrors();
    OutputInfo info = outputInfo(dpy(), r.get(), display);
    if (!info || info->crtc == None) return std::nullopt;
    CrtcInfo crtc = crtcInfo(dpy(), r.get(), info->crtc);
    const XRRModeInfo* mode = crtc ? findMode(r.get(), crtc->mode) : nullptr;
    if (mode == nullptr) return std::nullopt;
    const auto scale = static_cast<unsigned>(scaleOf(display));
    return DisplayMode{mode->id, mode->width / scale, mode->height / scale, mode->width, mode->height};
}

DisplaySize RandRVirtualDisplay::displayBounds(std::uint32_t display) {
    std::lock_guard lock(mutex_);
    if (!usable() || display == 0) return {};
    Resources r = resources(dpy());
    if (!r) return {};
    OutputInfo info = outputInfo(dpy(), r.get(), display);
    if (!info || info->crtc == None) return {};
    CrtcInfo crtc = crtcInfo(dpy(), r.get(), info->crtc);
    if (!crtc || crtc->mode == None) return {};
    const double scale = static_cast<double>(scaleOf(display));
    return {crtc->width / scale, crtc->height / scale};
}

bool RandRVirtualDisplay::beginConfiguration() {
    std::lock_guard lock(mutex_);
    if (!usable() || configuring_) return false;
    x_->trapErrors();
    XGrabServer(dpy());
    configuring_ = true;
    return true;
}

bool RandRVirtualDisplay::configureDisplayWithMode(std::uint32_t display, const DisplayMode& mode) {
    std::lock_guard lock(mutex_);
    if (!usable() || !configuring_ || display == 0) return false;
    Resources r = resources(dpy());
    if (!r) return false;
    OutputInfo info = outputInfo(dpy(), r.get(), display);
    if (!info || info->crtc == None) return false;
    CrtcInfo crtc = crtcInfo(dpy(), r.get(), info->crtc);
    if (!crtc) return false;
    return XRRSetCrtcConfig(dpy(), r.get(), info->crtc, CurrentTime, crtc->x, crtc->y,
                            static_cast<RRMode>(mode.handle), crtc->rotation, crtc->outputs, crtc->noutput) == Success;
}

void RandRVirtualDisplay::cancelConfiguration() {
    std::lock_guard lock(mutex_);
    if (!configuring_) return;
    configuring_ = false;
    if (!usable()) return;
    XUngrabServer(dpy());
    XFlush(dpy());
}

bool RandRVirtualDisplay::completeConfiguration() {
    std::lock_guard lock(mutex_);
    if (!configuring_) return false;
    configuring_ = false;
    if (!usable()) return false;
    XUngrabServer(dpy());
    return x_->synced();
}

void RandRVirtualDisplay::watch(std::uint32_t display) {
    // A connection of the watcher's own, so events never wait behind a
    // display change on the main one.
    std::shared_ptr<x11::X11Connection> events = x11::X11Connection::open();
    if (!events) return;
    int eventBase = 0, errorBase = 0;
    if (!events->settingUp([&](Display* d) { return XRRQueryExtension(d, &eventBase, &errorBase); })) return;
    XRRSelectInput(events->display(), events->root(), RROutputChangeNotifyMask);
    XSync(events->display(), False);
    std::lock_guard lock(watchMutex_);
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC);
    if (wakeFd_ < 0) return;
    watcher_ = std::thread([this, events, display, eventBase, wake = wakeFd_] {
        Display* d = events->display();
        bool shown = false;
        auto report = [&] {
            if (!releasing_ && terminated_) terminated_(display);
        };
        for (;;) {
            while (!events->broken() && XPending(d) > 0) {
                XEvent event;
                XNextEvent(d, &event);
                if (event.type != eventBase + RRNotify) continue;
                const auto* notify = reinterpret_cast<const XRRNotifyEvent*>(&event);
                if (notify->subtype != RRNotify_OutputChange) continue;
                const auto* change = reinterpret_cast<const XRROutputChangeNotifyEvent*>(&event);
                if (change->output != display) continue;
                // Adding a mode to the output before it shows one is a change too.
                // A change of ours may switch the picture off for a moment
                // inside its grab; only an output still off was taken away.
                if (change->crtc != None)
                    shown = true;
                else if (shown && stillOff(d, display) && std::exchange(shown, false))
                    report();
            }
            if (events->broken()) {
                report();
                return;
            }
            pollfd fds[2] = {{ConnectionNumber(d), POLLIN, 0}, {wake, POLLIN, 0}};
            if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
            if (fds[1].revents != 0) return;
        }
    });
}

void RandRVirtualDisplay::stopWatching() {
    std::lock_guard lock(watchMutex_);
    if (!watcher_.joinable()) return;
    const std::uint64_t one = 1;
    while (::write(wakeFd_, &one, sizeof one) < 0 && errno == EINTR) {
    }
    watcher_.join();
    ::close(wakeFd_);
    wakeFd_ = -1;
}

}  // namespace veltrane::display
