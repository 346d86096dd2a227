#include "platform/dispatch/SerialQueue.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

namespace veltrane::dispatch {

class SerialQueue::Core final : public detail::QueueCore {
public:
    using QueueCore::QueueCore;

    bool enqueue(Task task) override { return add(std::move(task), false); }
    bool enqueueBrief(Task task) override { return add(std::move(task), true); }

    bool tryEnter() override { return enter(false); }
    bool tryEnterBriefly() override { return enter(true); }
    bool heldBriefly() const override { return briefly_.load(std::memory_order_relaxed); }

    void leave() override {
        bool wake;
        {
            std::lock_guard lock(mutex_);
            busy_ = false;
            briefly_.store(false, std::memory_order_relaxed);
            wake = stopping_ || !tasks_.empty();
        }
        if (wake) ready_.notify_one();
    }

    // Drains until closed and empty.
    void run() {
        detail::setCurrentCore(this);
        std::unique_lock lock(mutex_);
        for (;;) {
            ready_.wait(lock, [this] { return !busy_ && (stopping_ || !tasks_.empty()); });
            if (tasks_.empty()) break;
            Item item = std::move(tasks_.front());
            tasks_.pop_front();
            if (!item.brief) --queuedOther_;
            busy_ = true;
            briefly_.store(item.brief && queuedOther_ == 0, std::memory_order_relaxed);
            lock.unlock();
            item.task();
            item.task = nullptr;  // captures die on this thread, outside the lock
            lock.lock();
            busy_ = false;
            briefly_.store(false, std::memory_order_relaxed);
        }
        closed_ = true;
        detail::setCurrentCore(nullptr);
    }

    void stop() {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        ready_.notify_one();
    }

private:
    struct Item {
        Task task;
        bool brief;
    };

    bool add(Task task, bool brief) {
        bool wake;
        {
            std::lock_guard lock(mutex_);
            if (closed_) return false;
            tasks_.push_back({std::move(task), brief});
            if (!brief) {
                ++queuedOther_;
                // Brief work no longer ends the wait: this goes first.
                briefly_.store(false, std::memory_order_relaxed);
            }
            // A busy queue's thread looks at the list again when the running
            // work ends (or the holder leaves), so only an idle one is woken.
            wake = !busy_ && tasks_.size() == 1;
        }
        if (wake) ready_.notify_one();
        return true;
    }

    bool enter(bool brief) {
        std::lock_guard lock(mutex_);
        if (closed_ || busy_ || !tasks_.empty()) return false;
        busy_ = true;
        briefly_.store(brief, std::memory_order_relaxed);
        return true;
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Item> tasks_;
    std::size_t queuedOther_ = 0;       // queued work not known to be brief
    bool busy_ = false;                 // work runs: on the thread, or in a caller's `sync`
    bool stopping_ = false;             // no thread needed once the queue is empty
    bool closed_ = false;               // the thread has left; nothing would run new work
    // busy_ with a brief hold, or with brief work on the thread and only brief
    // work queued (read without the lock)
    std::atomic<bool> briefly_{false};
};

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label) {
    return std::shared_ptr<SerialQueue>(new SerialQueue(std::make_shared<Core>(std::move(label))));
}

SerialQueue::SerialQueue(std::shared_ptr<Core> core) : DispatchQueue(core), serialCore_(std::move(core)) {
    thread_ = std::thread([core = serialCore_] { core->run(); });
}

SerialQueue::~SerialQueue() {
    serialCore_->stop();
    // Dropped from its own work (on its thread, or by a caller holding it in
    // `sync`): joining would wait for the work that is dropping it.
    if (thread_.get_id() == std::this_thread::get_id() || isCurrent())
        thread_.detach();
    else
        thread_.join();
}

}  // namespace veltrane::dispatch
