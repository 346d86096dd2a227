#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "ControlDeckCore/adapters/AdapterRecords.h"

namespace veltrane::deck {

// Output volume, mute and the choice of audio output.
class VolumeControlling {
public:
    virtual ~VolumeControlling() = default;

    virtual double volume() const = 0;  // default output, 0 to 1
    virtual bool isMuted() const = 0;
    // Called after the adapter changed the volume, mute or output, and when
    // it notices such a change made elsewhere; possibly from its own queue.
    virtual std::function<void()> onChange() const = 0;
    virtual void setOnChange(std::function<void()> callback) = 0;
    virtual void setVolume(double level) = 0;  // clamped to 0 to 1
    virtual void setMuted(bool muted) = 0;
    virtual std::vector<AudioOutput> outputs() = 0;
    virtual void selectOutput(const std::string& id) = 0;  // unknown id: DeckError::notFound
    // A missing or empty device id means the default output.
    virtual void setVolume(double level, const std::optional<std::string>& deviceId) = 0;
};

}  // namespace veltrane::deck
