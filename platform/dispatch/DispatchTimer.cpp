#include "platform/dispatch/DispatchTimer.h"

#include <mutex>

#include "platform/dispatch/Scheduler.h"

namespace veltrane::dispatch {

struct DispatchTimer::State : std::enable_shared_from_this<DispatchTimer::State> {
    std::weak_ptr<detail::QueueCore> queue;
    Duration interval{};
    Duration leeway{};
    mutable std::mutex mutex;
    Task handler;
    bool started = false;
    bool cancelled = false;
    Clock::time_point deadline;

    // Scheduler thread: hands one firing to the queue and arms the next.
    void fire() {
        auto core = queue.lock();
        {
            std::lock_guard lock(mutex);
            if (cancelled) return;
            if (!core) {  // the queue is gone; nothing can ever run the handler
                cancelled = true;
                handler = nullptr;
                return;
            }
            // Next firing: one interval on; missed firings are skipped, not bunched.
            auto now = Clock::now();
            deadline += interval;
            if (deadline < now) deadline += interval * ((now - deadline) / interval + 1);
        }
        std::weak_ptr<State> weak = weak_from_this();
        core->enqueue([weak] {
            if (auto self = weak.lock()) self->runHandler();
        });
        arm();
    }

    void runHandler() {
        Task copy;
        {
            std::lock_guard lock(mutex);
            if (cancelled) return;
            copy = handler;
        }
        copy();
    }

    void arm() {
        Clock::time_point when;
        {
            std::lock_guard lock(mutex);
            if (cancelled) return;
            when = deadline;
        }
        std::weak_ptr<State> weak = weak_from_this();
        Scheduler::shared().schedule(when, [weak] {
            if (auto self = weak.lock()) self->fire();
        });
    }
};

std::unique_ptr<DispatchTimer> DispatchTimer::create(const DispatchQueue& queue, Duration interval, Duration leeway,
                                                     Task handler) {
    auto state = std::make_shared<State>();
    state->queue = queue.weakCore();
    state->interval = interval > Duration::zero() ? interval : std::chrono::milliseconds(1);
    state->leeway = leeway;
    state->handler = std::move(handler);
    return std::unique_ptr<DispatchTimer>(new DispatchTimer(std::move(state)));
}

DispatchTimer::DispatchTimer(std::shared_ptr<State> state) : state_(std::move(state)) {}

DispatchTimer::~DispatchTimer() { cancel(); }

void DispatchTimer::start(Duration initialDelay) {
    {
        std::lock_guard lock(state_->mutex);
        if (state_->started || state_->cancelled) return;
        state_->started = true;
        state_->deadline = Clock::now() + initialDelay;
    }
    state_->arm();
}

void DispatchTimer::cancel() {
    Task released;
    {
        std::lock_guard lock(state_->mutex);
        state_->cancelled = true;
        released = std::move(state_->handler);
        state_->handler = nullptr;
    }
    // `released` dies here, outside the lock.
}

bool DispatchTimer::isCancelled() const {
    std::lock_guard lock(state_->mutex);
    return state_->cancelled;
}

Duration DispatchTimer::interval() const { return state_->interval; }

}  // namespace veltrane::dispatch
