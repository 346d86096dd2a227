#pragma once
// A serial dispatch queue on one network loop (internal to platform/net).

#include <memory>
#include <string>

#include <asio/bind_executor.hpp>
#include <asio/io_context.hpp>

#include "platform/dispatch/DispatchQueue.h"

namespace veltrane::net {

// Work submitted with async() and the completions bound through wrap() run one
// at a time, in order, on the loop's thread, with the queue marked current, so
// isCurrent() and DispatchQueue::currentLabel() hold as on any serial queue.
// A loop's io_context is run by exactly one thread, so its own executor already
// runs handlers one at a time: no strand (and no strand's lock for every
// completion) is needed. Costs no thread of its own, so every connection can
// have one.
class LoopQueue final : public dispatch::DispatchQueue {
public:
    using Executor = asio::io_context::executor_type;

    static std::shared_ptr<LoopQueue> create(std::string label, asio::io_context& context);

    const Executor& executor() const;

    // `fn` bound to the loop; it runs with this queue marked current.
    template <class F>
    auto wrap(F fn) const {
        return asio::bind_executor(executor(), [core = core_, fn = std::move(fn)](auto&&... args) mutable {
            Marked marked(core.get());
            fn(std::forward<decltype(args)>(args)...);
        });
    }

private:
    class Core;
    struct Marked {
        explicit Marked(const dispatch::detail::QueueCore* core) : previous(dispatch::detail::setCurrentCore(core)) {}
        ~Marked() { dispatch::detail::setCurrentCore(previous); }
        const dispatch::detail::QueueCore* previous;
    };
    // Only create() makes one (the queue and its control block in one allocation).
    struct Key {
        explicit Key() = default;
    };

public:
    LoopQueue(Key, std::shared_ptr<Core> core);
};

}  // namespace veltrane::net
