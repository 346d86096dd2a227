#include "helpers/brennick/ContentFilter.h"

#include <mutex>
#include <set>

#include "platform/display/OutputBounds.h"
#include "platform/x11/X11Connection.h"

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
// One connection for the life of the session, opened again once lost: the
// refresh asks every 2 s, and a connection per pass would cost more than the
// questions.
class X11DisplayWindows final : public DisplayWindows {
public:
    std::optional<x11::Rect> bounds(std::uint32_t displayID) override {
        std::lock_guard lock(mutex_);
        if (!connected()) return std::nullopt;
        return display::outputBounds(*connection_, displayID);
    }
    std::optional<std::vector<x11::TopLevelWindow>> windows() override {
        std::lock_guard lock(mutex_);
        if (!connected()) return std::nullopt;
        return x11::listTopLevelWindows(*connection_);
    }

private:
    bool connected() {
        if (!connection_ || connection_->broken()) connection_ = x11::X11Connection::open();
        return connection_ != nullptr;
    }
    std::mutex mutex_;  // the connection, used by one thread at a time
    std::unique_ptr<x11::X11Connection> connection_;
};
}  // namespace

std::shared_ptr<DisplayWindows> makeX11DisplayWindows() { return std::make_shared<X11DisplayWindows>(); }

}  // namespace veltrane::brennick
