#pragma once
// A serial dispatch queue over an asio strand (internal to platform/net).

#include <memory>
#include <string>

#include <asio/io_context.hpp>
#include <asio/bind_executor.hpp>
#include <asio/strand.hpp>

#include "platform/dispatch/DispatchQueue.h"

namespace veltrane::net {

// Work submitted with async() and the completions bound through wrap() run one
// at a time on the network threads, with the queue marked current, so
// isCurrent() and DispatchQueue::currentLabel() hold as on any serial queue.
// Costs no thread of its own, so every connection can have one.
class StrandQueue final : public dispatch::DispatchQueue {
public:
    using Strand = asio::strand<asio::io_context::executor_type>;

    static std::shared_ptr<StrandQueue> create(std::string label, asio::io_context& context);

    const Strand& strand() const;

    // `fn` bound to the strand; it runs with this queue marked current.
    template <class F>
    auto wrap(F fn) const {
        return asio::bind_executor(strand(), [core = core_, fn = std::move(fn)](auto&&... args) mutable {
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
    explicit StrandQueue(std::shared_ptr<Core> core);
};

}  // namespace veltrane::net
