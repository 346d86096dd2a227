#pragma once

#include <cstdint>
#include <string>

#include "ControlDeckCore/shared/JSON.h"

namespace veltrane::deck {

// The user's Control Deck settings, stored as settings.json. Construct with
// all fields, or with makeDefault.
struct DeckSettings {
    static constexpr std::uint16_t defaultPort = 8741;

    std::string deviceName;
    std::uint16_t port = defaultPort;
    bool startAtLogin = false;
    bool clipboardEnabled = false;
    bool clipboardHistoryEnabled = false;
    std::int64_t clipboardHistoryMax = 20;
    std::int64_t clipboardHistoryTTLSeconds = 86400;
    bool screenshotsEnabled = true;
    bool mediaEnabled = true;
    bool systemStatsEnabled = true;
    std::string theme = "system";
    bool hasCompletedOnboarding = false;
    bool lockConfirmDefault = true;
    bool autoApprovePairing = false;
    bool fileTransferEnabled = true;

    static DeckSettings makeDefault(std::string deviceName, std::uint16_t port);
    // This computer's name, or "Mac" when the system gives none.
    static std::string defaultDeviceName();

    // Every key optional: absent or null keeps the default (with the
    // computer's name); a value of the wrong type, or a port that is not a
    // whole number from 0 to 65535, fails the whole record (DecodingError).
    // Nothing is clamped.
    static DeckSettings decode(const Json& json);
    // All 15 fields, never the aliases.
    Json encode() const;
    // What clients see: everything but startAtLogin, hasCompletedOnboarding
    // and autoApprovePairing.
    Json publicDict() const;

    // Older names the dashboard still uses; they have no storage of their own.
    bool clipboardSharingEnabled() const { return clipboardEnabled; }
    void setClipboardSharingEnabled(bool enabled) { clipboardEnabled = enabled; }
    bool mediaControlsEnabled() const { return mediaEnabled; }
    void setMediaControlsEnabled(bool enabled) { mediaEnabled = enabled; }

    bool operator==(const DeckSettings&) const = default;
};

}  // namespace veltrane::deck
