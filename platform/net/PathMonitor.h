#pragma once

#include <functional>
#include <memory>

#include "platform/dispatch/DispatchQueue.h"
#include "platform/net/NetworkPath.h"

namespace veltrane::net {

// Watches the machine's network path and reports it as work of a queue:
// once at start, then whenever it changes.
class PathMonitor {
public:
    using UpdateHandler = std::function<void(const NetworkPath&)>;
    virtual ~PathMonitor() = default;

    // Reports go to `handler` on `queue` (held strongly until cancel()).
    virtual void start(std::shared_ptr<dispatch::DispatchQueue> queue, UpdateHandler handler) = 0;
    // No report is queued after it returns; one already queued may still run.
    virtual void cancel() = 0;
};

}  // namespace veltrane::net
