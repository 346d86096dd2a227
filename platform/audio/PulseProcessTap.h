#pragma once
// The process tap on a PulseAudio server: a null sink of our own (named
// "com.tovrik.orrisfold.session.<UUID>", carrying our process id) takes every
// stream of the tapped processes, new ones too; its monitor is the mix we read.
// Muted when tapped means heard only through the mix; unmuted adds a loopback
// from the monitor to each moved stream's own sink.

#include <map>
#include <memory>
#include <mutex>

#include "platform/audio/ProcessTap.h"
#include "platform/audio/PulseClient.h"
#include "platform/dispatch/SerialQueue.h"

namespace veltrane::audio {

class PulseProcessTap final : public ProcessTap, public std::enable_shared_from_this<PulseProcessTap> {
public:
    static constexpr const char* kSinkPrefix = "com.tovrik.orrisfold.session.";
    static constexpr const char* kOwnerProperty = "com.tovrik.orrisfold.owner.pid";
    // Reads of about 10 ms; a longer read is handed on in cycles of at most
    // this many frames, so no packet made of one reaches 64 KiB.
    static constexpr std::size_t kFragmentFrames = 480;
    static constexpr std::size_t kMaxCycleFrames = 4096;

    // Connects to the server; throws TapFailure. `report` hears failures of the
    // background work that moves streams appearing later.
    static std::shared_ptr<PulseProcessTap> connect(std::function<void(const std::string&)> report);
    ~PulseProcessTap() override;

    std::vector<AudioProcessObject> processObjects() override;
    void undoAbandonedTaps() override;
    void create(const TapDescription& description) override;
    void update(const TapDescription& description) override;
    void startReading(std::function<void(FloatBufferList)> onCycle) override;
    void stopReading() override;
    void destroy() override;
    bool exists() const override;

    // The null sink's name while the tap exists.
    std::string sinkName() const;

private:
    explicit PulseProcessTap(std::function<void(const std::string&)> report);
    void routeLocked();
    void destroyLocked();
    void onNewStream();

    std::function<void(const std::string&)> report_;
    std::unique_ptr<PulseClient> client_;
    std::shared_ptr<dispatch::SerialQueue> routingQueue_;
    mutable std::mutex mutex_;  // every field below, and every server change
    std::string sinkName_;
    std::uint32_t sinkIndex_ = PA_INVALID_INDEX;
    std::uint32_t sinkModule_ = PA_INVALID_INDEX;
    TapDescription description_;
    std::map<std::uint32_t, std::string> moved_;      // sink input -> the sink it came from
    std::map<std::string, std::uint32_t> loopbacks_;  // sink -> loopback module
    std::unique_ptr<PulseClient::Recording> recording_;
};

}  // namespace veltrane::audio
