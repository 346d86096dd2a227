#pragma once
// A tap on the sound of chosen processes: their streams are gathered into one
// private mix that can be read as 48 kHz stereo float frames, and silenced or
// still heard on their own outputs meanwhile. Undone, every stream plays on
// where it played before.

#include <sys/types.h>

#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/audio/AudioBuffers.h"

namespace veltrane::audio {

// A failed platform call: "<call> returned <status>".
class TapFailure : public std::runtime_error {
public:
    explicit TapFailure(const std::string& message, bool refused = false)
        : std::runtime_error(message), refused_(refused) {}
    // The server does not let this client change its routing at all.
    bool refused() const { return refused_; }

private:
    bool refused_;
};

struct AudioProcessObject {
    pid_t pid = 0;
    std::optional<std::string> bundleID;
};

enum class TapMute { unmuted = 0, mutedWhenTapped = 2 };

struct TapDescription {
    std::vector<pid_t> processes;  // ascending
    std::vector<std::string> bundleIDs;
    TapMute mute = TapMute::mutedWhenTapped;
};

class ProcessTap {
public:
    virtual ~ProcessTap() = default;
    // The processes that play sound, one object per process.
    virtual std::vector<AudioProcessObject> processObjects() = 0;
    // Undoes the taps of earlier helpers whose process is gone.
    virtual void undoAbandonedTaps() = 0;
    virtual void create(const TapDescription& description) = 0;
    virtual void update(const TapDescription& description) = 0;
    // Starts reading the mix; `onCycle` runs on the platform's audio thread
    // with one cycle of interleaved stereo frames and must not block.
    virtual void startReading(std::function<void(FloatBufferList)> onCycle) = 0;
    virtual void stopReading() = 0;
    // Puts every stream back and removes the mix. Never throws.
    virtual void destroy() = 0;
    virtual bool exists() const = 0;
};

}  // namespace veltrane::audio
