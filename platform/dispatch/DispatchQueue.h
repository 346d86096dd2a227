#pragma once
// Queues in the style the whole system is written against: work is submitted
// as closures to labelled queues; serial queues run one closure at a time on
// their own thread, concurrent queues grow a thread when every worker is busy,
// and the main queue is pumped by whoever owns the process's main thread.

#include <chrono>
#include <exception>
#include <functional>
#include <future>
#include <memory>
#include <string>
#include <type_traits>

namespace veltrane::dispatch {

using Task = std::function<void()>;
using Clock = std::chrono::steady_clock;
using Duration = Clock::duration;

// Converts seconds given as a floating value (the unit most callers think in).
inline Duration seconds(double s) { return std::chrono::duration_cast<Duration>(std::chrono::duration<double>(s)); }

namespace detail {
// What a queue's threads drain. Held strongly by the queue and by its worker
// threads, weakly by delayed work, so a queue that is gone drops late work.
class QueueCore {
public:
    explicit QueueCore(std::string label) : label_(std::move(label)) {}
    virtual ~QueueCore() = default;
    // False once the queue no longer accepts work (it is shutting down).
    virtual bool enqueue(Task task) = 0;
    // Takes the queue for the calling thread when nothing of it is queued or
    // running, so `sync` can run its work in place; every other piece of the
    // queue's work waits until `leave`. Queues that cannot be held say false.
    virtual bool tryEnter() { return false; }
    // The same for a brief hold (`runIfIdle`), which others may wait out.
    virtual bool tryEnterBriefly() { return tryEnter(); }
    // Queues work known to be brief, which others may wait out as well.
    virtual bool enqueueBrief(Task task) { return enqueue(std::move(task)); }
    // Whether the queue is taken only by brief work now, held or queued (a
    // hint: read without a lock).
    virtual bool heldBriefly() const { return false; }
    virtual void leave() {}
    const std::string& label() const { return label_; }

private:
    std::string label_;
};

// The core whose work is running on this thread, or null.
const QueueCore* currentCore();
// Marks the calling thread as running `core`'s work; returns the previous mark.
const QueueCore* setCurrentCore(const QueueCore* core);
}  // namespace detail

class DispatchQueue {
public:
    DispatchQueue(const DispatchQueue&) = delete;
    DispatchQueue& operator=(const DispatchQueue&) = delete;
    virtual ~DispatchQueue() = default;

    const std::string& label() const { return core_->label(); }

    // Queues `task`. Work submitted to a queue that is shutting down is dropped.
    void async(Task task) const { core_->enqueue(std::move(task)); }
    // The same for brief work (as `runIfIdle` asks of its `fn`) that found
    // the queue busy: while only such work runs and waits, `runIfIdle`
    // callers wait it out rather than queue behind it, so a queue that had
    // to take one brief request does not take every later one as well.
    void asyncBrief(Task task) const { core_->enqueueBrief(std::move(task)); }

    // Queues `task` once `delay` has passed; dropped if the queue is gone by then.
    void asyncAfter(Duration delay, Task task) const;

    // True when the calling code runs as work of this queue.
    bool isCurrent() const { return detail::currentCore() == core_.get(); }

    // Runs `fn` on this queue and waits for it, passing back its result or
    // exception. Called from this queue's own work it runs inline instead of
    // deadlocking. A serial queue with nothing queued or running is taken by
    // the caller and `fn` runs on the caller's thread, as the queue's work:
    // no hand-over to the queue's thread and back, same exclusion and order.
    template <class F>
    auto sync(F&& fn) const -> std::invoke_result_t<F&> {
        using R = std::invoke_result_t<F&>;
        if (isCurrent()) return fn();
        if (core_->tryEnter()) {
            Held held(core_);
            return fn();
        }
        auto task = std::make_shared<std::packaged_task<R()>>(std::forward<F>(fn));
        auto result = task->get_future();
        if (!core_->enqueue([task] { (*task)(); }))
            throw std::runtime_error("dispatch queue " + label() + " is shutting down");
        return result.get();
    }

    // Runs `fn` at once on the calling thread, as this queue's work, when the
    // calling code already runs as its work or the queue is idle (a serial
    // queue with nothing queued or running); true if it ran. Otherwise false,
    // and `fn` has not run: the caller queues it instead. `fn` must be brief:
    // while another caller's `fn` holds the queue, the caller waits up to
    // `patience` for it to end (spinning), since handing the work to the
    // queue's thread costs more than a brief hold lasts, and likewise while
    // only brief work queued with `asyncBrief` runs and waits; it never waits
    // behind other work of the queue.
    template <class F>
    bool runIfIdle(F&& fn, Duration patience = kBriefPatience) const {
        if (isCurrent()) {
            fn();
            return true;
        }
        if (!core_->tryEnterBriefly() && !waitOutBriefHold(patience)) return false;
        Held held(core_);
        fn();
        return true;
    }
    static constexpr Duration kBriefPatience = std::chrono::microseconds(50);

    // The label of the queue whose work runs on this thread, or "" if none.
    static std::string currentLabel();

    // Weak handle for delayed work and timers.
    std::weak_ptr<detail::QueueCore> weakCore() const { return core_; }

protected:
    // The calling thread's hold on an idle queue, from tryEnter() to leave().
    // The core outlives the hold even if the queue is destroyed inside it.
    struct Held {
        explicit Held(const std::shared_ptr<detail::QueueCore>& held)
            : core(held), previous(detail::setCurrentCore(held.get())) {}
        ~Held() {
            detail::setCurrentCore(previous);
            core->leave();
        }
        Held(const Held&) = delete;
        Held& operator=(const Held&) = delete;
        std::shared_ptr<detail::QueueCore> core;
        const detail::QueueCore* previous;
    };

    explicit DispatchQueue(std::shared_ptr<detail::QueueCore> core) : core_(std::move(core)) {}
    // Spins while only brief work has the queue (held, or queued with
    // `asyncBrief`), then takes it; false once `patience` has passed or the
    // queue is busy with anything else.
    bool waitOutBriefHold(Duration patience) const;
    std::shared_ptr<detail::QueueCore> core_;
};

}  // namespace veltrane::dispatch
