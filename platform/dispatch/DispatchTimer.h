#pragma once

#include <memory>

#include "platform/dispatch/DispatchQueue.h"

namespace veltrane::dispatch {

// A repeating timer whose handler runs as work of a target queue.
// Firings are spaced by `interval` from the first deadline (no drift); a
// firing that falls behind is skipped, not run in a burst. `leeway` is how
// late a firing may come; it lets the system batch wake-ups.
// cancel() releases the handler (with whatever it captured); called from the
// target queue it guarantees no further run, called elsewhere a run that has
// already begun may finish. Destroying the timer cancels it.
class DispatchTimer {
public:
    static std::unique_ptr<DispatchTimer> create(const DispatchQueue& queue, Duration interval, Duration leeway,
                                                 Task handler);
    ~DispatchTimer();
    DispatchTimer(const DispatchTimer&) = delete;
    DispatchTimer& operator=(const DispatchTimer&) = delete;

    // Starts firing; the first firing comes after `initialDelay`.
    void start(Duration initialDelay);
    void start() { start(interval()); }
    void cancel();
    bool isCancelled() const;
    Duration interval() const;

private:
    struct State;
    explicit DispatchTimer(std::shared_ptr<State> state);
    std::shared_ptr<State> state_;
};

}  // namespace veltrane::dispatch
