#include "ControlDeckCore/server/pairing/VeltraneLink.h"

#include <algorithm>
#include <cmath>
#include <system_error>

#include "ControlDeckCore/shared/DeckError.h"
#include "ControlDeckCore/server/pairing/Token.h"
#include "platform/system/PrivateFile.h"

namespace veltrane::deck {

namespace {

std::optional<std::string> textMember(const Json& object, std::string_view key) {
    const Json* value = JSON::member(object, key);
    if (!value || !value->is_string()) return std::nullopt;
    return value->get<std::string>();
}

std::optional<VeltraneLink::Ticket> ticketFromJson(const Json& object) {
    auto hash = textMember(object, "hash");
    auto deviceId = textMember(object, "deviceId");
    auto remoteHost = textMember(object, "remoteHost");
    const Json* expires = JSON::member(object, "expires");
    if (!hash || !deviceId || !remoteHost || !expires || !expires->is_number()) return std::nullopt;
    // A number too large for a double reads as infinity, which no JSON text holds.
    const double seconds = expires->get<double>();
    if (!std::isfinite(seconds)) return std::nullopt;
    return VeltraneLink::Ticket{std::move(*hash), std::move(*deviceId), std::move(*remoteHost), seconds};
}

}  // namespace

std::string VeltraneLink::Grants::encode() const {
    Json list = Json::array();
    for (const auto& t : tickets)
        list.push_back(Json{{"hash", t.hash}, {"deviceId", t.deviceId}, {"remoteHost", t.remoteHost}, {"expires", t.expires}});
    return JSON::text(Json{{"devices", devices}, {"tickets", std::move(list)}});
}

std::optional<VeltraneLink::Grants> VeltraneLink::Grants::parse(std::string_view text) {
    auto json = JSON::parse(text);
    if (!json || !json->is_object()) return std::nullopt;
    const Json* devices = JSON::member(*json, "devices");
    const Json* tickets = JSON::member(*json, "tickets");
    if (!devices || !devices->is_array() || !tickets || !tickets->is_array()) return std::nullopt;
    Grants grants;
    for (const Json& id : *devices) {
        if (!id.is_string()) return std::nullopt;
        grants.devices.push_back(id.get<std::string>());
    }
    for (const Json& object : *tickets) {
        auto ticket = ticketFromJson(object);
        if (!ticket) return std::nullopt;
        grants.tickets.push_back(std::move(*ticket));
    }
    return grants;
}

VeltraneLink::VeltraneLink(std::filesystem::path dataDirectory, DeckClock clock, CodeSource codes)
    : folder_(std::move(dataDirectory) / kFolderName),
      file_(folder_ / kFileName),
      clock_(std::move(clock)),
      codes_(codes ? std::move(codes) : CodeSource(&Token::pairingCode)) {
    // A failure here shows up as an error of the first write.
    (void)sys::makePrivateDirectory(folder_);
}

std::uint16_t VeltraneLink::port() const {
    std::lock_guard guard(lock_);
    return port_;
}

bool VeltraneLink::ready() const {
    std::lock_guard guard(lock_);
    return ready_;
}

std::optional<std::string> VeltraneLink::error() const {
    std::lock_guard guard(lock_);
    return error_;
}

void VeltraneLink::setState(std::uint16_t port, bool ready, std::optional<std::string> error) {
    std::lock_guard guard(lock_);
    port_ = port;
    ready_ = ready;
    error_ = std::move(error);
}

std::vector<VeltraneLink::Ticket> VeltraneLink::tickets() const {
    std::lock_guard guard(lock_);
    return tickets_;
}

double VeltraneLink::nowSeconds() const { return secondsSince1970(clock_()); }

void VeltraneLink::persist(const std::vector<PairedDevice>& devices) {
    std::lock_guard guard(lock_);
    Grants grants;
    for (const auto& device : devices)
        if (!device.revoked) grants.devices.push_back(device.id);

    const double now = nowSeconds();
    std::erase_if(tickets_, [&](const Ticket& t) {
        return !(t.expires > now) ||
               std::find(grants.devices.begin(), grants.devices.end(), t.deviceId) == grants.devices.end();
    });
    grants.tickets = tickets_;

    if (auto ec = sys::writePrivateFile(folder_, kFileName, grants.encode()))
        throw std::system_error(ec, "cannot write " + file_.string());
}

std::string VeltraneLink::issue(const std::string& deviceId, const std::string& host,
                                const std::vector<PairedDevice>& devices) {
    std::lock_guard guard(lock_);
    const bool allowed = std::any_of(devices.begin(), devices.end(), [&deviceId](const PairedDevice& d) {
        return d.id == deviceId && !d.revoked;
    });
    if (!allowed) throw DeckError::revoked();

    const double now = nowSeconds();
    std::erase_if(tickets_, [&](const Ticket& t) { return t.deviceId == deviceId || !(t.expires > now); });

    // Two live tickets never share a code, so a code names one device.
    std::string code;
    std::string hash;
    do {
        code = codes_();
        hash = Token::sha256(code);
    } while (std::any_of(tickets_.begin(), tickets_.end(), [&hash](const Ticket& t) { return t.hash == hash; }));

    tickets_.push_back(Ticket{hash, deviceId, host, now + kTicketLifetime});
    persist(devices);
    return code;
}

}  // namespace veltrane::deck
