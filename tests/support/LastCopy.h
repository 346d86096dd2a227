#pragma once
// Tells a test when every copy of a token is gone, ordered by a lock. A rig
// puts the token into the functions it gives an object under test; once the
// token is gone, nothing the object runs can reach the rig any more. An
// expired weak pointer to the object says less: its count falls to zero
// before its destructor, and the functions it holds, have finished.

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace veltrane::testing {

class LastCopy {
public:
    LastCopy() : token_(std::make_shared<Token>(state_)) {}

    // What to capture.
    std::shared_ptr<const void> token() const { return token_; }

    // Drops this rig's own copy and waits until the others are gone.
    bool waitGone(std::chrono::steady_clock::duration limit = std::chrono::seconds(30)) {
        token_.reset();
        std::unique_lock lock(state_->mutex);
        return state_->changed.wait_for(lock, limit, [&] { return state_->gone; });
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool gone = false;
    };
    struct Token {
        explicit Token(std::shared_ptr<State> state) : state(std::move(state)) {}
        ~Token() {
            std::lock_guard lock(state->mutex);
            state->gone = true;
            state->changed.notify_all();
        }
        std::shared_ptr<State> state;
    };
    std::shared_ptr<State> state_ = std::make_shared<State>();
    std::shared_ptr<Token> token_;
};

}  // namespace veltrane::testing
