#include "ControlDeckCore/runtime/PersistedIdentity.h"

namespace veltrane::deck {

Json PersistedIdentity::encode() const {
    Json list = Json::array();
    for (const PairedDevice& device : devices) list.push_back(device.toJson());
    return Json{{"serverId", serverId}, {"devices", std::move(list)}};
}

std::optional<PersistedIdentity> PersistedIdentity::decode(const Json& json, Date readAt) {
    const Json* serverId = JSON::member(json, "serverId");
    const Json* devices = JSON::member(json, "devices");
    if (serverId == nullptr || !serverId->is_string() || devices == nullptr || !devices->is_array())
        return std::nullopt;
    PersistedIdentity identity{serverId->get<std::string>(), {}};
    for (const Json& entry : *devices) {
        std::optional<PairedDevice> device = PairedDevice::fromJson(entry, readAt);
        if (!device) return std::nullopt;
        identity.devices.push_back(std::move(*device));
    }
    return identity;
}

}  // namespace veltrane::deck
