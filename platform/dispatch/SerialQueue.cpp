#include "platform/dispatch/SerialQueue.h"

#include <condition_variable>
#include <deque>
#include <mutex>

namespace veltrane::dispatch {

class SerialQueue::Core final : public detail::QueueCore {
public:
    using QueueCore::QueueCore;

    bool enqueue(Task task) override {
        {
            std::lock_guard lock(mutex_);
            if (closed_) return false;
            tasks_.push_back(std::move(task));
        }
        ready_.notify_one();
        return true;
    }

    // Drains until closed and empty.
    void run() {
        detail::setCurrentCore(this);
        std::unique_lock lock(mutex_);
        for (;;) {
            ready_.wait(lock, [this] { return stopping_ || !tasks_.empty(); });
            if (tasks_.empty()) break;
            Task task = std::move(tasks_.front());
            tasks_.pop_front();
            lock.unlock();
            task();
            task = nullptr;  // captures die on this thread, outside the lock
            lock.lock();
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
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<Task> tasks_;
    bool stopping_ = false;  // no thread needed once the queue is empty
    bool closed_ = false;    // the thread has left; nothing would run new work
};

std::shared_ptr<SerialQueue> SerialQueue::create(std::string label) {
    return std::shared_ptr<SerialQueue>(new SerialQueue(std::make_shared<Core>(std::move(label))));
}

SerialQueue::SerialQueue(std::shared_ptr<Core> core)
    : DispatchQueue(core), serialCore_(std::move(core)) {
    thread_ = std::thread([core = serialCore_] { core->run(); });
}

SerialQueue::~SerialQueue() {
    serialCore_->stop();
    if (thread_.get_id() == std::this_thread::get_id())
        thread_.detach();
    else
        thread_.join();
}

}  // namespace veltrane::dispatch
