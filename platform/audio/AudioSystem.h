#pragma once
// What the volume adapter needs of the machine's audio system: output devices
// with an identity, a main volume, per-channel volumes and mute; the default
// output; and listeners that tell when any of these change. Reads never block
// on the audio server; writes wait for its answer.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/dispatch/DispatchQueue.h"

namespace veltrane::audio {

// A device's number, stable while the device exists; 0 names no device.
using DeviceID = std::uint32_t;
inline constexpr DeviceID kNoDevice = 0;

// What a listener watches. `defaultOutput` and `devices` belong to the system
// and are watched with kNoDevice; `mainVolume` and `mute` belong to a device.
enum class Property { defaultOutput, devices, mainVolume, mute };

using Listener = std::function<void()>;

class AudioSystem {
public:
    virtual ~AudioSystem() = default;

    // Empty when the system cannot be read (no audio server, for one).
    virtual std::optional<DeviceID> defaultOutput() = 0;
    virtual bool setDefaultOutput(DeviceID device) = 0;
    virtual std::optional<std::vector<DeviceID>> devices() = 0;

    // Number of output channels; 0 for a device that cannot play.
    virtual std::optional<std::uint32_t> outputChannelCount(DeviceID device) = 0;
    virtual std::optional<std::string> uid(DeviceID device) = 0;
    virtual std::optional<std::string> name(DeviceID device) = 0;

    // Levels are 0 to 1. The main volume keeps the balance between channels;
    // channel elements count from 1, element 0 is a separate main channel.
    virtual std::optional<float> mainVolume(DeviceID device) = 0;
    virtual bool setMainVolume(DeviceID device, float level) = 0;
    virtual std::optional<float> channelVolume(DeviceID device, unsigned element) = 0;
    virtual bool setChannelVolume(DeviceID device, unsigned element, float level) = 0;
    virtual std::optional<bool> mute(DeviceID device) = 0;
    virtual bool setMute(DeviceID device, bool muted) = 0;

    // Runs `listener` as work of `queue` whenever `property` of `device`
    // changes. The queue is held weakly; a listener is removed by identity.
    virtual void addListener(Property property, DeviceID device, std::shared_ptr<dispatch::DispatchQueue> queue,
                             std::shared_ptr<const Listener> listener) = 0;
    virtual void removeListener(Property property, DeviceID device,
                                const std::shared_ptr<const Listener>& listener) = 0;

    // The server this object talks to, when it was named rather than taken
    // from the environment; command-line tools are pointed at the same one.
    virtual std::optional<std::string> serverAddress() const = 0;
};

}  // namespace veltrane::audio
