#pragma once

#include <memory>
#include <optional>
#include <string>

#include "platform/audio/AudioSystem.h"

namespace veltrane::audio {

// The audio system as a PulseAudio server (or PipeWire's pulse server) shows
// it: devices are sinks, the uid is the sink's name, the name its description.
// A mirror of the server's sinks and default sink is kept current from the
// server's change events, so reads answer at once; a write waits for the
// server's answer and re-reads the sink before it returns, so a read right
// after it sees the new value. A lost server is retried every second.
class PulseAudioSystem final : public AudioSystem {
public:
    // How long a write or a first connection may take before it counts as failed.
    static constexpr double kOperationTimeout = 2.0;
    static constexpr double kConnectTimeout = 2.0;
    static constexpr double kReconnectInterval = 1.0;
    static constexpr const char* kClientName = "Veltrane Control Deck";

    // Connects to `server` ("unix:/path/native"), or with none to the server
    // the environment names (PULSE_SERVER, client.conf, the user's runtime
    // directory). Waits up to kConnectTimeout for the first connection; never
    // fails: without a server every read is empty and every write false.
    explicit PulseAudioSystem(std::optional<std::string> server = std::nullopt);
    ~PulseAudioSystem() override;
    PulseAudioSystem(const PulseAudioSystem&) = delete;
    PulseAudioSystem& operator=(const PulseAudioSystem&) = delete;

    // True while connected and the mirror holds the server's state.
    bool isConnected() const;

    std::optional<DeviceID> defaultOutput() override;
    bool setDefaultOutput(DeviceID device) override;
    std::optional<std::vector<DeviceID>> devices() override;
    std::optional<std::uint32_t> outputChannelCount(DeviceID device) override;
    std::optional<std::string> uid(DeviceID device) override;
    std::optional<std::string> name(DeviceID device) override;
    std::optional<float> mainVolume(DeviceID device) override;
    bool setMainVolume(DeviceID device, float level) override;
    std::optional<float> channelVolume(DeviceID device, unsigned element) override;
    bool setChannelVolume(DeviceID device, unsigned element, float level) override;
    std::optional<bool> mute(DeviceID device) override;
    bool setMute(DeviceID device, bool muted) override;
    void addListener(Property property, DeviceID device, std::shared_ptr<dispatch::DispatchQueue> queue,
                     std::shared_ptr<const Listener> listener) override;
    void removeListener(Property property, DeviceID device, const std::shared_ptr<const Listener>& listener) override;
    std::optional<std::string> serverAddress() const override { return server_; }

private:
    class Impl;
    std::optional<std::string> server_;
    std::unique_ptr<Impl> impl_;
};

}  // namespace veltrane::audio
