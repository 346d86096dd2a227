#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "platform/net/PathMonitor.h"

namespace veltrane::net {

// The network path from the kernel's routing table: a thread listens for
// route and link changes on a netlink socket, re-reads the default routes
// after each burst and reports the path when it differs from the last one.
class NetlinkPathMonitor final : public PathMonitor {
public:
    // A dump that takes longer is treated as failed (the path unsatisfied).
    static constexpr double kDumpTimeout = 2.0;
    static constexpr std::size_t kReceiveBufferBytes = 32 * 1024;

    explicit NetlinkPathMonitor(std::string sysRoot = "/sys");
    ~NetlinkPathMonitor() override;

    void start(std::shared_ptr<dispatch::DispatchQueue> queue, UpdateHandler handler) override;
    void cancel() override;

    // Reads the path now, without the watch.
    NetworkPath currentPath() const;

private:
    void watch(int socket, std::shared_ptr<dispatch::DispatchQueue> queue, UpdateHandler handler);

    const std::string sysRoot_;
    std::mutex mutex_;  // start and cancel
    std::thread thread_;
    int wakeFd_ = -1;
};

}  // namespace veltrane::net
