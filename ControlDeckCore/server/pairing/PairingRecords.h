#pragma once
// The small records of pairing: a tablet's request, the offer shown on the
// Mac, a session, and the authenticated caller of a request.

#include <optional>
#include <string>
#include <string_view>

#include "ControlDeckCore/shared/ISO8601.h"

namespace veltrane::deck {

struct PairingRequest {
    static constexpr std::string_view kPending = "pending";
    static constexpr std::string_view kApproved = "approved";
    static constexpr std::string_view kDenied = "denied";

    std::string id;
    std::string code;  // the digits the tablet sent
    std::string deviceName;
    std::string deviceKind;
    Date createdAt{};
    std::string status;  // "pending", "approved" or "denied"
    std::optional<std::string> deviceId;     // set on approval
    std::optional<std::string> deviceToken;  // plain, from approval until collected once

    const std::string& name() const { return deviceName; }
    const std::string& kind() const { return deviceKind; }

    bool operator==(const PairingRequest&) const = default;
};

struct PairingOffer {
    std::string code;
    Date expiresAt{};
    std::string url;
    std::string qrPNG;  // PNG bytes; empty when rendering failed

    Date expires() const { return expiresAt; }

    bool operator==(const PairingOffer&) const = default;
};

struct Session {
    std::string id;
    std::string tokenHash;  // Token::sha256 of the session token
    std::string deviceId;
    Date createdAt{};
    Date expiresAt{};

    bool operator==(const Session&) const = default;
};

struct AuthContext {
    std::string deviceId;
    std::string sessionId;
    std::string deviceName;

    bool operator==(const AuthContext&) const = default;
};

}  // namespace veltrane::deck
