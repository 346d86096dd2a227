#pragma once

#include <cstdint>

#include "ControlDeckCore/adapters/AdapterRecords.h"

namespace veltrane::deck {

class NetworkSampling {
public:
    virtual ~NetworkSampling() = default;
    // The sample carries the server's port and listening state back unchanged.
    virtual NetworkSample sample(std::uint16_t serverPort, bool listening) = 0;
};

}  // namespace veltrane::deck
