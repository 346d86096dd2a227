#pragma once
// The virtual-display helper: creates the display, gives it its first mode,
// then changes its size, scale and orientation on command. Data lines go to
// `out`, every message to `err`. Everything runs on the caller's thread
// except the termination message, which comes from the display system's.

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "helpers/ostrevel/CommandReader.h"
#include "platform/display/VirtualDisplaySystem.h"

namespace veltrane::ostrevel {

enum class Orientation { landscape, portrait };

enum ExitStatus : int {
    kExitSuccess = 0,
    kExitUsage = 2,
    kExitNoDisplay = 3,
    kExitFirstMode = 4,
};

inline constexpr std::string_view kUsage = "Usage: Ostrevel [--landscape|--portrait]\n";

// No argument, or exactly one orientation option; empty for anything else.
std::optional<Orientation> parseArguments(const std::vector<std::string_view>& args);

class Ostrevel {
public:
    struct Environment {
        display::VirtualDisplaySystem& system;
        std::function<void(std::string_view)> out;
        std::function<void(std::string_view)> err;  // called from any thread
        std::function<void(std::chrono::milliseconds)> sleep;
    };

    explicit Ostrevel(Environment environment) : env_(std::move(environment)) {}

    // The display's start in `orientation` followed by the command loop on
    // `input` until "quit" or its end; the display is released before it
    // returns. The exit status.
    int run(Orientation orientation, int input);

    // Creates the display and applies its first mode, then writes READY;
    // kExitSuccess, kExitNoDisplay or kExitFirstMode.
    int start(Orientation orientation);
    // False once the command asks to quit.
    bool perform(const Command& command);
    bool applyMode(std::size_t width, std::size_t height, std::size_t scale);
    // Puts the main display back in `saved` when a change moved it; a failed
    // step writes its message and ends the attempt.
    void restoreDisplayMode(std::uint32_t mainDisplay, const std::optional<display::DisplayMode>& saved);
    void release();

    std::uint32_t displayID() const { return displayID_; }

    static display::VirtualDisplayDescriptor descriptor();

private:
    void apply(std::size_t width, std::size_t height, std::size_t scale);

    Environment env_;
    std::atomic<std::uint32_t> displayID_{0};
    // The remembered edges in pixels and scale, on the caller's thread.
    std::size_t shortEdge_ = 1200;
    std::size_t longEdge_ = 2000;
    std::size_t scale_ = 1;
};

}  // namespace veltrane::ostrevel
