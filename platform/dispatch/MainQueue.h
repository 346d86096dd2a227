#pragma once

#include <functional>
#include <memory>

#include "platform/dispatch/DispatchQueue.h"

namespace veltrane::dispatch {

// The process's main queue. Nothing runs it by itself: the headless host
// calls run() on its main thread, a GUI event loop installs a waker that
// schedules drain() on its own loop, and tests drain it where they wait.
class MainQueue final : public DispatchQueue {
public:
    static MainQueue& shared();

    // Pumps the queue on the calling thread until stop().
    void run();
    // Makes run() return once the work queued before this call has run.
    void stop();
    // Runs the work queued so far on the calling thread; returns how many ran.
    std::size_t drain();
    // Pumps until `done` holds or `timeout` passes; returns `done()`.
    bool runUntil(const std::function<bool()>& done, Duration timeout);

    // Called (from any thread) after each enqueue, so an event loop can
    // schedule a drain() of its own. Pass null to remove.
    void setWaker(std::function<void()> waker);

private:
    class Core;
    explicit MainQueue(std::shared_ptr<Core> core);
    std::shared_ptr<Core> mainCore_;
};

}  // namespace veltrane::dispatch
