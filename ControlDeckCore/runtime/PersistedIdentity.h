#pragma once

#include <optional>
#include <string>
#include <vector>

#include "ControlDeckCore/shared/ISO8601.h"
#include "ControlDeckCore/shared/JSON.h"
#include "ControlDeckCore/server/pairing/PairedDevice.h"

namespace veltrane::deck {

// What identity.json keeps across runs: the server id and every paired
// device (revoked ones included), with only the hashes of device tokens.
struct PersistedIdentity {
    std::string serverId;
    std::vector<PairedDevice> devices;

    // {"devices":[...],"serverId":...}
    Json encode() const;
    // Both keys are required; nullopt when either is missing or any device
    // cannot be read (device defaults as PairedDevice::fromJson gives them,
    // with missing dates read as `readAt`).
    static std::optional<PersistedIdentity> decode(const Json& json, Date readAt);
};

}  // namespace veltrane::deck
