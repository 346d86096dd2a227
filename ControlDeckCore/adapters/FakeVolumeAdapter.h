#pragma once

#include <functional>
#include <string>

#include "ControlDeckCore/adapters/VolumeControlling.h"

namespace veltrane::deck {

// An in-memory volume model with two outputs, "speakers" (showing `volume`
// and `isMuted`) and "headphones" (always 0.35, not muted). Every assignment
// of the volume or mute state calls onChange once, synchronously.
class FakeVolumeAdapter : public VolumeControlling {
public:
    double volume() const override { return volume_; }
    bool isMuted() const override { return isMuted_; }
    std::function<void()> onChange() const override { return onChange_; }
    void setOnChange(std::function<void()> callback) override { onChange_ = std::move(callback); }

    void setVolume(double level) override;  // clamps; a level above 0 unmutes
    void setMuted(bool muted) override { assignMuted(muted); }
    std::vector<AudioOutput> outputs() override;
    void selectOutput(const std::string& id) override;
    void setVolume(double level, const std::optional<std::string>& deviceId) override;

    // Plain assignments of the two fields (no clamping, no unmuting).
    void assignVolume(double level);
    void assignMuted(bool muted);

    std::string outputId = "speakers";

private:
    void changed() const;

    double volume_ = 0.72;
    bool isMuted_ = false;
    std::function<void()> onChange_;
};

}  // namespace veltrane::deck
