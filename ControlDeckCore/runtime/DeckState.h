#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "ControlDeckCore/data/DeckSettings.h"
#include "ControlDeckCore/server/pairing/PairedDevice.h"
#include "ControlDeckCore/server/pairing/PairingRecords.h"

namespace veltrane::deck {

// The application's snapshot of the runtime.
struct DeckState {
    bool isRunning = false;  // the server is listening
    std::uint16_t port = 0;
    std::vector<std::string> dashboardURLs;
    std::vector<PairedDevice> devices;  // `connected` set for this view
    std::vector<PairingRequest> pendingPairing;
    DeckSettings settings;
};

}  // namespace veltrane::deck
