#pragma once
// Canned now-playing answers and running applications for tests; counts
// what was asked.

#include <mutex>
#include <string>
#include <vector>

#include "platform/mpris/NowPlayingService.h"

namespace veltrane::mpris {

class FakeNowPlaying final : public NowPlayingService {
public:
    struct State {
        NowPlayingReading reading;
        std::optional<std::int32_t> pid;
        std::optional<RunningApplication> application;  // for any pid >= 1
    };

    void set(State state) {
        std::lock_guard lock(mutex_);
        state_ = std::move(state);
    }
    int reads() const {
        std::lock_guard lock(mutex_);
        return reads_;
    }
    // Whether commands are answered; each one is recorded either way.
    void acceptCommands(bool accept) {
        std::lock_guard lock(mutex_);
        accept_ = accept;
    }
    // "Play", "PlayPause", "Next", "SetPosition 12.5" …, in order.
    std::vector<std::string> calls() const {
        std::lock_guard lock(mutex_);
        return calls_;
    }
    int pidAsks() const {
        std::lock_guard lock(mutex_);
        return pidAsks_;
    }
    // Announces a change as the bus would.
    void announce() {
        std::function<void()> changed;
        {
            std::lock_guard lock(mutex_);
            changed = changed_;
        }
        if (changed) changed();
    }

    NowPlayingReading read(Timeout) override {
        std::lock_guard lock(mutex_);
        ++reads_;
        return state_.reading;
    }
    std::optional<std::int32_t> nowPlayingPID(Timeout) override {
        std::lock_guard lock(mutex_);
        ++pidAsks_;
        return state_.pid;
    }
    std::optional<RunningApplication> runningApplication(std::int32_t pid) override {
        std::lock_guard lock(mutex_);
        if (pid < 1) return std::nullopt;
        return state_.application;
    }
    void registerForNotifications(std::function<void()> changed) override {
        std::lock_guard lock(mutex_);
        changed_ = std::move(changed);
    }

    bool send(PlayerCommand command, Timeout) override {
        static constexpr const char* kNames[] = {"Play", "Pause", "PlayPause", "Stop", "Next", "Previous"};
        std::lock_guard lock(mutex_);
        calls_.emplace_back(kNames[static_cast<int>(command)]);
        return accept_;
    }
    bool setPosition(double seconds, Timeout) override {
        std::lock_guard lock(mutex_);
        calls_.push_back("SetPosition " + std::to_string(seconds));
        return accept_;
    }

private:
    mutable std::mutex mutex_;
    bool accept_ = true;
    std::vector<std::string> calls_;
    State state_;
    int reads_ = 0;
    int pidAsks_ = 0;
    std::function<void()> changed_;
};

using apps::FakeRunningApps;

}  // namespace veltrane::mpris
