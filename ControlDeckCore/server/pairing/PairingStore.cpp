#include "ControlDeckCore/server/pairing/PairingStore.h"

#include <algorithm>
#include <iterator>

#include "ControlDeckCore/shared/DeckError.h"
#include "ControlDeckCore/server/pairing/Token.h"
#include "platform/system/UUID.h"
#include "platform/text/UnicodeText.h"

namespace veltrane::deck {

PairingStore::PairingStore(std::string serverId, bool autoApprove, DeckClock clock)
    : serverId_(std::move(serverId)), autoApprove_(autoApprove), clock_(std::move(clock)) {}

std::vector<PairedDevice> PairingStore::allDevices() const {
    std::vector<PairedDevice> list;
    list.reserve(devices_.size());
    for (const auto& [id, device] : devices_) list.push_back(device);
    return list;
}

void PairingStore::insertDevice(PairedDevice device) {
    std::string id = device.id;
    devices_.insert_or_assign(std::move(id), std::move(device));
}

PairingStore::CodeOffer PairingStore::beginPairing() {
    std::string code = Token::pairingCode();
    Date expires = clock_() + kCodeLifetime;
    requests_.clear();
    pairingCode_ = code;
    pairingExpires_ = expires;
    return {std::move(code), expires};
}

PairingRequest PairingStore::requestPairing(std::string_view code, const std::string& deviceName,
                                            const std::string& deviceKind) {
    // Any script's digits are kept (and then fail to match), so only spaces,
    // dashes and the like are forgiven.
    const std::string digits = text::numericCharacters(code);
    const Date now = clock_();
    if (!pairingCode_ || !pairingExpires_ || !(now < *pairingExpires_))
        throw DeckError::invalidState(kCodeExpiredMessage);
    if (digits != *pairingCode_) throw DeckError::invalidState(kCodeIncorrectMessage);

    for (const auto& [id, request] : requests_)
        if (request.code == digits && request.status == PairingRequest::kPending) return request;

    PairingRequest request;
    request.id = sys::uuidString();
    request.code = digits;
    request.deviceName = deviceName.empty() ? "Tablet" : deviceName;
    request.deviceKind = deviceKind.empty() ? "unknown" : deviceKind;
    request.createdAt = now;
    request.status = PairingRequest::kPending;
    if (autoApprove_) approveInPlace(request);
    requests_.emplace(request.id, request);
    return request;
}

void PairingStore::approveInPlace(PairingRequest& request) {
    auto issued = issueDevice(request.deviceName, request.deviceKind);
    request.status = PairingRequest::kApproved;
    request.deviceId = std::move(issued.id);
    request.deviceToken = std::move(issued.token);
    pairingCode_.reset();
    pairingExpires_.reset();
}

PairingRequest PairingStore::approve(const std::string& id) {
    auto found = requests_.find(id);
    if (found == requests_.end()) throw DeckError::notFound();
    if (found->second.status != PairingRequest::kPending) return found->second;
    PairingRequest updated = found->second;
    approveInPlace(updated);
    found->second = updated;
    return updated;
}

void PairingStore::deny(const std::string& id) {
    auto found = requests_.find(id);
    if (found == requests_.end()) throw DeckError::notFound();
    found->second.status = PairingRequest::kDenied;
    found->second.deviceToken.reset();
}

PairingStore::IssuedDevice PairingStore::issueDevice(const std::string& name, const std::string& kind) {
    std::string token = Token::random(kTokenBytes);
    const Date now = clock_();
    PairedDevice device;
    device.id = sys::uuidString();
    device.name = name;
    device.kind = kind;
    device.tokenHash = Token::sha256(token);
    device.createdAt = now;
    device.lastSeen = now;
    std::string id = device.id;
    devices_.emplace(id, std::move(device));
    return {std::move(id), std::move(token)};
}

std::optional<std::string> PairingStore::takeDeviceToken(const std::string& requestId) {
    auto found = requests_.find(requestId);
    if (found == requests_.end() || !found->second.deviceToken || found->second.deviceToken->empty())
        return std::nullopt;
    std::optional<std::string> token = std::move(found->second.deviceToken);
    found->second.deviceToken.reset();
    return token;
}

PairingStore::NewSession PairingStore::createSession(const std::string& deviceId, const std::string& deviceToken) {
    auto found = devices_.find(deviceId);
    if (found == devices_.end()) throw DeckError::unauthorized();
    PairedDevice& device = found->second;
    if (device.revoked) throw DeckError::revoked();
    if (!Token::timingSafeEqual(device.tokenHash, Token::sha256(deviceToken))) throw DeckError::unauthorized();

    std::string token = Token::random(kTokenBytes);
    const Date now = clock_();
    // Sessions that were never presented again would otherwise pile up for
    // ever, and authenticate() walks them all.
    std::erase_if(sessions_, [now](const auto& entry) { return entry.second.expiresAt < now; });

    Session session;
    session.id = sys::uuidString();
    session.tokenHash = Token::sha256(token);
    session.deviceId = deviceId;
    session.createdAt = now;
    session.expiresAt = now + kSessionLifetime;
    const Date expiresAt = session.expiresAt;
    sessions_.emplace(session.id, std::move(session));
    device.lastSeen = now;
    return {std::move(token), expiresAt};
}

AuthContext PairingStore::authenticate(const std::optional<std::string>& bearer) {
    if (!bearer || bearer->empty()) throw DeckError::unauthorized();
    const std::string hash = Token::sha256(*bearer);
    auto session = std::find_if(sessions_.begin(), sessions_.end(), [&hash](const auto& entry) {
        return Token::timingSafeEqual(entry.second.tokenHash, hash);
    });
    if (session == sessions_.end()) throw DeckError::unauthorized();

    const Date now = clock_();
    if (session->second.expiresAt < now) {
        sessions_.erase(session);
        throw DeckError::unauthorized();
    }
    auto device = devices_.find(session->second.deviceId);
    if (device == devices_.end()) throw DeckError::unauthorized();
    if (device->second.revoked) throw DeckError::revoked();
    device->second.lastSeen = now;
    return {device->first, session->first, device->second.name};
}

void PairingStore::revoke(const std::string& deviceId) {
    if (auto found = devices_.find(deviceId); found != devices_.end()) found->second.revoked = true;
    std::erase_if(sessions_, [&deviceId](const auto& entry) { return entry.second.deviceId == deviceId; });
}

void PairingStore::rename(const std::string& deviceId, const std::string& name) {
    auto found = devices_.find(deviceId);
    if (found == devices_.end()) throw DeckError::notFound();
    found->second.name = name;
}

void PairingStore::forgetAll() {
    devices_.clear();
    sessions_.clear();
    requests_.clear();
    pairingCode_.reset();
}

Json PairingStore::publicDevices(const std::set<std::string>& connected) const {
    JSONWriter writer;
    writePublicDevices(writer, [&connected](const std::string& id) { return connected.contains(id); });
    return std::move(writer).json();
}

void PairingStore::writePublicDevices(JSONWriter& writer,
                                      const std::function<bool(const std::string&)>& connected) const {
    std::vector<const PairedDevice*> list;
    list.reserve(devices_.size());
    for (const auto& [id, device] : devices_) list.push_back(&device);
    std::stable_sort(list.begin(), list.end(),
                     [](const PairedDevice* a, const PairedDevice* b) { return a->lastSeen > b->lastSeen; });
    writer.beginArray();
    for (const PairedDevice* device : list) {
        writer.beginObject();
        writer.member("connected", !device->revoked && connected(device->id));
        writer.member("createdAt", iso8601::format(device->createdAt));
        writer.member("id", device->id);
        writer.member("kind", device->kind);
        writer.member("lastSeen", iso8601::format(device->lastSeen));
        writer.member("name", device->name);
        writer.member("revoked", device->revoked);
        writer.endObject();
    }
    writer.endArray();
}

}  // namespace veltrane::deck
