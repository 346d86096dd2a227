#pragma once
// Stand-ins that the host set holds for a capability that has no host
// adapter on this computer: they report nothing and refuse every action with
// a clear error, so a real user never sees invented values or a success that
// did not happen. Each is replaced by its host adapter as that arrives.

#include <functional>

#include "ControlDeckCore/adapters/AdapterSet.h"
#include "ControlDeckCore/adapters/MediaAdapterBase.h"
#include "ControlDeckCore/server/LockedValue.h"

namespace veltrane::deck {

// DeckError::invalidState "<capability> is not available on this computer."
[[noreturn]] void throwUnavailable(const std::string& capability);

class UnavailableVolumeAdapter : public VolumeControlling {
public:
    double volume() const override { return 0; }
    bool isMuted() const override { return false; }
    std::function<void()> onChange() const override { return onChange_.wrappedValue(); }
    void setOnChange(std::function<void()> callback) override { onChange_.setWrappedValue(std::move(callback)); }
    void setVolume(double) override { throwUnavailable("Volume control"); }
    void setMuted(bool) override { throwUnavailable("Volume control"); }
    std::vector<AudioOutput> outputs() override { return {}; }
    void selectOutput(const std::string&) override;  // no output has any id
    void setVolume(double level, const std::optional<std::string>& deviceId) override;

private:
    LockedValue<std::function<void()>> onChange_;
};

// Nothing is playing; the playback commands have nothing to act on.
class UnavailableMediaAdapter : public MediaAdapterBase {
public:
    std::optional<std::string> title() const override { return std::nullopt; }
    std::optional<std::string> artist() const override { return std::nullopt; }
    std::optional<std::string> album() const override { return std::nullopt; }
    std::optional<std::string> source() const override { return std::nullopt; }
    bool isPlaying() const override { return false; }
    std::optional<PNGData> artworkPNG() const override { return std::nullopt; }
    bool available() const override { return false; }
    double duration() const override { return 0; }
    double elapsed() const override { return 0; }
    Date elapsedCapturedAt() const override { return createdAt_; }
    bool elapsedKnown() const override { return false; }
    double playbackRate() const override { return 0; }
    std::optional<lyrics::LyricsSnapshot> lyrics() const override { return std::nullopt; }
    std::optional<std::string> karaokeLine() const override { return std::nullopt; }
    std::optional<bool> liked() const override { return std::nullopt; }
    bool likeSupported() const override { return false; }
    void playPause() override {}
    void nextTrack() override {}
    void previousTrack() override {}
    void seek(double) override {}
    void setLiked(std::optional<bool>) override {}
    void refresh() override {}

private:
    const Date createdAt_ = std::chrono::system_clock::now();
};

// Readings of zero; no battery.
class UnavailableSystemSampler : public SystemSampling {
public:
    SystemSample sample() override { return {}; }
};

class UnavailableNetworkSampler : public NetworkSampling {
public:
    NetworkSample sample(std::uint16_t serverPort, bool listening) override {
        return {"Offline", std::nullopt, false, false, listening, serverPort};
    }
};

}  // namespace veltrane::deck
