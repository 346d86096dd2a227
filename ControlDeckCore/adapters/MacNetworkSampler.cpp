#include "ControlDeckCore/adapters/MacNetworkSampler.h"

#include "platform/net/InterfaceAddresses.h"
#include "platform/net/NetlinkPathMonitor.h"

namespace veltrane::deck {

std::shared_ptr<MacNetworkSampler> MacNetworkSampler::create() {
    return create(std::make_shared<net::NetlinkPathMonitor>());
}

std::shared_ptr<MacNetworkSampler> MacNetworkSampler::create(std::shared_ptr<net::PathMonitor> monitor) {
    auto sampler = std::make_shared<MacNetworkSampler>(Passkey{}, std::move(monitor));
    std::weak_ptr<MacNetworkSampler> weak = sampler;
    sampler->monitor_->start(sampler->queue_, [weak](const net::NetworkPath& path) {
        if (auto self = weak.lock()) self->path_.setWrappedValue(path);
    });
    return sampler;
}

MacNetworkSampler::MacNetworkSampler(Passkey, std::shared_ptr<net::PathMonitor> monitor)
    : monitor_(std::move(monitor)), queue_(dispatch::SerialQueue::create(kQueueLabel)) {}

MacNetworkSampler::~MacNetworkSampler() { monitor_->cancel(); }

NetworkSample MacNetworkSampler::sample(std::uint16_t serverPort, bool listening) {
    auto path = path_.wrappedValue();
    NetworkSample sample;
    sample.wifi = path && path->usesInterfaceType(net::InterfaceType::wifi);
    sample.ethernet = path && path->usesInterfaceType(net::InterfaceType::wiredEthernet);
    if (sample.wifi) sample.interface = "Wi-Fi";
    else if (sample.ethernet) sample.interface = "Ethernet";
    else if (path && path->status == net::NetworkPath::Status::satisfied) sample.interface = "Online";
    else sample.interface = "Offline";
    sample.ip = primaryIPv4();
    sample.serverListening = listening;
    sample.port = serverPort;
    return sample;
}

std::vector<std::string> MacNetworkSampler::allIPv4() { return net::ipv4AddressesOfUpInterfaces(); }

std::optional<std::string> MacNetworkSampler::primaryIPv4() {
    auto all = allIPv4();
    if (all.empty()) return std::nullopt;
    return all.front();
}

}  // namespace veltrane::deck
