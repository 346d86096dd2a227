#include "ControlDeckCore/adapters/FakeVolumeAdapter.h"

#include <algorithm>

#include "ControlDeckCore/shared/DeckError.h"

namespace veltrane::deck {

void FakeVolumeAdapter::changed() const {
    if (onChange_) onChange_();
}

void FakeVolumeAdapter::assignVolume(double level) {
    volume_ = level;
    changed();
}

void FakeVolumeAdapter::assignMuted(bool muted) {
    isMuted_ = muted;
    changed();
}

void FakeVolumeAdapter::setVolume(double level) {
    assignVolume(clampedLevel(level));
    if (volume_ > 0) assignMuted(false);
}

std::vector<AudioOutput> FakeVolumeAdapter::outputs() {
    return {
        {"speakers", "Mac Speakers", volume_, isMuted_, outputId == "speakers"},
        {"headphones", "Headphones", 0.35, false, outputId == "headphones"},
    };
}

void FakeVolumeAdapter::selectOutput(const std::string& id) {
    auto all = outputs();
    if (std::none_of(all.begin(), all.end(), [&](const AudioOutput& output) { return output.id == id; }))
        throw DeckError::notFound();
    outputId = id;
    changed();
}

void FakeVolumeAdapter::setVolume(double level, const std::optional<std::string>& deviceId) {
    if (deviceId && !deviceId->empty() && *deviceId != outputId) selectOutput(*deviceId);
    setVolume(level);
}

}  // namespace veltrane::deck
