#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ControlDeckCore/adapters/NetworkSampling.h"

namespace veltrane::deck {

class FakeNetworkSampler : public NetworkSampling {
public:
    NetworkSample sample(std::uint16_t serverPort, bool listening) override {
        return {"Wi-Fi", ip, true, false, listening, serverPort};
    }
    std::vector<std::string> ipv4Addresses() override {
        if (!ip) return {};
        return {*ip};
    }

    std::optional<std::string> ip = "192.168.1.105";
};

}  // namespace veltrane::deck
