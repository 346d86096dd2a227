#pragma once

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "ControlDeckCore/adapters/NetworkSampling.h"
#include "ControlDeckCore/shared/LockedValue.h"
#include "platform/dispatch/SerialQueue.h"
#include "platform/net/PathMonitor.h"

namespace veltrane::deck {

// The kind of network the host uses and its first IPv4 address. A path
// monitor reports the network path on "deck.net" from construction on;
// until its first report a sample says "Offline". The path is written there
// and read by sample() on the caller's queue, so it sits in a locked cell.
class MacNetworkSampler : public NetworkSampling, public std::enable_shared_from_this<MacNetworkSampler> {
public:
    static constexpr const char* kQueueLabel = "deck.net";

    // Watches the host's routing table.
    static std::shared_ptr<MacNetworkSampler> create();
    // Starts `monitor` on "deck.net"; the sampler cancels it when it ends.
    static std::shared_ptr<MacNetworkSampler> create(std::shared_ptr<net::PathMonitor> monitor);
    ~MacNetworkSampler() override;

    NetworkSample sample(std::uint16_t serverPort, bool listening) override;
    std::vector<std::string> ipv4Addresses() override { return allIPv4(); }

    // IPv4 addresses of the interfaces that are up, loopback excepted.
    static std::vector<std::string> allIPv4();
    static std::optional<std::string> primaryIPv4();

    class Passkey {
        friend class MacNetworkSampler;
        Passkey() = default;
    };
    MacNetworkSampler(Passkey, std::shared_ptr<net::PathMonitor> monitor);

private:
    const std::shared_ptr<net::PathMonitor> monitor_;
    const std::shared_ptr<dispatch::SerialQueue> queue_;
    LockedValue<std::optional<net::NetworkPath>> path_;
};

}  // namespace veltrane::deck
