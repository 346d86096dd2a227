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
#include "platform/accessibility/AtspiAccessibilityTree.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/mpris/MprisNowPlaying.h"

namespace veltrane::mirabeck {
namespace {

constexpr auto kWatchInterval = std::chrono::milliseconds(70);
constexpr auto kWatchLeeway = std::chrono::milliseconds(8);

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

    // Timer firings and change notifications both land on one serial queue,
    // so emissions never overlap. Firings that fell due while an emission
    // waited (a slow player, a large cover) are merged, as are notifications
    // that arrive before the line they asked for: one line, not a burst.
    // A failed write means our reader is gone.
    Ending ending;
    auto emitQ = dispatch::SerialQueue::create("nowplaying.emit");
    auto lastEnd = std::make_shared<dispatch::Clock::time_point>();  // on emitQ only
    auto notified = std::make_shared<std::atomic<bool>>(false);
    auto emitLine = [&writer, &ending, outputFd, lastEnd] {
        if (auto line = writer.emit(); line && !writeAll(outputFd, *line)) ending.signal();
        *lastEnd = dispatch::Clock::now();
    };
    std::weak_ptr<dispatch::SerialQueue> weakQueue = emitQ;
    service->registerForNotifications([weakQueue, emitLine, notified] {
        if (notified->exchange(true)) return;
        if (auto queue = weakQueue.lock())
            queue->async([emitLine, notified] {
                notified->store(false);
                emitLine();
            });
    });
    auto timer = dispatch::DispatchTimer::create(*emitQ, kWatchInterval, kWatchLeeway, [emitLine, lastEnd] {
        if (dispatch::Clock::now() - *lastEnd < kWatchInterval / 2) return;
        emitLine();
    });
    timer->start(dispatch::Duration::zero());
    ending.wait();
    // Nothing left to say: leave without unwinding the bus thread and the
    // queue, which may be inside a call.
    std::_Exit(0);
}

}  // namespace veltrane::mirabeck
