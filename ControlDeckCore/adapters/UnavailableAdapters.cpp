#include "ControlDeckCore/adapters/UnavailableAdapters.h"

#include "ControlDeckCore/server/DeckError.h"

namespace veltrane::deck {

void throwUnavailable(const std::string& capability) {
    throw DeckError::invalidState(capability + " is not available on this computer.");
}

void UnavailableAppLauncher::open(const std::string&) { throw DeckError::notFound(); }

void UnavailableShortcuts::run(const std::string& name) {
    throw DeckError::invalidState("Shortcut \u201C" + name + "\u201D could not be run.");
}

void UnavailableBrightnessAdapter::setBrightness(double, const std::string&) { throw DeckError::notFound(); }

}  // namespace veltrane::deck
