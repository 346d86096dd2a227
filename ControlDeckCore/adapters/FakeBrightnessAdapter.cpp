#include "ControlDeckCore/adapters/FakeBrightnessAdapter.h"

#include <algorithm>

#include "ControlDeckCore/shared/DeckError.h"

namespace veltrane::deck {

void FakeBrightnessAdapter::setBrightness(double level, const std::string& displayId) {
    auto item = std::find_if(items.begin(), items.end(), [&](const DisplayOutput& d) { return d.id == displayId; });
    if (item == items.end()) throw DeckError::notFound();
    item->brightness = clampedLevel(level);
}

}  // namespace veltrane::deck
