#include "helpers/ostrevel/Ostrevel.h"

#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <string>

namespace veltrane::ostrevel {
namespace {

constexpr std::size_t kFirstLongEdge = 2000;
constexpr std::size_t kFirstShortEdge = 1200;
constexpr double kRefreshRate = 60.0;
constexpr auto kSettleWait = std::chrono::milliseconds(100);
constexpr auto kPollWait = std::chrono::milliseconds(50);
constexpr int kPolls = 100;
constexpr std::size_t kReadChunk = 4096;

template <class... Args>
std::string format(const char* pattern, Args... args) {
    char text[256];
    const int length = std::snprintf(text, sizeof text, pattern, args...);
    return std::string(text, static_cast<std::size_t>(std::max(0, std::min<int>(length, sizeof text - 1))));
}

bool sameSize(const display::DisplayMode& a, const display::DisplayMode& b) {
    return a.width == b.width && a.height == b.height && a.pixelWidth == b.pixelWidth &&
           a.pixelHeight == b.pixelHeight;
}

}  // namespace

std::optional<Orientation> parseArguments(const std::vector<std::string_view>& args) {
    if (args.empty()) return Orientation::landscape;
    if (args.size() == 1 && args[0] == "--landscape") return Orientation::landscape;
    if (args.size() == 1 && args[0] == "--portrait") return Orientation::portrait;
    return std::nullopt;
}

display::VirtualDisplayDescriptor Ostrevel::descriptor() {
    display::VirtualDisplayDescriptor d;
    d.name = "Veltrane Virtual Screen";
    d.maxPixelsWide = kMaximumEdge;
    d.maxPixelsHigh = kMaximumEdge;
    d.widthMillimetres = 256.0;
    d.heightMillimetres = 154.0;
    d.serialNumber = 0x4F465331;
    d.productID = 0x4D4B;
    d.vendorID = 0x4F46;
    return d;
}

int Ostrevel::start(Orientation orientation) {
    display::VirtualDisplayDescriptor d = descriptor();
    auto err = env_.err;
    d.terminationHandler = [err](std::uint32_t id) { err(format("Virtual display %u terminated.\n", id)); };
    const std::uint32_t id = env_.system.createVirtualDisplay(d);
    if (id == 0) {
        env_.err("Could not create the virtual display.\n");
        return kExitNoDisplay;
    }
    displayID_ = id;
    const bool landscape = orientation == Orientation::landscape;
    if (!applyMode(landscape ? kFirstLongEdge : kFirstShortEdge, landscape ? kFirstShortEdge : kFirstLongEdge, 1))
        return kExitFirstMode;
    env_.out(format("READY %u\n", id));
    return kExitSuccess;
}

bool Ostrevel::perform(const Command& command) {
    switch (command.kind) {
        case CommandKind::portrait:
            apply(shortEdge_, longEdge_, scale_);
            return true;
        case CommandKind::landscape:
            apply(longEdge_, shortEdge_, scale_);
            return true;
        case CommandKind::mode:
            shortEdge_ = std::min(command.width, command.height);
            longEdge_ = std::max(command.width, command.height);
            apply(command.width, command.height, command.scale);
            scale_ = command.scale;
            return true;
        case CommandKind::invalidMode:
            env_.err("Mode must contain dimensions from 640 to 3840 and scale 1 or 2.\n");
            return true;
        case CommandKind::quit:
            return false;
        case CommandKind::unknown:
            break;
    }
    env_.err("Expected mode WIDTH HEIGHT SCALE, portrait, landscape, or quit.\n");
    return true;
}

void Ostrevel::apply(std::size_t width, std::size_t height, std::size_t scale) {
    // A failed change in the loop has written its message; the loop goes on.
    applyMode(width, height, scale);
}

bool Ostrevel::applyMode(std::size_t width, std::size_t height, std::size_t scale) {
    display::VirtualDisplaySystem& system = env_.system;
    const std::uint32_t id = displayID_;
    const std::uint32_t mainDisplay = system.mainDisplayID();
    const std::optional<display::DisplayMode> saved = system.copyDisplayMode(mainDisplay);

    display::VirtualDisplaySettings settings;
    settings.hiDPI = scale == 2;
    settings.width = width / scale;
    settings.height = height / scale;
    settings.refreshRate = kRefreshRate;
    // Applied twice, with a pause after each: the display settles on the
    // second application.
    bool applied = system.applySettings(id, settings);
    if (applied) {
        env_.sleep(kSettleWait);
        applied = system.applySettings(id, settings);
        if (applied) env_.sleep(kSettleWait);
    }
    restoreDisplayMode(mainDisplay, saved);
    if (!applied) {
        env_.err(format("Could not apply %zux%zu virtual display settings.\n", width, height));
        return false;
    }

    const double pointsWide = static_cast<double>(width / scale);
    const double pointsHigh = static_cast<double>(height / scale);
    for (int poll = 0; poll < kPolls; ++poll) {
        if (poll > 0) env_.sleep(kPollWait);
        const display::DisplaySize bounds = system.displayBounds(id);
        const std::optional<display::DisplayMode> mode = system.copyDisplayMode(id);
        const std::size_t pixelWidth = mode ? mode->pixelWidth : 0;
        const std::size_t pixelHeight = mode ? mode->pixelHeight : 0;
        if (std::fabs(bounds.width - pointsWide) < 0.5 && std::fabs(bounds.height - pointsHigh) < 0.5 &&
            pixelWidth == width && pixelHeight == height) {
            env_.out(format("ORIENTATION %s %u %.0f %.0f %zu %zu\n", height > width ? "portrait" : "landscape", id,
                            bounds.width, bounds.height, width, height));
            return true;
        }
    }
    env_.err(format("Virtual display did not change to %zux%zu.\n", width, height));
    return false;
}

void Ostrevel::restoreDisplayMode(std::uint32_t mainDisplay, const std::optional<display::DisplayMode>& saved) {
    if (!saved) return;
    display::VirtualDisplaySystem& system = env_.system;
    const std::optional<display::DisplayMode> current = system.copyDisplayMode(mainDisplay);
    if (current && sameSize(*current, *saved)) return;
    if (!system.beginConfiguration()) {
        env_.err("Could not preserve the main display mode.\n");
        return;
    }
    if (!system.configureDisplayWithMode(mainDisplay, *saved)) {
        system.cancelConfiguration();
        env_.err("Could not restore the main display mode.\n");
        return;
    }
    if (!system.completeConfiguration()) env_.err("Could not restore the main display mode.\n");
}

void Ostrevel::release() { env_.system.releaseVirtualDisplay(displayID_); }

int Ostrevel::run(Orientation orientation, int input) {
    const int started = start(orientation);
    if (started != kExitSuccess) {
        release();
        return started;
    }
    CommandReader reader;
    char buffer[kReadChunk];
    bool going = true;
    while (going) {
        const ssize_t got = ::read(input, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) {
            if (auto last = reader.finish()) perform(*last);
            break;
        }
        for (const Command& command : reader.feed(std::string_view(buffer, static_cast<std::size_t>(got))))
            if (!(going = perform(command))) break;
    }
    release();
    return kExitSuccess;
}

}  // namespace veltrane::ostrevel
