#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>

#include "ControlDeckCore/runtime/DeckTimer.h"
#include "ControlDeckCore/shared/JSON.h"

namespace veltrane::deck {

// The countdown timers. The engine has no clock or thread of its own: time
// advances only when tick() is called. Times are monotonic, so setting the
// wall clock back never gives a timer time back. No lock: used on one queue.
class TimerEngine {
public:
    using Clock = std::chrono::steady_clock;
    using Instant = Clock::time_point;

    static constexpr const char* kDefaultLabel = "Timer";
    // Running timers are re-announced only when a tick covers more than this.
    static constexpr double kAnnounceInterval = 0.4;

    explicit TimerEngine(Instant createdAt = Clock::now()) : lastTick(createdAt) {}

    // A running timer of `seconds`; an absent or empty label becomes "Timer".
    DeckTimer start(std::int64_t seconds, const std::optional<std::string>& label);
    // Both call onChange whether or not the id exists.
    void pause(const std::string& id);
    void resume(const std::string& id);
    // Charges every running timer the whole time since the previous tick,
    // removes those that ran out, then calls onChange once and onFinished
    // once per finished timer, in the order found.
    void tick(Instant now);
    // JSON objects {"duration","id","label","remaining","running"}, by label
    // (canonically equivalent labels are equal, then Unicode scalar order).
    Json publicList() const;

    // Cancelling removes an entry here directly and calls onChange.
    std::map<std::string, DeckTimer> timers;
    Instant lastTick;
    std::function<void()> onChange;
    std::function<void(const DeckTimer&)> onFinished;

private:
    void changed() const;
};

}  // namespace veltrane::deck
