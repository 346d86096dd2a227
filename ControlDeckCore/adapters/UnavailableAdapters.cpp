#include "ControlDeckCore/adapters/UnavailableAdapters.h"

#include "ControlDeckCore/server/DeckError.h"

namespace veltrane::deck {

void throwUnavailable(const std::string& capability) {
    throw DeckError::invalidState(capability + " is not available on this computer.");
}

void UnavailableVolumeAdapter::selectOutput(const std::string&) { throw DeckError::notFound(); }

void UnavailableVolumeAdapter::setVolume(double level, const std::optional<std::string>& deviceId) {
    if (deviceId && !deviceId->empty()) throw DeckError::notFound();
    setVolume(level);
}

}  // namespace veltrane::deck
