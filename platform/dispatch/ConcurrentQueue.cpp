#include "platform/dispatch/ConcurrentQueue.h"

#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>

namespace veltrane::dispatch {

class ConcurrentQueue::Core final : public detail::QueueCore,
                                    public std::enable_shared_from_this<ConcurrentQueue::Core> {
public:
    Core(std::string label, std::size_t maxThreads, Duration idleTimeout)
        : QueueCore(std::move(label)), maxThreads_(maxThreads ? maxThreads : 1), idleTimeout_(idleTimeout) {}

    bool enqueue(Task task) override {
        bool spawn = false;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) return false;
            tasks_.push_back(std::move(task));
            if (idle_ < tasks_.size() && threads_ < maxThreads_) {
                ++threads_;
                ++idle_;  // counts as idle until it picks up work
                spawn = true;
            }
        }
        if (spawn)
            std::thread([self = shared_from_this()] { self->work(); }).detach();
        else
            ready_.notify_one();
        return true;
    }

    void stopAndWait(bool callerIsWorker) {
        std::unique_lock lock(mutex_);
        stopping_ = true;
        ready_.notify_all();
        std::size_t remaining = callerIsWorker ? 1 : 0;
        gone_.wait(lock, [&] { return threads_ == remaining; });
    }

    std::size_t threadCount() const {
        std::lock_guard lock(mutex_);
        return threads_;
    }

private:
    void work() {
        detail::setCurrentCore(this);
        std::unique_lock lock(mutex_);
        for (;;) {
            bool timedOut = !ready_.wait_for(lock, idleTimeout_, [this] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty() && (timedOut || stopping_)) break;
            if (tasks_.empty()) continue;
            Task task = std::move(tasks_.front());
            tasks_.pop_front();
            --idle_;
            lock.unlock();
            task();
            task = nullptr;
            lock.lock();
            ++idle_;
        }
        --idle_;
        --threads_;
        detail::setCurrentCore(nullptr);
        gone_.notify_all();
        // `self` (the caller's capture) keeps this core alive until the thread returns.
    }

    const std::size_t maxThreads_;
    const Duration idleTimeout_;
    mutable std::mutex mutex_;
    std::condition_variable ready_;
    std::condition_variable gone_;
    std::deque<Task> tasks_;
    std::size_t threads_ = 0;
    std::size_t idle_ = 0;
    bool stopping_ = false;
};

std::shared_ptr<ConcurrentQueue> ConcurrentQueue::create(std::string label, std::size_t maxThreads,
                                                         Duration idleTimeout) {
    return std::shared_ptr<ConcurrentQueue>(
        new ConcurrentQueue(std::make_shared<Core>(std::move(label), maxThreads, idleTimeout)));
}

ConcurrentQueue::ConcurrentQueue(std::shared_ptr<Core> core) : DispatchQueue(core), poolCore_(std::move(core)) {}

ConcurrentQueue::~ConcurrentQueue() { poolCore_->stopAndWait(isCurrent()); }

std::size_t ConcurrentQueue::threadCount() const { return poolCore_->threadCount(); }

}  // namespace veltrane::dispatch
