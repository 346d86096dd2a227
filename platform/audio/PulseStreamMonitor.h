#pragma once
// Monitor streams of PulseAudio sink inputs: each recorded from its sink's
// monitor, limited to that one sink input, in the input's own rate and
// channel count as float.

#include <map>
#include <memory>
#include <mutex>

#include "platform/audio/PulseClient.h"
#include "platform/audio/StreamMonitor.h"

namespace veltrane::audio {

class PulseStreamMonitor final : public StreamMonitor {
public:
    static constexpr int kFragmentMilliseconds = 10;

    PulseStreamMonitor();  // throws PulseError
    ~PulseStreamMonitor() override;

    std::vector<PlaybackStream> playbackStreams() override;
    void startMonitoring(std::uint32_t stream, FrameHandler onFrames) override;
    void stopMonitoring(std::uint32_t stream) override;

private:
    std::unique_ptr<PulseClient> client_;
    std::mutex mutex_;  // recordings_
    std::map<std::uint32_t, std::unique_ptr<PulseClient::Recording>> recordings_;
};

}  // namespace veltrane::audio
