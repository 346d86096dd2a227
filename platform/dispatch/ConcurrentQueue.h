#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "platform/dispatch/DispatchQueue.h"

namespace veltrane::dispatch {

// Runs closures in parallel. A new worker thread starts whenever work arrives
// and every worker is busy, so work that blocks for a long time (a request
// waiting on a busy runtime) never starves the work behind it. Workers idle
// for `idleTimeout` end. `maxThreads` only guards against runaway growth; work
// beyond it waits for a free worker.
class ConcurrentQueue final : public DispatchQueue {
public:
    static constexpr std::size_t kDefaultMaxThreads = 512;

    static std::shared_ptr<ConcurrentQueue> create(std::string label, std::size_t maxThreads = kDefaultMaxThreads,
                                                   Duration idleTimeout = std::chrono::seconds(10));
    // Lets queued work finish, then waits for the workers to leave. Called
    // from one of its own workers, it does not wait for that worker.
    ~ConcurrentQueue() override;

    // Workers alive right now (for tests and diagnostics).
    std::size_t threadCount() const;

private:
    class Core;
    explicit ConcurrentQueue(std::shared_ptr<Core> core);
    std::shared_ptr<Core> poolCore_;
};

}  // namespace veltrane::dispatch
