// Server identity, the pairing flow and the device routes.

#include "ControlDeckCore/runtime/DeckRuntime.h"

#include "ControlDeckCore/runtime/PersistedIdentity.h"
#include "ControlDeckCore/runtime/RequestBody.h"
#include "ControlDeckCore/server/pairing/QRCodePNG.h"
#include "ControlDeckCore/shared/DeckError.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/system/UUID.h"

namespace veltrane::deck {

namespace {

constexpr double kQRScale = 10;
constexpr const char* kTooManyAttempts = "Too many pairing attempts. Wait a moment and try again.";

// The text of `key` when it holds text.
std::optional<std::string> textMember(const Json& object, std::string_view key) {
    const Json* value = JSON::member(object, key);
    if (value == nullptr || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

}  // namespace

PairingOffer DeckRuntime::beginPairing() {
    return onQueue([&] {
        const PairingStore::CodeOffer code = pairing_.beginPairing();
        std::string base;
        const std::vector<std::string> urls = dashboardURLsFor(port());
        for (const std::string& url : urls) {
            if (url.rfind("http://127.0.0.1:", 0) != 0) {
                base = url;
                break;
            }
        }
        if (base.empty()) base = urls.front();
        const std::string text = base + "#/pair?code=" + code.code + "&sid=" + pairing_.serverId();
        persistIdentity();
        return PairingOffer{code.code, code.expires, text, QRCodePNG::make(text, kQRScale)};
    });
}

void DeckRuntime::approvePairing(const std::string& id) {
    onQueue([&] {
        pairing_.approve(id);
        persistIdentity();
        broadcastState();
    });
}

void DeckRuntime::denyPairing(const std::string& id) {
    onQueue([&] { pairing_.deny(id); });
}

void DeckRuntime::forgetAllDevices() {
    onQueue([&] { forgetAllDevicesOnQueue(); });
}

void DeckRuntime::forgetAllDevicesOnQueue() {
    pairing_.forgetAll();
    persistIdentity();
    for (auto& [key, client] : clients_) client.ws->close(kClosePolicy);
    clients_.clear();
}

void DeckRuntime::rotatePairingIdentity() {
    onQueue([&] {
        pairing_.setServerId(sys::uuidString());
        server_->updateAdvertisedIdentity(pairing_.serverId());
        forgetAllDevicesOnQueue();
        persistIdentity();
    });
}

void DeckRuntime::persistIdentity() {
    onQueue([&] {
        const std::vector<PairedDevice> devices = allDevicesOnQueue();
        store_.write(FileStore::identityFile, PersistedIdentity{pairing_.serverId(), devices}.encode());
        try {
            veltraneLink().persist(devices);
        } catch (const std::exception&) {
            // The sender keeps the previous grants; the identity file is written.
        }
    });
}

void DeckRuntime::consumePairingRateLimit() {
    onQueue([&] {
        const auto now = std::chrono::steady_clock::now();
        while (!pairingRequestTimes_.empty() && now - pairingRequestTimes_.front() >= kPairingAttemptWindow)
            pairingRequestTimes_.pop_front();
        if (pairingRequestTimes_.size() >= kPairingAttemptsPerWindow) throw DeckError::invalidState(kTooManyAttempts);
        pairingRequestTimes_.push_back(now);
    });
}

HTTPResponse DeckRuntime::pairingWaitPayload(const PairingRequest& request) {
    return onQueue([&] {
        Json data{{"requestId", request.id}, {"status", request.status}, {"deviceName", request.deviceName}};
        if (request.status == PairingRequest::kApproved && request.deviceId) {
            data["deviceId"] = *request.deviceId;
            if (std::optional<std::string> token = pairing_.takeDeviceToken(request.id)) data["deviceToken"] = *token;
        }
        return HTTPResponse::ok(data);
    });
}

HTTPResponse DeckRuntime::healthRoute() const {
    // Every tablet looking for its host asks for it: written straight to
    // text, from the published values in place.
    const std::uint16_t bound = port();
    return HTTPResponse::okWritten(
        [&](JSONWriter& writer) {
            published_.read([&](const Published& published) {
                writer.beginObject();
                writer.member("name", published.name);
                writer.member("pairing", published.pairingCode);
                writer.member("port", bound);
                writer.member("serverId", published.serverId);
                writer.endObject();
            });
        },
        256);
}

HTTPResponse DeckRuntime::pairingInfoRoute() {
    return HTTPResponse::ok(Json{{"name", settings_.deviceName},
                                 {"serverId", pairing_.serverId()},
                                 {"port", port()},
                                 {"addresses", adapters_.network->ipv4Addresses()},
                                 {"needsPairing", true}});
}

HTTPResponse DeckRuntime::pairingRequestRoute(const HTTPRequest& request) {
    consumePairingRateLimit();
    const Json body = parseObjectBody(request.body);
    const PairingRequest created = pairing_.requestPairing(textMember(body, "code").value_or(""),
                                                           textMember(body, "deviceName").value_or("Tablet"),
                                                           textMember(body, "deviceKind").value_or("unknown"));
    if (created.status == PairingRequest::kPending) {
        std::weak_ptr<DeckRuntime> weak = weak_from_this();
        dispatch::MainQueue::shared().async([weak, created] {
            auto self = weak.lock();
            if (!self) return;
            if (PairingCallback callback = self->onPairingRequest()) callback(created);
        });
    }
    persistIdentity();
    return pairingWaitPayload(created);
}

HTTPResponse DeckRuntime::pairingWaitRoute(const HTTPRequest& http) {
    auto id = http.query.find("requestId");
    if (id == http.query.end()) throw DeckError::notFound();
    auto found = pairing_.requests().find(id->second);
    if (found == pairing_.requests().end()) throw DeckError::notFound();
    const PairingRequest request = found->second;  // collecting the token changes the stored one
    return pairingWaitPayload(request);
}

HTTPResponse DeckRuntime::pairingAnswerRoute(const HTTPRequest& request, bool approve) {
    std::optional<Json> body = JSON::parse(request.body);
    if (!body || !body->is_object()) throw DeckError::malformedPayload();
    std::optional<std::string> id = textMember(*body, "id");
    if (!id) throw DeckError::malformedPayload();
    if (approve) {
        pairing_.approve(*id);
        persistIdentity();
        broadcastState();
    } else {
        pairing_.deny(*id);
    }
    return HTTPResponse::ok(Json{{"id", *id}, {"status", approve ? "approved" : "denied"}});
}

HTTPResponse DeckRuntime::sessionRoute(const HTTPRequest& request) {
    const Json body = parseObjectBody(request.body);
    std::optional<std::string> deviceId = textMember(body, "deviceId");
    std::optional<std::string> deviceToken = textMember(body, "deviceToken");
    if (!deviceId || !deviceToken) throw DeckError::malformedPayload();
    const PairingStore::NewSession session = pairing_.createSession(*deviceId, *deviceToken);
    persistIdentity();
    return HTTPResponse::ok(Json{{"session", session.session},
                                 {"expiresAt", iso8601::format(session.expiresAt)},
                                 {"deviceId", *deviceId},
                                 {"serverId", pairing_.serverId()}});
}

HTTPResponse DeckRuntime::devicesRoute() { return HTTPResponse::ok(pairing_.publicDevices(connectedDeviceIds())); }

HTTPResponse DeckRuntime::renameDeviceRoute(const HTTPRequest& request) {
    const std::string id = request.path.substr(kDevicesPrefix.size());
    const Json body = parseObjectBody(request.body);
    if (std::optional<std::string> name = textMember(body, "name")) {
        pairing_.rename(id, *name);
        persistIdentity();
    }
    return HTTPResponse::ok(Json{{"id", id}});
}

HTTPResponse DeckRuntime::revokeDeviceRoute(const HTTPRequest& request) {
    const std::string id = request.path.substr(kDevicesPrefix.size());
    revokeOnQueue(id);
    broadcastState();
    return HTTPResponse::ok(Json{{"id", id}, {"revoked", true}});
}

}  // namespace veltrane::deck
