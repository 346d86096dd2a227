#include "helpers/mirabeck/MirabeckMain.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

#include "helpers/mirabeck/Mirabeck.h"
#include "helpers/mirabeck/WatchLoop.h"
#include "platform/accessibility/AtspiAccessibilityTree.h"
#include "platform/mpris/MprisNowPlaying.h"

namespace veltrane::mirabeck {
namespace {

constexpr auto kWatchInterval = std::chrono::milliseconds(70);

bool writeAll(int fd, std::string_view text) {
    while (!text.empty()) {
        const ssize_t written = ::write(fd, text.data(), text.size());
        if (written < 0 && errno == EINTR) continue;
        if (written <= 0) return false;
        text.remove_prefix(static_cast<std::size_t>(written));
    }
    return true;
}

double wallSeconds() {
    return std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count();
}

double steadySeconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Set once the reader of our lines is gone.
class Ending {
public:
    void signal() {
        std::lock_guard lock(mutex_);
        ended_ = true;
        changed_.notify_all();
    }
    void wait() {
        std::unique_lock lock(mutex_);
        changed_.wait(lock, [&] { return ended_; });
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    bool ended_ = false;
};

}  // namespace

int mirabeckMain(const std::vector<std::string_view>& arguments, int outputFd) {
    const bool watch = std::find(arguments.begin(), arguments.end(), "--watch") != arguments.end();
    auto service = mpris::MprisNowPlaying::connect();
    if (!service) {
        writeAll(outputFd, kNoServiceLine);
        return 0;
    }

    std::unique_ptr<accessibility::AccessibilityTree> tree = accessibility::AtspiAccessibilityTree::ifRunning();
    if (!tree) tree = std::make_unique<accessibility::NoAccessibility>();
    QQWindowReader qqWindow(*tree, steadySeconds);
    Mirabeck writer(*service, [&qqWindow] { return qqWindow.qqAXSnapshot(); }, {wallSeconds});

    if (!watch) {
        if (auto line = writer.emit()) writeAll(outputFd, *line);
        return 0;
    }

    // Ticks and change notifications both run the writer on the loop's one
    // thread, so emissions never overlap, and notifications that arrive
    // before the line they asked for give one line. A failed write means our
    // reader is gone.
    // Signals are heard before the first reading, so no change falls between.
    Ending ending;
    std::atomic<WatchLoop*> running{nullptr};
    service->registerForNotifications([&running] {
        if (auto* loop = running.load()) loop->poke();
    });
    WatchLoop loop("nowplaying.emit", kWatchInterval, [&writer, &ending, outputFd] {
        if (auto line = writer.emit(); line && !writeAll(outputFd, *line)) ending.signal();
    });
    running = &loop;
    ending.wait();
    // Nothing left to say: leave without unwinding the bus thread and the
    // queue, which may be inside a call.
    std::_Exit(0);
}

}  // namespace veltrane::mirabeck
