#pragma once

#include <optional>
#include <string>

#include "ControlDeckCore/adapters/NetworkSampling.h"

namespace veltrane::deck {

class FakeNetworkSampler : public NetworkSampling {
public:
    NetworkSample sample(std::uint16_t serverPort, bool listening) override {
        return {"Wi-Fi", ip, true, false, listening, serverPort};
    }

    std::optional<std::string> ip = "192.168.1.105";
};

}  // namespace veltrane::deck
