#pragma once

#include <optional>
#include <string>

#include "ControlDeckCore/shared/ISO8601.h"
#include "ControlDeckCore/shared/JSON.h"

namespace veltrane::deck {

// A tablet that was given a device token. Kept after revocation until all
// devices are forgotten; persisted in the identity file.
struct PairedDevice {
    std::string id;
    std::string name;
    std::string kind;
    std::string tokenHash;  // Token::sha256 of the device token
    Date createdAt{};
    Date lastSeen{};  // issue, then every session creation and authentication
    bool revoked = false;
    bool connected = false;  // only on copies for the application's view; never coded

    // Keys "id", "name", "kind", "tokenHash", "createdAt", "lastSeen",
    // "revoked"; dates as ISO 8601 with whole seconds.
    Json toJson() const;
    // "id" and "name" are required; a missing (or null) "kind" reads as
    // "unknown", "tokenHash" as "", "createdAt" and "lastSeen" as `readAt`,
    // "revoked" as false. nullopt when a required key is missing or a key
    // holds the wrong type or an unreadable date.
    static std::optional<PairedDevice> fromJson(const Json& object, Date readAt);

    bool operator==(const PairedDevice&) const = default;
};

}  // namespace veltrane::deck
