#pragma once

#include <chrono>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "ControlDeckCore/shared/DeckClock.h"
#include "ControlDeckCore/shared/JSON.h"
#include "ControlDeckCore/shared/JSONWriter.h"
#include "ControlDeckCore/server/pairing/PairedDevice.h"
#include "ControlDeckCore/server/pairing/PairingRecords.h"

namespace veltrane::deck {

// The trust state in memory: the current pairing code, the requests made with
// it, the paired devices and their sessions. It writes nothing itself; the
// runtime persists the server id and the devices.
//
// No lock: every call must come from one serial context (the runtime queue).
// Errors are DeckError; a failed call leaves the store as it was, except that
// authenticate() drops an expired session it finds.
class PairingStore {
public:
    static constexpr std::chrono::seconds kCodeLifetime{300};
    static constexpr std::chrono::seconds kSessionLifetime{2'592'000};  // 30 days
    static constexpr std::size_t kTokenBytes = 32;

    static constexpr const char* kCodeExpiredMessage = "Pairing code expired. Ask the Mac to show a new code.";
    static constexpr const char* kCodeIncorrectMessage = "That pairing code is incorrect.";

    struct CodeOffer {
        std::string code;
        Date expires;
    };
    struct IssuedDevice {
        std::string id;
        std::string token;
    };
    struct NewSession {
        std::string session;  // the plain session token, shown only here
        Date expiresAt;
    };

    PairingStore(std::string serverId, bool autoApprove, DeckClock clock = systemNow);

    const std::string& serverId() const { return serverId_; }
    void setServerId(std::string id) { serverId_ = std::move(id); }
    bool autoApprove() const { return autoApprove_; }
    const std::optional<std::string>& pairingCode() const { return pairingCode_; }
    const std::optional<Date>& pairingExpires() const { return pairingExpires_; }
    const std::map<std::string, PairingRequest>& requests() const { return requests_; }
    const std::map<std::string, PairedDevice>& devices() const { return devices_; }
    const std::map<std::string, Session>& sessions() const { return sessions_; }

    // The devices as a list, in the map's order (for the identity file and
    // the stream-grants file).
    std::vector<PairedDevice> allDevices() const;
    // Adds (or replaces) a device read from the identity file, under its id.
    void insertDevice(PairedDevice device);

    // Drops every request; a new code valid for 300 s.
    CodeOffer beginPairing();
    // Only the numeric characters of `code` count; an expired or missing code
    // is reported before a wrong one. A repeat while a request with the same
    // digits is pending returns that request unchanged.
    PairingRequest requestPairing(std::string_view code, const std::string& deviceName,
                                  const std::string& deviceKind);
    PairingRequest approve(const std::string& id);
    void deny(const std::string& id);
    IssuedDevice issueDevice(const std::string& name, const std::string& kind);
    // The plain device token of an approved request, once.
    std::optional<std::string> takeDeviceToken(const std::string& requestId);
    // A new 30-day session; also drops every session that has expired.
    NewSession createSession(const std::string& deviceId, const std::string& deviceToken);
    AuthContext authenticate(const std::optional<std::string>& bearer);
    void revoke(const std::string& deviceId);
    void rename(const std::string& deviceId, const std::string& name);
    void forgetAll();
    // A JSON array, most recently seen first: "id", "name", "kind",
    // "revoked", "connected" (in `connected` and not revoked), "lastSeen",
    // "createdAt".
    Json publicDevices(const std::set<std::string>& connected) const;
    // The same array written by `writer`, without copying a device;
    // `connected` tells the devices with an authenticated socket.
    void writePublicDevices(JSONWriter& writer, const std::function<bool(const std::string&)>& connected) const;

private:
    std::string serverId_;
    std::optional<std::string> pairingCode_;
    std::optional<Date> pairingExpires_;
    std::map<std::string, PairingRequest> requests_;
    std::map<std::string, PairedDevice> devices_;
    std::map<std::string, Session> sessions_;
    bool autoApprove_;
    DeckClock clock_;

    void approveInPlace(PairingRequest& request);
};

}  // namespace veltrane::deck
