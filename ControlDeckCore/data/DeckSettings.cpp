#include "ControlDeckCore/data/DeckSettings.h"

#include "ControlDeckCore/shared/Decoding.h"
#include "platform/system/HostName.h"

namespace veltrane::deck {

DeckSettings DeckSettings::makeDefault(std::string deviceName, std::uint16_t port) {
    DeckSettings settings;
    settings.deviceName = std::move(deviceName);
    settings.port = port;
    return settings;
}

std::string DeckSettings::defaultDeviceName() { return sys::localizedHostName().value_or("Mac"); }

DeckSettings DeckSettings::decode(const Json& json) {
    KeyedDecoder keys(json);
    DeckSettings s = makeDefault(defaultDeviceName(), defaultPort);
    auto take = [&]<class T>(T& field, std::string_view key) {
        if (auto value = keys.decodeIfPresent<T>(key)) field = std::move(*value);
    };
    take(s.deviceName, "deviceName");
    take(s.port, "port");
    take(s.startAtLogin, "startAtLogin");
    take(s.clipboardEnabled, "clipboardEnabled");
    take(s.clipboardHistoryEnabled, "clipboardHistoryEnabled");
    take(s.clipboardHistoryMax, "clipboardHistoryMax");
    take(s.clipboardHistoryTTLSeconds, "clipboardHistoryTTLSeconds");
    take(s.screenshotsEnabled, "screenshotsEnabled");
    take(s.mediaEnabled, "mediaEnabled");
    take(s.systemStatsEnabled, "systemStatsEnabled");
    take(s.theme, "theme");
    take(s.hasCompletedOnboarding, "hasCompletedOnboarding");
    take(s.lockConfirmDefault, "lockConfirmDefault");
    take(s.autoApprovePairing, "autoApprovePairing");
    take(s.fileTransferEnabled, "fileTransferEnabled");
    return s;
}

Json DeckSettings::encode() const {
    Json out = publicDict();
    out["startAtLogin"] = startAtLogin;
    out["hasCompletedOnboarding"] = hasCompletedOnboarding;
    out["autoApprovePairing"] = autoApprovePairing;
    return out;
}

Json DeckSettings::publicDict() const {
    return Json{
        {"deviceName", deviceName},
        {"port", port},
        {"clipboardEnabled", clipboardEnabled},
        {"clipboardHistoryEnabled", clipboardHistoryEnabled},
        {"clipboardHistoryMax", clipboardHistoryMax},
        {"clipboardHistoryTTLSeconds", clipboardHistoryTTLSeconds},
        {"screenshotsEnabled", screenshotsEnabled},
        {"mediaEnabled", mediaEnabled},
        {"systemStatsEnabled", systemStatsEnabled},
        {"theme", theme},
        {"lockConfirmDefault", lockConfirmDefault},
        {"fileTransferEnabled", fileTransferEnabled},
    };
}

}  // namespace veltrane::deck
