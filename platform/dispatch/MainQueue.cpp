#include "platform/dispatch/MainQueue.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace veltrane::dispatch {

class MainQueue::Core final : public detail::QueueCore {
public:
    using QueueCore::QueueCore;

    bool enqueue(Task task) override {
        std::function<void()> waker;
        {
            std::lock_guard lock(mutex_);
            tasks_.push_back(std::move(task));
            waker = waker_;
        }
        ready_.notify_all();
        if (waker) waker();
        return true;
    }

    // Runs one closure if any is queued before `deadline`; false on time-out
    // or when stop() was asked for.
    bool runOne(Clock::time_point deadline, bool honourStop) {
        std::unique_lock lock(mutex_);
        if (!ready_.wait_until(lock, deadline, [&] { return !tasks_.empty() || (honourStop && stopRequested_); }))
            return false;
        if (tasks_.empty()) return false;
        Task task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        runMarked(task);
        return true;
    }

    std::size_t drain() {
        std::deque<Task> batch;
        {
            std::lock_guard lock(mutex_);
            batch.swap(tasks_);
        }
        for (auto& task : batch) runMarked(task);
        return batch.size();
    }

    void requestStop() {
        // Queued behind pending work so that work still runs first.
        enqueue([this] {
            std::lock_guard lock(mutex_);
            stopRequested_ = true;
        });
    }

    bool takeStop() {
        std::lock_guard lock(mutex_);
        bool stop = stopRequested_;
        stopRequested_ = false;
        return stop;
    }

    void setWaker(std::function<void()> waker) {
        std::lock_guard lock(mutex_);
        waker_ = std::move(waker);
    }

private:
    void runMarked(Task& task) {
        const detail::QueueCore* previous = detail::setCurrentCore(this);
        task();
        task = nullptr;
        detail::setCurrentCore(previous);
    }

    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Task> tasks_;
    std::function<void()> waker_;
    bool stopRequested_ = false;
};

MainQueue& MainQueue::shared() {
    // Never destroyed: closures queued late in the process may still target it.
    static MainQueue* instance = new MainQueue(std::make_shared<Core>("main"));
    return *instance;
}

MainQueue::MainQueue(std::shared_ptr<Core> core) : DispatchQueue(core), mainCore_(std::move(core)) {}

void MainQueue::run() {
    for (;;) {
        if (mainCore_->takeStop()) return;
        mainCore_->runOne(Clock::now() + std::chrono::seconds(1), true);
    }
}

void MainQueue::stop() { mainCore_->requestStop(); }

std::size_t MainQueue::drain() { return mainCore_->drain(); }

bool MainQueue::runUntil(const std::function<bool()>& done, Duration timeout) {
    const auto deadline = Clock::now() + timeout;
    while (!done()) {
        auto now = Clock::now();
        if (now >= deadline) return done();
        mainCore_->runOne(std::min(deadline, now + std::chrono::milliseconds(10)), false);
    }
    return true;
}

void MainQueue::setWaker(std::function<void()> waker) { mainCore_->setWaker(std::move(waker)); }

}  // namespace veltrane::dispatch
