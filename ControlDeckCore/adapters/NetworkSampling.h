#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ControlDeckCore/adapters/AdapterRecords.h"

namespace veltrane::deck {

class NetworkSampling {
public:
    virtual ~NetworkSampling() = default;
    // The sample carries the server's port and listening state back unchanged.
    virtual NetworkSample sample(std::uint16_t serverPort, bool listening) = 0;
    // Numeric IPv4 addresses the dashboard can be reached at, loopback excepted.
    virtual std::vector<std::string> ipv4Addresses() = 0;
};

}  // namespace veltrane::deck
