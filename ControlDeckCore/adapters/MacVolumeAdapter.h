#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ControlDeckCore/adapters/VolumeControlling.h"
#include "ControlDeckCore/shared/LockedValue.h"
#include "platform/audio/AudioSystem.h"
#include "platform/dispatch/DispatchTimer.h"
#include "platform/dispatch/SerialQueue.h"

namespace veltrane::deck {

// The host's output volume, mute and default output. A cached picture of all
// outputs is refreshed on "deck.audio" from the audio system's change
// listeners and from a 0.12 s poll; onChange fires only when that picture
// really changed. Where the audio system refuses a write on the default
// output, pactl is asked to do it instead.
//
// The default output, the last known volume and mute and the callback are
// shared between the caller's queue (the setters) and "deck.audio" (the
// refreshes), so they sit under one lock; the cache and what was last
// announced live on "deck.audio" alone.
class MacVolumeAdapter : public VolumeControlling, public std::enable_shared_from_this<MacVolumeAdapter> {
public:
    static constexpr double kPollInterval = 0.12;
    static constexpr double kPollLeeway = 0.03;
    // The main volume stands unless the channels' mean is further from it.
    static constexpr double kChannelTolerance = 0.02;
    static constexpr double kScriptTimeout = 2.0;
    static constexpr const char* kQueueLabel = "deck.audio";
    static constexpr const char* kPactl = "/usr/bin/pactl";

    // Runs a command-line fallback: program, arguments, time-out. Its result
    // is ignored.
    using CommandRunner = std::function<void(const std::string&, const std::vector<std::string>&, double)>;

    // Against the audio server the environment names.
    static std::shared_ptr<MacVolumeAdapter> create();
    // Reads the default output, fills the cache without announcing, installs
    // the listeners and starts the poll (tests may slow it down to show what
    // the listeners alone do).
    static std::shared_ptr<MacVolumeAdapter> create(std::shared_ptr<audio::AudioSystem> audio,
                                                    CommandRunner runCommand, double pollInterval = kPollInterval);

    double volume() const override;
    bool isMuted() const override;
    std::function<void()> onChange() const override { return onChange_.wrappedValue(); }
    void setOnChange(std::function<void()> callback) override { onChange_.setWrappedValue(std::move(callback)); }
    void setVolume(double level) override;
    void setMuted(bool muted) override;
    // Waits for "deck.audio"; not to be called from work running there.
    std::vector<AudioOutput> outputs() override;
    void selectOutput(const std::string& id) override;
    void setVolume(double level, const std::optional<std::string>& deviceId) override;

    // Re-reads every output and, when `emit`, announces a real change. Runs
    // on "deck.audio" (synchronously from elsewhere).
    void refreshCache(bool emit);

    // Built through create() only, which finishes the construction.
    class Passkey {
        friend class MacVolumeAdapter;
        Passkey() = default;
    };
    MacVolumeAdapter(Passkey, std::shared_ptr<audio::AudioSystem> audio, CommandRunner runCommand);

private:
    struct Known {
        audio::DeviceID device = audio::kNoDevice;
        double lastVolume = 0.5;
        bool lastMuted = false;
        // Counts level and mute writes, so a refresh that read the device
        // before a write cannot put the old value back after it.
        std::uint64_t writes = 0;
    };

    Known known() const;
    audio::DeviceID device() const { return known().device; }

    std::optional<double> readVolume(audio::DeviceID device, const Known& known);
    std::optional<double> channelVolume(audio::DeviceID device);
    bool setAudioVolume(float level, audio::DeviceID device);
    void setVolumeOn(audio::DeviceID device, double level);
    std::vector<audio::DeviceID> outputDeviceIDs();
    std::string uid(audio::DeviceID device);
    std::string name(audio::DeviceID device);
    audio::DeviceID deviceWithID(const std::string& id);
    // The fallback write: pactl with `arguments`, against our server.
    void runPactl(std::vector<std::string> arguments);
    void bindDeviceListeners();
    void installListeners();
    void startPoll(double interval);
    void emitIfChanged();
    void scheduleRefresh();
    void changed() const;

    const std::shared_ptr<audio::AudioSystem> audio_;
    const CommandRunner runCommand_;
    const std::shared_ptr<dispatch::SerialQueue> audioQ_;
    LockedValue<std::function<void()>> onChange_;

    mutable std::mutex mutex_;
    Known known_;  // under mutex_

    // On audioQ_ only.
    std::vector<AudioOutput> cachedOutputs_;
    std::vector<AudioOutput> publishedOutputs_;
    double publishedVolume_ = -1.0;
    std::optional<bool> publishedMuted_;
    audio::DeviceID listeningDevice_ = audio::kNoDevice;
    std::shared_ptr<const audio::Listener> propertyListener_;

    std::unique_ptr<dispatch::DispatchTimer> poll_;
};

}  // namespace veltrane::deck
