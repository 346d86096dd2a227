#include "platform/dispatch/DispatchQueue.h"

#include "platform/dispatch/Scheduler.h"

namespace veltrane::dispatch {

namespace detail {
namespace {
thread_local const QueueCore* tlsCurrentCore = nullptr;
}
const QueueCore* currentCore() { return tlsCurrentCore; }
const QueueCore* setCurrentCore(const QueueCore* core) {
    const QueueCore* previous = tlsCurrentCore;
    tlsCurrentCore = core;
    return previous;
}
}  // namespace detail

void DispatchQueue::asyncAfter(Duration delay, Task task) const {
    std::weak_ptr<detail::QueueCore> weak = core_;
    Scheduler::shared().schedule(Clock::now() + delay, [weak, task = std::move(task)]() mutable {
        if (auto core = weak.lock()) core->enqueue(std::move(task));
    });
}

namespace {
void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}
}  // namespace

bool DispatchQueue::waitOutBriefHold(Duration patience) const {
    const auto until = Clock::now() + patience;
    for (;;) {
        // Reading the clock costs more than a turn of the loop: only now and then.
        for (int turn = 0; turn < 32; ++turn) {
            if (core_->heldBriefly()) {
                relax();
                continue;
            }
            if (core_->tryEnterBriefly()) return true;
            // Taken by the queue's own work, or work waits: it goes first.
            if (!core_->heldBriefly()) return false;
        }
        if (Clock::now() >= until) return false;
    }
}

std::string DispatchQueue::currentLabel() {
    const detail::QueueCore* core = detail::currentCore();
    return core ? core->label() : std::string();
}

}  // namespace veltrane::dispatch
