#include "platform/net/LoopQueue.h"

#include <asio/post.hpp>

namespace veltrane::net {

class LoopQueue::Core final : public dispatch::detail::QueueCore, public std::enable_shared_from_this<Core> {
public:
    Core(std::string label, Executor executor) : QueueCore(std::move(label)), executor_(std::move(executor)) {}

    bool enqueue(dispatch::Task task) override {
        asio::post(executor_, [self = shared_from_this(), task = std::move(task)]() mutable {
            Marked marked(self.get());
            task();
            task = nullptr;  // captures end while still marked as this queue's work
        });
        return true;
    }

    Executor executor_;
};

std::shared_ptr<LoopQueue> LoopQueue::create(std::string label, asio::io_context& context) {
    auto core = std::make_shared<Core>(std::move(label), context.get_executor());
    return std::make_shared<LoopQueue>(Key(), std::move(core));
}

LoopQueue::LoopQueue(Key, std::shared_ptr<Core> core) : DispatchQueue(std::move(core)) {}

const LoopQueue::Executor& LoopQueue::executor() const { return static_cast<const Core&>(*core_).executor_; }

}  // namespace veltrane::net
