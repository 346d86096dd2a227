#include "ControlDeckCore/server/pairing/PairedDevice.h"

namespace veltrane::deck {

namespace {

// A present, non-null member, or null when absent.
const Json* present(const Json& object, std::string_view key) {
    const Json* value = JSON::member(object, key);
    return value && !value->is_null() ? value : nullptr;
}

bool readText(const Json& object, std::string_view key, std::string& out) {
    const Json* value = present(object, key);
    if (!value) return true;
    if (!value->is_string()) return false;
    out = value->get<std::string>();
    return true;
}

bool readDate(const Json& object, std::string_view key, Date& out) {
    const Json* value = present(object, key);
    if (!value) return true;
    if (!value->is_string()) return false;
    auto date = iso8601::parse(value->get_ref<const std::string&>());
    if (!date) return false;
    out = *date;
    return true;
}

}  // namespace

Json PairedDevice::toJson() const {
    return Json{{"id", id},
                {"name", name},
                {"kind", kind},
                {"tokenHash", tokenHash},
                {"createdAt", iso8601::format(createdAt)},
                {"lastSeen", iso8601::format(lastSeen)},
                {"revoked", revoked}};
}

std::optional<PairedDevice> PairedDevice::fromJson(const Json& object, Date readAt) {
    if (!object.is_object() || !present(object, "id") || !present(object, "name")) return std::nullopt;
    PairedDevice device;
    device.kind = "unknown";
    device.createdAt = readAt;
    device.lastSeen = readAt;
    if (!readText(object, "id", device.id) || !readText(object, "name", device.name) ||
        !readText(object, "kind", device.kind) || !readText(object, "tokenHash", device.tokenHash) ||
        !readDate(object, "createdAt", device.createdAt) || !readDate(object, "lastSeen", device.lastSeen))
        return std::nullopt;
    if (const Json* revoked = present(object, "revoked")) {
        if (!revoked->is_boolean()) return std::nullopt;
        device.revoked = revoked->get<bool>();
    }
    return device;
}

}  // namespace veltrane::deck
