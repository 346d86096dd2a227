#include "platform/net/StrandQueue.h"

#include <asio/post.hpp>

namespace veltrane::net {

class StrandQueue::Core final : public dispatch::detail::QueueCore, public std::enable_shared_from_this<Core> {
public:
    Core(std::string label, Strand strand) : QueueCore(std::move(label)), strand_(std::move(strand)) {}

    bool enqueue(dispatch::Task task) override {
        asio::post(strand_, [self = shared_from_this(), task = std::move(task)]() mutable {
            Marked marked(self.get());
            task();
            task = nullptr;  // captures end while still marked as this queue's work
        });
        return true;
    }

    Strand strand_;
};

std::shared_ptr<StrandQueue> StrandQueue::create(std::string label, asio::io_context& context) {
    auto core = std::make_shared<Core>(std::move(label), asio::make_strand(context));
    return std::shared_ptr<StrandQueue>(new StrandQueue(std::move(core)));
}

StrandQueue::StrandQueue(std::shared_ptr<Core> core) : DispatchQueue(std::move(core)) {}

const StrandQueue::Strand& StrandQueue::strand() const { return static_cast<const Core&>(*core_).strand_; }

}  // namespace veltrane::net
